// The three programs as users meet them: started as whole processes, with a
// stand-in plug-in and stand-in tools that print the vector they were given.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/emulation.h"
#include "tests/installation.h"
#include "tests/test_util.h"

namespace {

const std::string plugin_name = MAVO_PLUGIN_FILE_NAME;
const std::string usage_text = "Usage: mavo-ar [-B prefix] ar arguments ...\n";

// The stand-in for ar, nm and ranlib: prints its vector, one element a line,
// does what the MAVO_TEST_* variables ask and exits with $MAVO_TEST_EXIT.
const char stand_in_tool[] = R"(printf '%s\n' "$0" "$@"
if [ -n "$MAVO_TEST_STREAMS" ]; then
    "$MAVO_TEST_PROBE" files "$MAVO_TEST_STREAMS/open"
    /bin/cat
    echo to-stderr >&2
fi
if [ -n "$MAVO_TEST_STOP" ]; then
    # Continues this shell until it has gone on past its stop (and made the
    # file), or is gone.
    (until [ -e "$MAVO_TEST_STOP" ] || ! kill -CONT $$; do :; done) >/dev/null 2>&1 &
    kill -STOP $$
    : >"$MAVO_TEST_STOP"
fi
[ -z "$MAVO_TEST_SIGNAL" ] || kill -"$MAVO_TEST_SIGNAL" $$
exit "${MAVO_TEST_EXIT:-0}"
)";

struct program {
    const char *path;   // the built program
    const char *tool;
    bool dash_rule;     // gives a first argument without '-' one
};
const program programs[] = {
    {MAVO_AR_PATH, "ar", true},
    {MAVO_NM_PATH, "nm", false},
    {MAVO_RANLIB_PATH, "ranlib", false},
};
const program &mavo_ar = programs[0];

void put_stand_ins(const std::string &dir, bool plugin = true, bool tools = true)
{
    if (plugin)
        write_file(dir + "/" + plugin_name, "stand-in plug-in\n");
    if (tools)
        for (const program &p : programs)
            write_script(dir + "/" + p.tool, stand_in_tool);
}

std::string make_dir(const std::string &path)
{
    std::filesystem::create_directories(path);
    return path;
}

std::string real_path(const std::string &path)
{
    return std::filesystem::canonical(path).string();
}

// What the stand-in prints when started as `tool_path`.
std::string vector_printed(const std::string &tool_path, const std::string &plugin_path,
                           const std::vector<std::string> &arguments)
{
    std::string text = tool_path + "\n--plugin\n" + plugin_path + "\n";
    for (const std::string &argument : arguments)
        text += argument + "\n";
    return text;
}

// The arguments as the tool of `p` gets them.
std::vector<std::string> as_passed(const program &p, std::vector<std::string> arguments)
{
    if (p.dash_rule && !arguments.empty() && arguments[0].compare(0, 1, "-") != 0 &&
        arguments[0].compare(0, 1, "@") != 0)
        arguments[0] = "-" + arguments[0];
    return arguments;
}

std::string not_found(const std::string &name, const char *what, const std::string &file)
{
    return name + ": Cannot find " + what + " '" + file + "'\n";
}

// The environment of a run: PATH as given, none of the variables the
// programs or the stand-ins read, then `more`.
std::vector<std::string> test_env(const std::string &path, const std::vector<std::string> &more = {})
{
    std::vector<std::string> changes = {"PATH=" + path, "MAVO_EXEC_PREFIX", "MAVO_TRACE", "MAVO_TEST_EXIT",
                                        "MAVO_TEST_SIGNAL", "MAVO_TEST_STOP", "MAVO_TEST_STREAMS", "MAVO_TEST_PROBE"};
    changes.insert(changes.end(), more.begin(), more.end());
    return environment_with(changes);
}

std::vector<std::string> with_program(const std::string &path, const std::vector<std::string> &arguments)
{
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

// Runs `argv` from the directory `cwd`, with core files allowed when asked.
run_result run_in(const std::string &cwd, const std::vector<std::string> &argv,
                  const std::vector<std::string> &env, bool allow_cores = false)
{
    std::string script = allow_cores ? "ulimit -c unlimited 2>/dev/null; " : "";
    script += "cd \"$1\" && shift && exec \"$@\"";
    std::vector<std::string> shell = {"/bin/sh", "-c", script, "sh", cwd};
    shell.insert(shell.end(), argv.begin(), argv.end());
    return run_program(shell, &env);
}

// An installation below `root` with the stand-in plug-in in its versioned
// libexec directory and the stand-in tools in its tool directory, unless
// told otherwise.
installation installed(const std::string &root, bool stand_ins = true)
{
    installation inst(root);
    put_stand_ins(inst.libexec_dir(), stand_ins, false);
    put_stand_ins(inst.tool_dir(), false, stand_ins);
    return inst;
}

// The paths found in an installation whose real root is `real_root`.
std::string installed_tool(const std::string &real_root, const program &p)
{
    return spelled_tool_dir(real_root) + p.tool;
}
std::string installed_plugin(const std::string &real_root)
{
    return spelled_libexec_dir(real_root) + plugin_name;
}

// The programs' C library's text for a signal ("signal", strsignal) or an
// error number ("error", strerror), told by a helper linked as the programs
// are: they may run on another C library than this test binary.
std::string programs_libc_text(const char *kind, int number)
{
    run_result r = run_program({MAVO_PROGRAM_PROBE_PATH, kind, std::to_string(number)});
    EXPECT_EQ(0, r.exit_code()) << r.err;
    return r.out;
}

bool configured_plugin_exists()
{
    layout l;
    return file_exists(MAVO_CONFIGURED_LIBEXEC_DIR + l.versioned + plugin_name);
}


// strace's path, or "" where it is not installed.
const std::string &strace_path()
{
    static const std::string path = [] {
        std::string found = run_program({"/bin/sh", "-c", "command -v strace"}).out;
        return found.empty() || found[0] != '/' ? std::string() : found.substr(0, found.find('\n'));
    }();
    return path;
}

// Why strace cannot show a program's own system calls here, or "" when it
// can: it may be missing or refused, and under user-mode emulation it would
// see the emulator's calls.
std::string why_strace_cannot_serve()
{
#ifdef MAVO_ADDRESS_SANITIZER
    return "the sanitizer runtime in the programs makes calls of its own, and its leak checker "
           "cannot run under strace";
#endif
    if (strace_path().empty())
        return "strace is not installed";
    if (run_program({strace_path(), "-o", "/dev/null", "/bin/true"}).exit_code() != 0)
        return "strace cannot trace here";
    if (!vfork_shares_memory())
        return "under emulation strace sees the emulator's calls";
    return "";
}

// Runs `argv` under strace, its children not followed, and returns the
// log's lines for the calls named in `calls` (strace's -e trace=), every
// byte of a text written as \xHH.
std::vector<std::string> traced_calls(const std::string &calls, const std::vector<std::string> &argv,
                                      const std::vector<std::string> &env, run_result *result)
{
    scoped_temp_dir dir;
    std::vector<std::string> command = {strace_path(), "-qq", "-xx", "-s", "1000000", "-e", "signal=none",
                                        "-e", "trace=" + calls, "-o", dir / "log", "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    *result = run_program(command, &env);
    std::vector<std::string> lines;
    std::istringstream log(read_file(dir / "log"));
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    return lines;
}

// The first quoted text of a line of the log, its \xHH bytes decoded.
std::string first_text(const std::string &line)
{
    size_t start = line.find('"');
    size_t end = line.find('"', start + 1);
    std::string text;
    for (size_t i = start + 1; i + 4 <= end && line.compare(i, 2, "\\x") == 0; i += 4)
        text += char(std::stoi(line.substr(i + 2, 2), nullptr, 16));
    return text;
}

}  // namespace

// Show that the tool gets its found path, the plug-in pair and the user's
// arguments without the -B option, with ar's first-argument rule.
TEST(DriverProgram, HandsTheToolTheUsersArguments)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path);
    scoped_temp_dir empty;
    const std::string b = "-B" + dir.path;
    const struct {
        const program &p;
        std::vector<std::string> arguments;
        std::vector<std::string> passed;
    } cases[] = {
        {mavo_ar, {b}, {}},
        {mavo_ar, {b, "rcs", "lib.a", "x.o"}, {"-rcs", "lib.a", "x.o"}},
        {mavo_ar, {"-B", dir.path, "rcs", "lib.a"}, {"-rcs", "lib.a"}},
        {mavo_ar, {"rcs", b, "lib.a"}, {"-rcs", "lib.a"}},
        {mavo_ar, {"rcs", "lib.a", "-B", dir.path}, {"-rcs", "lib.a"}},
        {mavo_ar, {b, "-t", "lib.a"}, {"-t", "lib.a"}},
        {mavo_ar, {b, "rcs", "-Btwo", "x.a", "-B"}, {"-rcs", "-Btwo", "x.a", "-B"}},
        {mavo_ar, {b, "", ""}, {"-", ""}},
        // A response file is ar's to read, first or anywhere else.
        {mavo_ar, {b, "@cmds"}, {"@cmds"}},
        {mavo_ar, {"@cmds", b, "@more"}, {"@cmds", "@more"}},
        {mavo_ar, {b, "rcs", "@members"}, {"-rcs", "@members"}},
        {mavo_ar, {b, "\xff\xfe", "\x80 x"}, {"-\xff\xfe", "\x80 x"}},
        {programs[1], {b, "x.o"}, {"x.o"}},
        {programs[1], {"", b, "\xff", "-Bx"}, {"", "\xff", "-Bx"}},
        {programs[2], {b, "lib.a"}, {"lib.a"}},
        {programs[2], {"-B", dir.path + "/"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.p.tool) + " " + testing::PrintToString(c.arguments));
        std::vector<std::string> env = test_env(empty.path);
        run_result r = run_program(with_program(c.p.path, c.arguments), &env);
        EXPECT_EQ(vector_printed(dir / c.p.tool, dir / plugin_name, c.passed), r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(0, r.exit_code());
    }
}

