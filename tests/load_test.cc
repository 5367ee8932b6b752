// Many programs at once against one installation, as a parallel build runs
// them: every argument vector and every exit status must come through
// untouched, and nothing may be left behind.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/installation.h"
#include "tests/test_util.h"

extern char **environ;

namespace {

struct invocation {
    std::string program;                 // installed program to run
    std::vector<std::string> arguments;  // after argv[0]
    std::vector<std::string> expected;   // what the tool must receive after its own name
    int exit_code;
};

// An installation whose tools each record what they were given in the file
// named by their fourth argument, and their process number in that name
// with ".pid" added, and exit with the code given as their fifth.
installation recording_installation(const scoped_temp_dir &root)
{
    installation inst(root / "inst");
    write_file(inst.libexec_dir() + MAVO_PLUGIN_FILE_NAME, "not really a plug-in\n");
    for (const char *tool : {"ar", "nm", "ranlib"})
        write_script(inst.tool_dir() + "/" + tool, "printf '%s\\n' \"$@\" > \"$4\"\necho $$ > \"$4.pid\"\nexit \"$5\"\n");
    return inst;
}

std::string lines(const std::vector<std::string> &texts)
{
    std::string joined;
    for (const std::string &text : texts)
        joined += text + "\n";
    return joined;
}

// The tools still running, by the process numbers they recorded in
// `records`: every program has been waited for, so only a tool its program
// did not wait for could be.
int tools_still_running(const std::string &records, size_t count)
{
    int running = 0;
    for (size_t i = 0; i < count; i++) {
        pid_t pid = atoi(read_file(records + "/" + std::to_string(i) + ".pid").c_str());
        if (pid > 0 && kill(pid, 0) == 0)
            running++;
    }
    return running;
}

}  // namespace

TEST(Load, TwoHundredInvocationsFiftyAtATime)
{
    scoped_temp_dir root;
    installation inst = recording_installation(root);
    std::string records = root / "records";
    std::string temp = root / "tmp";
    ASSERT_EQ(0, mkdir(records.c_str(), 0755));
    ASSERT_EQ(0, mkdir(temp.c_str(), 0755));
    std::string plugin = spelled_libexec_dir(std::filesystem::canonical(inst.root).string()) + MAVO_PLUGIN_FILE_NAME;

    std::vector<invocation> runs;
    const char *tools[] = {"ar", "nm", "ranlib"};
    for (int i = 0; i < 200; i++) {
        std::string tool = tools[i % 3];
        std::string record = records + "/" + std::to_string(i);
        std::string first = "x" + std::to_string(i);
        std::string code = std::to_string(i);
        invocation run{inst.program_path(tool), {first, record, code, "arg with blanks " + code, ""}, {}, i};
        // mavo-ar alone puts a '-' in front of a first argument without one.
        std::string first_seen = tool == "ar" ? "-" + first : first;
        run.expected = {"--plugin", plugin, first_seen, record, code, "arg with blanks " + code, ""};
        runs.push_back(run);
    }

    std::vector<std::string> env = environment_with({"TMPDIR=" + temp, "MAVO_EXEC_PREFIX"});
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::map<pid_t, int> running;   // pid -> index into runs
    std::map<int, int> statuses;    // index -> raw status
    size_t next = 0;
    while (next < runs.size() || !running.empty()) {
        while (next < runs.size() && running.size() < 50) {
            std::vector<char *> argv = {runs[next].program.data()};
            for (std::string &argument : runs[next].arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            pid_t pid;
            ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
            running[pid] = static_cast<int>(next++);
        }
        int status;
        pid_t done = waitpid(-1, &status, 0);
        if (done < 0) {
            ASSERT_EQ(errno, EINTR);
            continue;
        }
        ASSERT_TRUE(running.count(done)) << "an unknown child " << done << " ended";
        statuses[running[done]] = status;
        running.erase(done);
    }

    for (size_t i = 0; i < runs.size(); i++) {
        SCOPED_TRACE(runs[i].program + " run " + std::to_string(i));
        ASSERT_TRUE(WIFEXITED(statuses[i]));
        EXPECT_EQ(WEXITSTATUS(statuses[i]), runs[i].exit_code);
        EXPECT_EQ(read_file(records + "/" + std::to_string(i)), lines(runs[i].expected));
    }
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(tools_still_running(records, runs.size()), 0);
    EXPECT_EQ(list_dir(temp), std::vector<std::string>());
}