// Show that a -B prefix always names a directory, even one character long
// or empty, so the tool run is the file found there and not one along PATH.
TEST(DriverProgram, PrefixIsAlwaysADirectory)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path);
    put_stand_ins(make_dir(dir / "ab"));
    put_stand_ins(make_dir(dir / "x"));
    // Decoys where a prefix without its '/' or a search along PATH would look.
    const std::string decoy = "echo decoy\n";
    write_script(dir / "xar", decoy);
    write_file(dir / ("x" + plugin_name), "");
    write_script(make_dir(dir / "decoys") + "/ar", decoy);
    const struct {
        std::vector<std::string> option;
        std::string directory;
    } cases[] = {
        {{"-Bab"}, "ab/"}, {{"-Bab/"}, "ab/"}, {{"-B", "ab"}, "ab/"}, {{"-Bx"}, "x/"},
        {{"-B."}, "./"},   {{"-B", ""}, "./"},
    };
    std::vector<std::string> env = test_env(dir / "decoys");
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.option));
        std::vector<std::string> argv = with_program(mavo_ar.path, c.option);
        argv.push_back("rcs");
        run_result r = run_in(dir.path, argv, env);
        EXPECT_EQ(vector_printed(c.directory + "ar", c.directory + plugin_name, {"-rcs"}), r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(0, r.exit_code());
    }
}

// Show that a lone -B at the end is a usage error in all three programs and
// that no tool runs, although one would be found.
TEST(DriverProgram, LoneBAtTheEndIsAUsageError)
{
    scoped_temp_dir top;
    installation inst = installed(top / "inst");
    for (const program &p : programs) {
        for (const std::vector<std::string> &arguments :
             std::vector<std::vector<std::string>>{{"-B"}, {"rcs", "lib.a", "-B"}}) {
            SCOPED_TRACE(std::string(p.tool) + " " + testing::PrintToString(arguments));
            std::vector<std::string> env = test_env(top.path);
            run_result r = run_program(with_program(inst.program_path(p.tool), arguments), &env);
            EXPECT_EQ("", r.out);
            EXPECT_EQ(usage_text, r.err);
            EXPECT_EQ(1, r.exit_code());
        }
    }
}

// Show the messages for a missing plug-in or tool: the program named as it
// was started, status 1, and no tool run.
TEST(DriverProgram, ReportsWhatItCannotFind)
{
    scoped_temp_dir dir;
    const std::string tools_only = make_dir(dir / "tools_only");
    put_stand_ins(tools_only, false, true);
    const std::string plugin_only = make_dir(dir / "plugin_only");
    put_stand_ins(plugin_only, true, false);
    const std::string nothing = make_dir(dir / "nothing");
    const struct {
        const program &p;
        std::string name;   // argv[0]
        std::string prefix;
        std::string path;   // PATH
        std::string err;
    } cases[] = {
        // The tools along PATH do not help: the plug-in is never sought there.
        {mavo_ar, mavo_ar.path, tools_only, tools_only, not_found(mavo_ar.path, "plugin", plugin_name)},
        {mavo_ar, mavo_ar.path, nothing, tools_only, not_found(mavo_ar.path, "plugin", plugin_name)},
        {programs[2], "renamed", nothing, nothing, not_found("renamed", "plugin", plugin_name)},
        {mavo_ar, mavo_ar.path, plugin_only, nothing, not_found(mavo_ar.path, "binary", "ar")},
        {programs[1], programs[1].path, plugin_only, nothing, not_found(programs[1].path, "binary", "nm")},
        {programs[2], "x/y", plugin_only, nothing, not_found("x/y", "binary", "ranlib")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        std::vector<std::string> env = test_env(c.path);
        run_result r = run_program({c.name, "-B", c.prefix, "rcs"}, &env, "", c.p.path);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(1, r.exit_code());
    }
}

// Show that a tool missing from the installation's directories is found
// along PATH, in PATH's order.
TEST(DriverProgram, FindsTheToolAlongPath)
{
    scoped_temp_dir dir;
    const std::string plugin_only = make_dir(dir / "plugin_only");
    put_stand_ins(plugin_only, true, false);
    const std::string first = make_dir(dir / "first");
    const std::string second = make_dir(dir / "second");
    put_stand_ins(second, false, true);
    write_file(first + "/ar", "not executable\n", 0644);
    ASSERT_EQ(0, mkdir((first + "/nm").c_str(), 0755));
    std::vector<std::string> env = test_env(dir / "none" + ":" + first + ":" + second);
    for (const program &p : programs) {
        SCOPED_TRACE(p.tool);
        run_result r = run_program({p.path, "-B" + plugin_only, "x"}, &env);
        EXPECT_EQ(vector_printed(second + "/" + p.tool, plugin_only + "/" + plugin_name, as_passed(p, {"x"})),
                  r.out);
        EXPECT_EQ(0, r.exit_code());
    }
}

// Show the search order with the same names in several places: the -B prefix
// before everything, the tool directory before the versioned libexec
// directory, the installation before PATH, PATH in its order, never PATH for
// the plug-in, no other directories when PATH is unset; the tool directory
// yields nothing where the ".." climb to it has no versioned library
// directory to start from; a plug-in the user may not read and directories
// are passed over. Run as the unprivileged user, for whom an unreadable file
// is one.
TEST(DriverSearchOrder, WhereSeveralPlacesHoldTheName)
{
    enum place { b_prefix, tool_dir, libexec_dir, path_first, path_second, nowhere };
    enum item { plugin, tool, unreadable_plugin, plugin_directory, unexecutable_tool, tool_directory };
    const struct {
        const char *what;
        std::vector<std::pair<place, item>> files;
        place plugin_from;   // `nowhere`: the plug-in is not found
        place tool_from;     // `nowhere`: the tool is not found
        bool with_b = false;
        bool path_unset = false;
        bool without_versioned_lib_dir = false;
    } cases[] = {
        {.what = "-B prefix before everything",
         .files = {{b_prefix, plugin}, {tool_dir, plugin}, {libexec_dir, plugin},
                   {b_prefix, tool}, {tool_dir, tool}, {libexec_dir, tool}, {path_first, tool}},
         .plugin_from = b_prefix, .tool_from = b_prefix, .with_b = true},
        {.what = "tool directory before the versioned libexec directory",
         .files = {{tool_dir, plugin}, {libexec_dir, plugin}, {tool_dir, tool}, {libexec_dir, tool},
                   {path_first, tool}},
         .plugin_from = tool_dir, .tool_from = tool_dir},
        {.what = "the installation before PATH",
         .files = {{libexec_dir, plugin}, {path_first, plugin}, {libexec_dir, tool}, {path_first, tool}},
         .plugin_from = libexec_dir, .tool_from = libexec_dir},
        {.what = "PATH in its order",
         .files = {{libexec_dir, plugin}, {path_first, tool}, {path_second, tool}},
         .plugin_from = libexec_dir, .tool_from = path_first},
        {.what = "the plug-in never along PATH",
         .files = {{path_first, plugin}, {path_second, plugin}, {path_first, tool}},
         .plugin_from = nowhere, .tool_from = path_first},
        {.what = "PATH unset: no directories of the system's",
         .files = {{libexec_dir, plugin}}, .plugin_from = libexec_dir, .tool_from = nowhere,
         .path_unset = true},
        {.what = "PATH unset: the -B prefix and the installation still",
         .files = {{libexec_dir, plugin}, {b_prefix, tool}}, .plugin_from = libexec_dir, .tool_from = b_prefix,
         .with_b = true, .path_unset = true},
        {.what = "no versioned library directory: nothing from the tool directory",
         .files = {{tool_dir, plugin}, {libexec_dir, plugin}, {tool_dir, tool}, {libexec_dir, tool}},
         .plugin_from = libexec_dir, .tool_from = libexec_dir, .without_versioned_lib_dir = true},
        {.what = "unreadable plug-in, directories and an unexecutable tool passed over",
         .files = {{b_prefix, unreadable_plugin}, {b_prefix, tool_directory}, {tool_dir, plugin_directory},
                   {tool_dir, unexecutable_tool}, {libexec_dir, plugin}, {libexec_dir, tool}},
         .plugin_from = libexec_dir, .tool_from = libexec_dir, .with_b = true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scoped_temp_dir dir;
        chmod(dir.path.c_str(), 0755);   // for the unprivileged user
        installation inst = installed(dir / "inst", false);
        if (c.without_versioned_lib_dir)
            std::filesystem::remove_all(inst.root + "/" + layout().exec + MAVO_TARGET_TRIPLET);
        const std::string real_root = real_path(inst.root);
        const std::string on_disk[] = {make_dir(dir / "b"), inst.tool_dir(), inst.libexec_dir(),
                                       make_dir(dir / "path1"), make_dir(dir / "path2")};
        // How the programs spell each place in what they find.
        const std::string spelled[] = {dir / "b/", spelled_tool_dir(real_root), spelled_libexec_dir(real_root),
                                       dir / "path1/", dir / "path2/"};
        for (const auto &[where, what] : c.files) {
            const std::string at = on_disk[where] + "/";
            switch (what) {
            case plugin: write_file(at + plugin_name, "stand-in plug-in\n"); break;
            case tool: write_script(at + mavo_ar.tool, stand_in_tool); break;
            case unreadable_plugin: write_file(at + plugin_name, "unreadable\n", 0); break;
            case plugin_directory: make_dir(at + plugin_name); break;
            case unexecutable_tool: write_file(at + mavo_ar.tool, "#!/bin/sh\necho wrong\n", 0644); break;
            case tool_directory: make_dir(at + mavo_ar.tool); break;
            }
        }
        std::vector<std::string> argv = {inst.program_path(mavo_ar.tool)};
        if (c.with_b)
            argv.push_back("-B" + on_disk[b_prefix]);
        argv.push_back("t");
        std::vector<std::string> env = test_env(on_disk[path_first] + ":" + on_disk[path_second]);
        if (c.path_unset)
            std::erase_if(env, [](const std::string &entry) { return entry.rfind("PATH=", 0) == 0; });
        auto outcome = [](const std::string &out, const std::string &err, int code) {
            return out + "stderr: " + err + "exit " + std::to_string(code);
        };
        std::string seen = answer_from_child([&] {
            if (!drop_privileges())
                return std::string("cannot drop privileges");
            run_result r = run_program(argv, &env);
            return outcome(r.out, r.err, r.exit_code());
        });
        if (c.plugin_from == nowhere)
            EXPECT_EQ(outcome("", not_found(argv[0], "plugin", plugin_name), 1), seen);
        else if (c.tool_from == nowhere)
            EXPECT_EQ(outcome("", not_found(argv[0], "binary", mavo_ar.tool), 1), seen);
        else
            EXPECT_EQ(outcome(vector_printed(spelled[c.tool_from] + mavo_ar.tool,
                                             spelled[c.plugin_from] + plugin_name, {"-t"}),
                              "", 0),
                      seen);
    }
}

// Show that each program exits with its tool's exit code, also when its
// caller left SIGCHLD ignored, which would have the system reap the tool.
TEST(DriverProgram, ExitsWithTheToolsExitCode)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path);
    for (const program &p : programs) {
        for (int code : {0, 2, 255}) {
            for (bool ignoring : {false, true}) {
                SCOPED_TRACE(std::string(p.tool) + " exit " + std::to_string(code) +
                             (ignoring ? ", SIGCHLD ignored" : ""));
                std::vector<std::string> env =
                    test_env(dir / "none", {"MAVO_TEST_EXIT=" + std::to_string(code)});
                std::vector<std::string> argv = {p.path, "-B" + dir.path};
                if (ignoring)
                    argv.insert(argv.begin(), {MAVO_PROBE_PATH, "ignore-sigchld"});
                run_result r = run_program(argv, &env);
                EXPECT_EQ(vector_printed(dir / p.tool, dir / plugin_name, {}), r.out);
                EXPECT_EQ("", r.err);
                EXPECT_EQ(code, r.exit_code());
            }
        }
    }
}

// Show the line written for a tool ended by a signal, naming it in the words
// of the programs' C library (C libraries differ, on SIGFPE for one), with
// ", core dumped" exactly when the same tool, run directly, leaves a core.
TEST(DriverProgram, ReportsATerminatingSignal)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path);
    const std::string work = make_dir(dir / "work");   // where cores land
    const struct {
        int signal_number;
        bool allow_cores;
    } cases[] = {{SIGKILL, false}, {SIGTERM, true}, {SIGSEGV, true}, {SIGQUIT, true}, {SIGABRT, false},
                 {SIGFPE, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE("signal " + std::to_string(c.signal_number));
        std::vector<std::string> env =
            test_env(dir / "none", {"MAVO_TEST_SIGNAL=" + std::to_string(c.signal_number)});
        run_result direct = run_in(work, {dir / "ar"}, env, c.allow_cores);
        ASSERT_TRUE(WIFSIGNALED(direct.status));
        ASSERT_EQ(c.signal_number, WTERMSIG(direct.status));
        std::string suffix = WCOREDUMP(direct.status) ? ", core dumped" : "";

        run_result r = run_in(work, {mavo_ar.path, "-B" + dir.path, "t"}, env, c.allow_cores);
        EXPECT_EQ(vector_printed(dir / "ar", dir / plugin_name, {"-t"}), r.out);
        EXPECT_EQ(dir / "ar" + " terminated with signal " + std::to_string(c.signal_number) + " [" +
                      programs_libc_text("signal", c.signal_number) + "]" + suffix + "\n",
                  r.err);
        EXPECT_EQ(1, r.exit_code());
    }
}

// Show that a tool that stops itself and is continued is waited for to its
// end, and its exit code passed on.
TEST(DriverProgram, WaitsThroughAStoppedTool)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path);
    std::vector<std::string> env = test_env(dir / "none", {"MAVO_TEST_STOP=" + dir / "continued", "MAVO_TEST_EXIT=7"});
    run_result r = run_program({mavo_ar.path, "-B" + dir.path, "rcs"}, &env);
    EXPECT_EQ(vector_printed(dir / "ar", dir / plugin_name, {"-rcs"}), r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(7, r.exit_code());
    EXPECT_TRUE(file_exists(dir / "continued"));
}

// Show that a tool that is found but cannot be executed is reported with the
// failed step, status 1, and under the trace with the error's text as well.
TEST(DriverProgram, ReportsAToolThatCannotBeStarted)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path, true, false);
    write_file(dir / "not-executable", "", 0644);
    ASSERT_EQ(0, symlink("loop", (dir / "loop").c_str()));   // resolves to itself
    const struct {
        std::string interpreter;
        int error_number;   // the exec's
    } cases[] = {
        {"/nonexistent/interpreter", ENOENT},
        {dir / "not-executable", EACCES},
        {dir / "loop", ELOOP},
    };
    // With a single descriptor free (a sanitizer's start-up may need one), the
    // report pipe cannot be made: the child says why on its standard error, in
    // its C library's words, and the wrapper passes its status 255 on.
    const bool can_start_without_report_pipe = programs_start_with_descriptor_limit(4);
    if (!can_start_without_report_pipe)
        note_emulation("no program starts with 4 descriptors: the wrapper's start without a report "
                       "pipe is shown only by the library's own test");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.interpreter);
        write_file(dir / "ar", "#!" + c.interpreter + "\n", 0755);
        std::vector<std::string> env = test_env(dir / "none");
        run_result r = run_program({mavo_ar.path, "-B" + dir.path, "rcs"}, &env);
        EXPECT_EQ("", r.out);
        EXPECT_EQ("Error running " + dir / "ar" + ": execvp\n", r.err);
        EXPECT_EQ(1, r.exit_code());

        // Under the trace, one line more says why.
        std::vector<std::string> traced = test_env(dir / "none", {"MAVO_TRACE=1"});
        r = run_program({mavo_ar.path, "-B" + dir.path, "rcs"}, &traced);
        const std::string reason = "Error running " + dir / "ar" + ": execvp\nmavo-ar " MAVO_VERSION ": execvp: " +
                                   programs_libc_text("error", c.error_number) + "\n";
        EXPECT_TRUE(r.err.size() > reason.size() && r.err.compare(r.err.size() - reason.size(), reason.size(), reason) == 0)
            << r.err;
        EXPECT_EQ(1, r.exit_code());

        if (!can_start_without_report_pipe)
            continue;
        r = run_program({"/bin/sh", "-c", with_descriptor_limit(4), "sh", mavo_ar.path, "-B" + dir.path, "rcs"},
                        &env);
        EXPECT_EQ("", r.out);
        EXPECT_EQ("mavo-" + dir / "ar" + ": error trying to exec '" + dir / "ar" + "': execvp: " +
                      programs_libc_text("error", c.error_number) + "\n",
                  r.err);
        EXPECT_EQ(255, r.exit_code());
    }
}

// Show that a tool the system cannot execute, a script without a "#!" line,
// runs as a script of /bin/sh, as execvp runs such a file, with the usual
// vector and its exit code passed on, whatever the C library's execvp does.
TEST(DriverProgram, RunsAToolWithoutInterpreterLineAsAShellScript)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path, true, false);
    for (const program &p : programs)
        write_file(dir / p.tool, stand_in_tool, 0755);
    for (const program &p : programs) {
        SCOPED_TRACE(p.tool);
        std::vector<std::string> env = test_env(dir / "none", {"MAVO_TEST_EXIT=3"});
        run_result r = run_program({p.path, "-B" + dir.path, "x", "y z"}, &env);
        EXPECT_EQ(vector_printed(dir / p.tool, dir / plugin_name, as_passed(p, {"x", "y z"})), r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(3, r.exit_code());
    }
}

// Show that the tool reads and writes the caller's own standard streams.
TEST(DriverProgram, ToolUsesTheCallersStandardStreams)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path);
    const std::string streams = make_dir(dir / "streams");
    write_file(streams + "/0", "input line\n");
    std::vector<std::string> env =
        test_env(dir / "none", {"MAVO_TEST_STREAMS=" + streams, std::string("MAVO_TEST_PROBE=") + MAVO_PROBE_PATH});
    run_result r = run_program(
        {"/bin/sh", "-c", "exec \"$@\" <\"$0/0\" >\"$0/1\" 2>\"$0/2\"", streams, mavo_ar.path, "-B" + dir.path, "t"},
        &env);
    EXPECT_EQ(0, r.exit_code());
    EXPECT_EQ(vector_printed(dir / "ar", dir / plugin_name, {"-t"}) + "input line\n", read_file(streams + "/1"));
    EXPECT_EQ("to-stderr\n", read_file(streams + "/2"));
    // The tool's own report of its descriptors: 0, 1 and 2 are the very
    // files the caller opened, not copies or pipes in between.
    const std::string reported = "\n" + read_file(streams + "/open");
    for (int fd = 0; fd <= 2; fd++) {
        struct stat st;
        ASSERT_EQ(0, stat((streams + "/" + std::to_string(fd)).c_str(), &st));
        const std::string line =
            std::to_string(fd) + " " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino);
        EXPECT_NE(std::string::npos, reported.find("\n" + line + "\n"))
            << "descriptor " << fd << " is not the caller's; the tool reported:" << reported;
    }
}

// Show that vectors no shell would make neither crash the programs nor lose
// or invent arguments: an empty vector, a program name that looks like -B.
TEST(DriverProgram, SurvivesHostileArgumentVectors)
{
    scoped_temp_dir dir;
    put_stand_ins(make_dir(dir / "stand_ins"));
    installation inst = installed(dir / "inst");
    const std::string real_root = real_path(inst.root);
    const std::string in_inst = "MAVO_EXEC_PREFIX=" + inst.root + "/" + layout().bin;
    const std::string tool = installed_tool(real_root, mavo_ar);
    const std::string plugin = installed_plugin(real_root);
    const struct {
        const char *what;
        std::vector<std::string> argv;
        std::vector<std::string> env;
        std::string out;
        std::string err;
        int exit_code;
    } cases[] = {
        {"empty vector", {}, {}, "", not_found("mavo-ar", "plugin", plugin_name), 1},
        {"empty vector, installation named", {}, {in_inst}, vector_printed(tool, plugin, {}), "", 0},
        {"name looks like -B", {"-B" + dir / "stand_ins", "rcs"}, {in_inst}, vector_printed(tool, plugin, {"-rcs"}), "", 0},
        {"name is -B", {"-B", "x"}, {in_inst}, vector_printed(tool, plugin, {"-x"}), "", 0},
        {"empty name", {"", "-B" + dir / "stand_ins", "t"}, {},
         vector_printed(dir / "stand_ins/ar", dir / "stand_ins/" + plugin_name, {"-t"}), "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.argv.empty() && c.env.empty() && configured_plugin_exists())
            continue;   // this machine has the configured installation
        std::vector<std::string> env = test_env(dir / "none", c.env);
        run_result r = run_program(c.argv, &env, "", mavo_ar.path);
        EXPECT_EQ(c.out, r.out);
        std::string err = r.err;
        // Linux hands a program started with an empty vector the name "".
        if (c.argv.empty() && err == not_found("", "plugin", plugin_name))
            err = not_found("mavo-ar", "plugin", plugin_name);
        EXPECT_EQ(c.err, err);
        EXPECT_EQ(c.exit_code, r.exit_code());
    }
}

// Show that paths and a PATH of several thousand bytes work: a deep -B
// directory, a long PATH before the tool's directory, and a -B prefix too
// long for the system, which is passed over.
TEST(DriverProgram, HandlesLongPathsAndPathValues)
{
    scoped_temp_dir dir;
    std::string deep = dir.path;
    for (int i = 0; i < 15; i++)
        deep += "/" + std::string(200, char('a' + i));
    put_stand_ins(make_dir(deep));
    ASSERT_GT(deep.size(), 3000u);
    std::vector<std::string> env = test_env(dir / "none");
    run_result r = run_program({mavo_ar.path, "-B", deep, "rcs"}, &env);
    EXPECT_EQ(vector_printed(deep + "/ar", deep + "/" + plugin_name, {"-rcs"}), r.out);
    EXPECT_EQ(0, r.exit_code());

    const std::string plugin_only = make_dir(dir / "plugin_only");
    put_stand_ins(plugin_only, true, false);
    std::string path;
    for (int i = 0; i < 30; i++)
        path += dir.path + "/" + std::string(200, 'p') + std::to_string(i) + ":";
    path += deep;
    ASSERT_GT(path.size(), 6000u);
    env = test_env(path);
    r = run_program({mavo_ar.path, "-B" + plugin_only, "rcs"}, &env);
    EXPECT_EQ(vector_printed(deep + "/ar", plugin_only + "/" + plugin_name, {"-rcs"}), r.out);
    EXPECT_EQ(0, r.exit_code());

    installation inst = installed(dir / "inst");
    const std::string real_root = real_path(inst.root);
    env = test_env(dir / "none");
    r = run_program({inst.program_path(mavo_ar.tool), "-B" + dir.path + std::string(5000, '/') + "x", "rcs"}, &env);
    EXPECT_EQ(vector_printed(installed_tool(real_root, mavo_ar), installed_plugin(real_root), {"-rcs"}), r.out);
    EXPECT_EQ(0, r.exit_code());
}

// Show that an installation finds its plug-in and tools without -B however
// its programs are started, from the program's real place or from
// MAVO_EXEC_PREFIX, and that a program whose place holds no installation
// finds nothing.
TEST(DriverRelocation, FindsTheInstallationWhereverItLies)
{
    scoped_temp_dir dir;
    installation inst = installed(dir / "tc");
    installation colon = installed(dir / "moved:here");
    const std::string links = make_dir(dir / "links");
    make_symlink(inst.program_path(mavo_ar.tool), links + "/mavo-ar");
    const std::string empty = make_dir(dir / "empty");
    const std::string bin_dir = inst.root + "/" + layout().bin;
    const std::string real_root = real_path(inst.root);

    const struct {
        const char *what;
        const program &p;
        std::vector<std::string> argv;
        std::string run;                 // the file run, when not argv[0]
        std::string path;                // PATH, when not `empty`
        std::vector<std::string> env;
        std::string cwd;                 // when set, run from there
        std::string found_in;            // real root, or "" for nothing found
    } cases[] = {
        {"full path, ar, no arguments", mavo_ar, {inst.program_path(mavo_ar.tool)}, "", "", {}, "", real_root},
        {"full path, nm", programs[1], {inst.program_path(programs[1].tool), "x.o"}, "", "", {}, "", real_root},
        {"full path, ranlib", programs[2], {inst.program_path(programs[2].tool), "lib.a"}, "", "", {}, "", real_root},
        {"symbolic link elsewhere", mavo_ar, {links + "/mavo-ar", "rcs"}, "", "", {}, "", real_root},
        {"bare name along PATH", mavo_ar, {"mavo-ar", "rcs"}, inst.program_path(mavo_ar.tool), empty + ":" + bin_dir, {}, "",
         real_root},
        {"relative path", programs[1], {"tc/" + layout().bin + "mavo-nm", "x.o"}, "", "", {}, dir.path, real_root},
        {"':' in the installation's path", mavo_ar, {colon.program_path(mavo_ar.tool), "t"}, "", "", {}, "",
         real_path(colon.root)},
        {"MAVO_EXEC_PREFIX names the installation", mavo_ar, {mavo_ar.path, "rcs"}, "", "",
         {"MAVO_EXEC_PREFIX=" + bin_dir}, "", real_root},
        {"MAVO_EXEC_PREFIX empty: own name along PATH", programs[2], {programs[2].path, "lib.a"}, "", bin_dir,
         {"MAVO_EXEC_PREFIX="}, "", real_root},
        {"MAVO_EXEC_PREFIX is followed directly by the name", mavo_ar, {mavo_ar.path, "rcs"}, "", "",
         {"MAVO_EXEC_PREFIX=" + bin_dir + "x-"}, "", inst.root},
        {"MAVO_EXEC_PREFIX unset: the build's program", mavo_ar, {mavo_ar.path, "rcs"}, "", "", {}, "", ""},
        {"MAVO_EXEC_PREFIX wins over the own place", mavo_ar, {inst.program_path(mavo_ar.tool), "rcs"}, "", "",
         {"MAVO_EXEC_PREFIX=" + empty + "/"}, "", ""},
        {"the configured bin directory keeps the configured directories", mavo_ar,
         {inst.program_path(mavo_ar.tool), "rcs"}, "", "", {"MAVO_EXEC_PREFIX=" MAVO_CONFIGURED_BIN_DIR}, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.found_in.empty() && configured_plugin_exists())
            continue;   // this machine has the configured installation
        std::vector<std::string> env = test_env(c.path.empty() ? empty : c.path, c.env);
        run_result r = !c.cwd.empty() ? run_in(c.cwd, c.argv, env)
                                      : run_program(c.argv, &env, "", c.run.empty() ? nullptr : c.run.c_str());
        if (c.found_in.empty()) {
            EXPECT_EQ("", r.out);
            EXPECT_EQ(not_found(c.argv[0], "plugin", plugin_name), r.err);
            EXPECT_EQ(1, r.exit_code());
        } else {
            std::vector<std::string> arguments(c.argv.begin() + 1, c.argv.end());
            EXPECT_EQ(vector_printed(installed_tool(c.found_in, c.p), installed_plugin(c.found_in),
                                     as_passed(c.p, arguments)),
                      r.out);
            EXPECT_EQ("", r.err);
            EXPECT_EQ(0, r.exit_code());
        }
    }
}

// Show that nothing of the installation's first place stays in the programs:
// renamed as a whole, it is found at its new place.
TEST(DriverRelocation, FollowsTheInstallationWhenMoved)
{
    scoped_temp_dir dir;
    installation before = installed(dir / "before");
    std::vector<std::string> env = test_env(dir / "none");
    for (const std::string &root : {dir / "before", dir / "after"}) {
        SCOPED_TRACE(root);
        if (root != before.root) {
            ASSERT_EQ(0, rename(before.root.c_str(), root.c_str()));
        }
        run_result r = run_program({root + "/" + layout().bin + "mavo-ar", "t"}, &env);
        EXPECT_EQ(vector_printed(installed_tool(real_path(root), mavo_ar), installed_plugin(real_path(root)), {"-t"}),
                  r.out);
        EXPECT_EQ(0, r.exit_code());
    }
}

// Show that MAVO_TRACE shows every candidate tried with its verdict, and then
// the tool's whole command line as a shell would run it again.
TEST(DriverTrace, ShowsWhatWasSearchedAndWhatRuns)
{
    scoped_temp_dir dir;
    installation inst = installed(dir / "tc");
    const std::string real_root = real_path(inst.root);
    const std::string tool = installed_tool(real_root, mavo_ar);
    const std::string tool_dir = tool.substr(0, tool.size() - 2);
    const std::string plugin = installed_plugin(real_root);
    const std::string libexec_dir = plugin.substr(0, plugin.size() - plugin_name.size());
    const std::string program_line = "mavo-ar " MAVO_VERSION ": " + tool + " --plugin " + plugin;
    const std::string plugin_lookup = "Looking for '" + plugin_name + "'\n  - passed over: " + tool_dir +
                                      plugin_name + "\n  - found: " + plugin + "\n";

    // Found in the installation: PATH is never split.
    std::vector<std::string> env = test_env(dir / "none", {"MAVO_TRACE=1"});
    run_result r = run_program({inst.program_path(mavo_ar.tool), "t", "it's a.a", "", "--format=bsd"}, &env);
    EXPECT_EQ(vector_printed(tool, plugin, {"-t", "it's a.a", "", "--format=bsd"}), r.out);
    EXPECT_EQ(plugin_lookup + "Looking for 'ar'\n  - found: " + tool + "\n" + program_line +
                  " -t 'it'\\''s a.a' '' --format=bsd\n",
              r.err);
    EXPECT_EQ(0, r.exit_code());

    // Missing from the installation: then PATH, element by element.
    const std::string elsewhere = make_dir(dir / "elsewhere");
    write_script(elsewhere + "/nm", stand_in_tool);
    std::filesystem::remove(tool_dir + "nm");
    const std::string path = dir / "none" + "::" + elsewhere;
    env = test_env(path, {"MAVO_TRACE=\xff; any value"});
    r = run_program({inst.program_path(programs[1].tool), "x.o"}, &env);
    EXPECT_EQ(vector_printed(elsewhere + "/nm", plugin, {"x.o"}), r.out);
    EXPECT_EQ(plugin_lookup + "Looking for 'nm'\n  - passed over: " + tool_dir + "nm\n  - passed over: " +
                  libexec_dir + "nm\n" + "Convert string '" + path + "' into prefixes, separator = ':'\n" +
                  "  - add prefix: " + dir / "none/" + "\n  - add prefix: ./\n  - add prefix: " + elsewhere +
                  "/\nLooking for 'nm'\n  - passed over: " + dir / "none/nm" + "\n  - passed over: ./nm\n" +
                  "  - found: " + elsewhere + "/nm\n" + "mavo-nm " MAVO_VERSION ": " + elsewhere +
                  "/nm --plugin " + plugin + " x.o\n",
              r.err);
    EXPECT_EQ(0, r.exit_code());
}

// Show that an unset or empty MAVO_TRACE changes nothing on either stream,
// on success and on failure.
TEST(DriverTrace, UnsetOrEmptyChangesNothing)
{
    scoped_temp_dir dir;
    installation inst = installed(dir / "tc");
    const std::vector<std::vector<std::string>> runs = {
        {inst.program_path(mavo_ar.tool), "rcs", "lib.a"},
        {inst.program_path(programs[2].tool), "-B"},
        {mavo_ar.path, "-B", dir / "none", "t"},
    };
    for (const std::vector<std::string> &argv : runs) {
        SCOPED_TRACE(testing::PrintToString(argv));
        std::vector<std::string> unset = test_env(dir / "none", {"MAVO_TEST_EXIT=3"});
        std::vector<std::string> empty = test_env(dir / "none", {"MAVO_TEST_EXIT=3", "MAVO_TRACE="});
        run_result without = run_program(argv, &unset);
        run_result with_empty = run_program(argv, &empty);
        EXPECT_EQ(without.out, with_empty.out);
        EXPECT_EQ(without.err, with_empty.err);
        EXPECT_EQ(without.status, with_empty.status);
        EXPECT_NE(-1, without.exit_code());
    }
}

// Show that a tool missing from the installation is looked for in the -B
// prefix once more and then along PATH: the trace shows the second lookup.
TEST(DriverTrace, PrefixIsTriedAgainBeforePath)
{
    scoped_temp_dir dir;
    installation inst = installed(dir / "tc");
    const std::string real_root = real_path(inst.root);
    std::filesystem::remove(installed_tool(real_root, programs[1]));
    const std::string prefix = make_dir(dir / "prefix");
    const std::string elsewhere = make_dir(dir / "elsewhere");
    write_script(elsewhere + "/nm", stand_in_tool);
    std::vector<std::string> env = test_env(elsewhere, {"MAVO_TRACE=1"});
    run_result r = run_program({inst.program_path(programs[1].tool), "-B", prefix, "x.o"}, &env);
    EXPECT_EQ(vector_printed(elsewhere + "/nm", installed_plugin(real_root), {"x.o"}), r.out);
    const std::string along_path = "Convert string '" + elsewhere + "' into prefixes, separator = ':'\n" +
                                   "  - add prefix: " + elsewhere + "/\nLooking for 'nm'\n  - passed over: " +
                                   prefix + "/nm\n  - found: " + elsewhere + "/nm\n";
    EXPECT_NE(std::string::npos, r.err.find(along_path)) << r.err;
    EXPECT_EQ(0, r.exit_code());
}

// Show that each line of the trace reaches standard error in one write, so
// that jobs of a parallel build sharing it cannot land inside a line: the
// command line with quoted words, a word holding a newline and one longer
// than any small buffer, and search lines naming long paths. strace shows
// the writes.
TEST(DriverTrace, WritesEachLineInOneCall)
{
    const std::string why_not = why_strace_cannot_serve();
    if (!why_not.empty())
        GTEST_SKIP() << "not checked: " << why_not;
    scoped_temp_dir dir;
    installation inst = installed(dir / "tc");
    const std::string real_root = real_path(inst.root);
    std::filesystem::remove(installed_tool(real_root, programs[1]));
    const std::string elsewhere = make_dir(dir / "elsewhere");
    write_script(elsewhere + "/nm", stand_in_tool);
    const std::string long_element = dir / std::string(300, 'p');
    const struct {
        const program &p;
        std::vector<std::string> arguments;
        std::string path;
    } cases[] = {
        {mavo_ar, {"t", "it's a.a", "two\nlines", "", std::string(3000, 'x')}, dir / "none"},
        {programs[1], {"x.o", "$HOME"}, long_element + ":" + elsewhere},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.p.tool);
        std::vector<std::string> env = test_env(c.path, {"MAVO_TRACE=1"});
        run_result r;
        std::vector<std::string> log = traced_calls("write", with_program(inst.program_path(c.p.tool), c.arguments), env, &r);
        ASSERT_EQ(0, r.exit_code()) << r.err;
        // What the trace should be written as: every search line on its own,
        // then the command line whole, newlines in its words and all.
        const std::string head = "mavo-" + std::string(c.p.tool) + " " MAVO_VERSION ": ";
        const size_t command_at = r.err.find(head);
        ASSERT_NE(std::string::npos, command_at) << r.err;
        std::vector<std::string> expected;
        std::istringstream search_lines(r.err.substr(0, command_at));
        for (std::string line; std::getline(search_lines, line);)
            expected.push_back(line + "\n");
        expected.push_back(r.err.substr(command_at));
        ASSERT_GT(expected.size(), 5u);
        std::vector<std::string> written;
        for (const std::string &line : log)
            if (line.rfind("write(2, ", 0) == 0)
                written.push_back(first_text(line));
        EXPECT_EQ(expected, written);
    }
}

// Show that each of the program's own messages goes out in one write, as the
// trace lines do: the usage text, a missing plug-in or tool, a failed start
// and a tool ended by a signal, each with a name long enough that a small
// buffer would have split it. strace shows the writes.
TEST(DriverProgram, WritesEachMessageInOneCall)
{
    const std::string why_not = why_strace_cannot_serve();
    if (!why_not.empty())
        GTEST_SKIP() << "not checked: " << why_not;
    scoped_temp_dir dir;
    const std::string long_dir = make_dir(dir / std::string(200, 'l'));
    const std::string plugin_only = make_dir(long_dir + "/plugin_only");
    put_stand_ins(plugin_only, true, false);
    const std::string broken = make_dir(long_dir + "/broken");
    put_stand_ins(broken, true, false);
    write_file(broken + "/ar", "#!/nonexistent/interpreter\n", 0755);
    const std::string tools = make_dir(long_dir + "/tools");
    put_stand_ins(tools);
    const struct {
        const char *what;
        std::vector<std::string> arguments;
        std::vector<std::string> env;
    } cases[] = {
        {"usage", {"-B"}, {}},
        {"missing tool", {"-B" + plugin_only, "t"}, {}},
        {"failed start", {"-B" + broken, "t"}, {}},
        {"signal", {"-B" + tools, "t"}, {"MAVO_TEST_SIGNAL=" + std::to_string(SIGKILL)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> env = test_env(dir / "none", c.env);
        run_result r;
        std::vector<std::string> log = traced_calls("write,writev", with_program(mavo_ar.path, c.arguments), env, &r);
        EXPECT_EQ(1, r.exit_code());
        std::vector<std::string> written;
        for (const std::string &line : log)
            if (line.rfind("write(2, ", 0) == 0 || line.rfind("writev(2, ", 0) == 0)
                written.push_back(first_text(line));
        EXPECT_EQ(std::vector<std::string>{r.err}, written);
    }
}

// Show that a tracing program whose standard error is closed still runs the
// tool, which inherits the closed descriptor, and exits with its status.
TEST(DriverTrace, ClosedStandardErrorStillRunsTheTool)
{
    scoped_temp_dir dir;
    installation inst = installed(dir / "tc");
    const std::string real_root = real_path(inst.root);
    std::filesystem::remove(installed_tool(real_root, programs[1]));
    const std::string elsewhere = make_dir(dir / "elsewhere");
    write_script(elsewhere + "/nm", stand_in_tool);
    for (const program &p : {mavo_ar, programs[1]}) {
        SCOPED_TRACE(p.tool);
        const std::string tool = p.tool == mavo_ar.tool ? installed_tool(real_root, p) : elsewhere + "/nm";
        std::vector<std::string> env = test_env(elsewhere, {"MAVO_TRACE=1", "MAVO_TEST_EXIT=3"});
        run_result r = run_program({"/bin/sh", "-c", "exec \"$@\" 2>&-", "sh", inst.program_path(p.tool), "x"}, &env);
        EXPECT_EQ(vector_printed(tool, installed_plugin(real_root), as_passed(p, {"x"})), r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(3, r.exit_code());
    }
}

// Show that the tool gets SIGCHLD at its default even when the caller left
// it ignored: the stand-in tool, a script the probe runs as its interpreter
// (a shell would set SIGCHLD itself), reports its own disposition. Run directly
// from a caller that ignores it, the stand-in reports it ignored, so the
// report does show what the tool inherits.
TEST(DriverProgram, ToolGetsSigchldAtItsDefault)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path, true, false);
    for (const program &p : programs)
        write_file(dir / p.tool, std::string("#!") + MAVO_PROBE_PATH + " sigchld\n", 0755);
    std::vector<std::string> env = test_env(dir / "none");
    run_result direct = run_program({MAVO_PROBE_PATH, "ignore-sigchld", dir / "ar"}, &env);
    ASSERT_EQ("ignored\n", direct.out) << direct.err;
    for (const program &p : programs) {
        for (bool ignoring : {false, true}) {
            SCOPED_TRACE(std::string(p.tool) + (ignoring ? ", SIGCHLD ignored" : ""));
            std::vector<std::string> argv = {p.path, "-B" + dir.path};
            if (ignoring)
                argv.insert(argv.begin(), {MAVO_PROBE_PATH, "ignore-sigchld"});
            run_result r = run_program(argv, &env);
            EXPECT_EQ("default\n", r.out);
            EXPECT_EQ("", r.err);
            EXPECT_EQ(0, r.exit_code());
        }
    }
}

// Show that a call resolves its own name once: no path is read as a link
// twice, and no more are read than the program's location has components,
// started by its full path or by a bare name found along PATH. strace shows
// the calls.
TEST(DriverRelocation, ResolvesItsOwnNameOnce)
{
    const std::string why_not = why_strace_cannot_serve();
    if (!why_not.empty())
        GTEST_SKIP() << "not checked: " << why_not;
    scoped_temp_dir dir;
    installation inst = installed(real_path(dir.path) + "/tc");
    const std::string location = inst.program_path(mavo_ar.tool);
    const std::string bin_dir = location.substr(0, location.rfind('/'));
    size_t components = 0;
    for (size_t i = 0; i < location.size(); i++)
        if (location[i] != '/' && (i == 0 || location[i - 1] == '/'))
            components++;
    const struct {
        const char *what;
        std::string name;
        std::string path;
    } cases[] = {
        {"full path", location, dir / "none"},
        {"bare name along PATH", "mavo-ar", dir / "none:" + bin_dir},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> env = test_env(c.path);
        run_result r;
        std::vector<std::string> log = traced_calls("readlink,readlinkat", {c.name, "t"}, env, &r);
        EXPECT_EQ(vector_printed(installed_tool(inst.root, mavo_ar), installed_plugin(inst.root), {"-t"}), r.out);
        EXPECT_EQ(0, r.exit_code()) << r.err;
        std::vector<std::string> read_as_links;
        for (const std::string &line : log)
            if (line.rfind("readlink", 0) == 0)
                read_as_links.push_back(first_text(line));
        std::set<std::string> distinct(read_as_links.begin(), read_as_links.end());
        EXPECT_EQ(distinct.size(), read_as_links.size()) << testing::PrintToString(read_as_links);
        EXPECT_LE(read_as_links.size(), components) << testing::PrintToString(read_as_links);
    }
}

namespace {

// Reads from `fd` until end of file; false when none came within `seconds`,
// as when a process that holds the other end was left running.
bool read_until_end(int fd, std::string *text, int seconds = 20)
{
    for (;;) {
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, seconds * 1000) <= 0)
            return false;
        char buffer[4096];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return got == 0;
        text->append(buffer, size_t(got));
    }
}

// A stand-in tool that says when it runs, with its process id, then copies
// its input to its output until the end of its input: it runs for as long as
// the test keeps the program's input open.
std::string waiting_tool()
{
    return std::string("echo started $$\nexec ") + MAVO_PROBE_PATH + " cat\n";
}

}  // namespace

// Show that a signal sent to the program alone reaches the tool, and that the
// program then ends by that same signal, quietly, with nothing left running:
// the tool holds the program's output, so end of file there means it is gone
// (the test keeps the input open, so the tool would never end by itself).
// Ctrl-C at a terminal signals the whole job, program and tool, with the
// same result.
TEST(DriverSignals, ReachTheToolAndEndTheProgramAsTheyEndedIt)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path, true, false);
    write_script(dir / "ar", waiting_tool());
    const struct {
        int signal_number;
        bool to_whole_group;
    } cases[] = {
        {SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGQUIT, false}, {SIGINT, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.signal_number) + (c.to_whole_group ? " to the whole group" : ""));
        const std::vector<std::string> env = test_env(dir / "none");
        running_program job = start_program({mavo_ar.path, "-B" + dir.path, "t"}, &env, nullptr, c.to_whole_group);
        std::string out;
        char buffer[64];
        while (out.find('\n') == std::string::npos) {
            ssize_t got = read(job.out, buffer, sizeof buffer);
            ASSERT_GT(got, 0) << "the tool did not start";
            out.append(buffer, size_t(got));
        }
        const pid_t tool_pid = std::stoi(out.substr(out.find(' ') + 1));
        kill(c.to_whole_group ? -job.pid : job.pid, c.signal_number);
        const bool tool_ended = read_until_end(job.out, &out);
        if (!tool_ended)
            kill(tool_pid, SIGKILL);
        EXPECT_TRUE(tool_ended) << "the tool was left running";
        int status = 0;
        waitpid(job.pid, &status, 0);
        std::string err;
        read_until_end(job.err, &err);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number) << "wait status " << status;
        EXPECT_EQ("", without_emulator_signal_notice(err));
        for (int fd : {job.in, job.out, job.err})
            close(fd);
    }
}

// Show what the tool starts with: the caller's mask, the signals the caller
// ignores still ignored (a non-interactive shell starts background jobs with
// SIGINT and SIGQUIT ignored), every other signal the program handles at
// its default, and SIGPIPE as the caller left it, also while the program
// traces and ignores SIGPIPE itself.
TEST(DriverSignals, ToolStartsWithTheCallersMaskAndDispositions)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path, true, false);
    const int watched[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE};
    std::string listed;
    for (int signal_number : watched)
        listed += " " + std::to_string(signal_number);
    write_script(dir / "ar", std::string("exec ") + MAVO_PROBE_PATH + " signals" + listed + "\n");
    auto report = [&](const std::map<int, std::string> &changed) {
        std::string text;
        for (int signal_number : watched) {
            auto found = changed.find(signal_number);
            text += std::to_string(signal_number) + " " + (found != changed.end() ? found->second : "default") + "\n";
        }
        return text;
    };
    const std::string ignoring = "trap '' INT QUIT PIPE; exec \"$@\"";
    // qemu-user hands a program the signals its caller ignored, but loses
    // them at the program's own exec: shown by a program that execs another.
    const std::string passed_through = run_program({"/bin/sh", "-c", ignoring, "sh", MAVO_PROBE_PATH,
                                                    "ignore-sigchld", MAVO_PROBE_PATH, "signals",
                                                    std::to_string(SIGINT)}).out;
    const bool ignoring_is_inherited = passed_through == std::to_string(SIGINT) + " ignored\n";
    if (!ignoring_is_inherited)
        note_emulation("ignored signals do not outlive a program's exec here (" + passed_through +
                       "): the cases with signals the caller ignores are left out");
    const struct {
        const char *what;
        std::vector<std::string> caller;   // what starts the program
        bool tracing;
        std::map<int, std::string> changed;
    } cases[] = {
        {"plain", {}, false, {}},
        {"tracing", {}, true, {}},
        {"INT, QUIT and PIPE ignored", {"/bin/sh", "-c", ignoring, "sh"}, false,
         {{SIGINT, "ignored"}, {SIGQUIT, "ignored"}, {SIGPIPE, "ignored"}}},
        {"INT, QUIT and PIPE ignored, tracing", {"/bin/sh", "-c", ignoring, "sh"}, true,
         {{SIGINT, "ignored"}, {SIGQUIT, "ignored"}, {SIGPIPE, "ignored"}}},
        {"TERM blocked", {MAVO_PROBE_PATH, "block", std::to_string(SIGTERM)}, false,
         {{SIGTERM, "default blocked"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (!ignoring_is_inherited && !c.caller.empty() && c.caller[0] == "/bin/sh")
            continue;
        std::vector<std::string> argv = c.caller;
        argv.insert(argv.end(), {mavo_ar.path, "-B" + dir.path});
        std::vector<std::string> env = test_env(dir / "none", {c.tracing ? "MAVO_TRACE=1" : "MAVO_TRACE"});
        run_result r = run_program(argv, &env);
        EXPECT_EQ(report(c.changed), r.out);
        EXPECT_EQ(0, r.exit_code()) << r.err;
    }
}

// Show that a tracing program whose standard error is a pipe without reader
// loses the trace and nothing else: the tool runs and its status comes back.
TEST(DriverTrace, StandardErrorWithoutReaderStillRunsTheTool)
{
    scoped_temp_dir dir;
    put_stand_ins(dir.path);
    std::vector<std::string> env = test_env(dir / "none", {"MAVO_TRACE=1", "MAVO_TEST_EXIT=3"});
    int no_reader[2];
    ASSERT_EQ(0, pipe(no_reader));   // inheritable: the shell below hands it on as 2
    close(no_reader[0]);
    const std::string onto_stderr = "exec \"$@\" 2>&" + std::to_string(no_reader[1]);
    run_result r = run_program({"/bin/sh", "-c", onto_stderr, "sh", mavo_ar.path, "-B" + dir.path, "t"}, &env);
    close(no_reader[1]);
    EXPECT_EQ(vector_printed(dir / "ar", dir / plugin_name, {"-t"}), r.out);
    EXPECT_EQ(3, r.exit_code()) << "wait status " << r.status;
}

// Show that a link named after the tool that leads to the program itself (a
// symbolic or a hard link early on PATH, so that build systems calling plain
// "ar" get the plug-in) is passed over, as the trace says, and the search goes
// on along PATH; with no other tool the program cannot find one, rather than
// starting itself again and again. A tool that merely shares the program's
// name is found as before. The stack limit bounds the arguments, and with
// them how deep a loop could go were the check ever lost.
TEST(DriverSearchOrder, PassesOverTheProgramItself)
{
    scoped_temp_dir dir;
    installation inst = installed(dir / "tc", false);
    put_stand_ins(inst.libexec_dir(), true, false);
    const std::string real_root = real_path(inst.root);
    const std::string program = inst.program_path(mavo_ar.tool);
    const std::string bin = program.substr(0, program.rfind('/'));
    const std::string masq = make_dir(dir / "masq");
    const std::string tools = make_dir(dir / "tools");
    put_stand_ins(tools, false, true);
    make_symlink(program, masq + "/ar");
    ASSERT_EQ(0, link(program.c_str(), (bin + "/ar").c_str()));
    const struct {
        const char *what;
        std::string path;
        std::string passed_over;   // the program's own link along PATH
        bool tool_found;
    } cases[] = {
        {"symbolic link", masq + ":" + tools, masq + "/ar", true},
        {"hard link", bin + ":" + tools, bin + "/ar", true},
        {"symbolic link, no other tool", masq, masq + "/ar", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> env = test_env(c.path, {"MAVO_TRACE=1"});
        run_result r = run_program({"/bin/sh", "-c", "ulimit -s 1024; exec ar rcs x.a", "sh"}, &env);
        EXPECT_NE(std::string::npos, r.err.find("  - passed over, the program itself: " + c.passed_over + "\n"))
            << r.err;
        if (c.tool_found) {
            EXPECT_EQ(vector_printed(tools + "/ar", installed_plugin(real_root), {"-rcs", "x.a"}), r.out);
            EXPECT_EQ(0, r.exit_code()) << r.err;
        } else {
            EXPECT_EQ("", r.out);
            EXPECT_NE(std::string::npos, r.err.find(not_found("ar", "binary", "ar"))) << r.err;
            EXPECT_EQ(1, r.exit_code());
        }
    }
}

namespace {

// Whether the system starts `argv` with `env` at all; the program's own
// status does not matter.
bool system_starts(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    std::vector<char *> args = pointers_to(argv), envp = pointers_to(env);
    pid_t pid;
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    int error = posix_spawn(&pid, args[0], &quiet, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&quiet);
    if (error != 0)
        return false;
    int status;
    waitpid(pid, &status, 0);
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

}  // namespace

// Show that a command line that the program could be started with, but
// that its own additions (the tool's and the plug-in's paths, long here)
// push over the system's limit, fails as any failed start, and that the
// trace says "Argument list too long". The longest line the program starts
// with is found by halving.
TEST(DriverTrace, FailedStartOverTheArgumentLimitSaysWhy)
{
    if (!vfork_shares_memory())
        GTEST_SKIP() << "not checked: under emulation the emulator's own arguments count against the limit";
    scoped_temp_dir dir;
    std::string deep = dir.path;
    for (int i = 0; i < 8; i++)
        deep = make_dir(deep + "/" + std::string(120, 'd'));
    put_stand_ins(deep);
    const std::vector<std::string> env = test_env(dir / "none", {"MAVO_TRACE=1"});
    // Arguments of 100 000 bytes at most, below any single argument's limit.
    auto command_of = [&](size_t bytes) {
        std::vector<std::string> argv = {mavo_ar.path, "-B" + deep, "t"};
        for (; bytes > 100000; bytes -= 100000)
            argv.push_back(std::string(100000, 'a'));
        argv.push_back(std::string(bytes, 'a'));
        return argv;
    };
    size_t starts = 0, fails = 64 << 20;
    ASSERT_TRUE(system_starts(command_of(starts), env));
    ASSERT_FALSE(system_starts(command_of(fails), env));
    while (fails - starts > 1) {
        size_t middle = starts + (fails - starts) / 2;
        (system_starts(command_of(middle), env) ? starts : fails) = middle;
    }
    run_result r = run_program(command_of(starts), &env);
    const std::string reason = "Error running " + deep + "/ar: execvp\nmavo-ar " MAVO_VERSION ": execvp: " +
                               programs_libc_text("error", E2BIG) + "\n";
    EXPECT_TRUE(r.err.size() > reason.size() && r.err.compare(r.err.size() - reason.size(), reason.size(), reason) == 0)
        << r.err.substr(r.err.size() > 300 ? r.err.size() - 300 : 0);
    EXPECT_EQ(1, r.exit_code());
}
