#include "support/relocate.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace fs = std::filesystem;

static const char configured_bin[] = "/usr/local/bin/";
static const char configured_lib[] = "/usr/local/lib/mavo12/mavo/";
static const char configured_libexec[] = "/usr/local/libexec/mavo12/mavo/";
static const char lib_from_bin[] = "../lib/mavo12/mavo/";

static const char null_result[] = "(null)";

// The result as a string ("(null)" for null); frees it.
static std::string taken(char *result)
{
    if (result == nullptr)
        return null_result;
    std::string text = result;
    free(result);
    return text;
}

// The temporary base may itself lie behind a link; results name real paths.
static std::string real_path_of(const std::string &path)
{
    char *resolved = realpath(path.c_str(), nullptr);
    std::string text = resolved != nullptr ? resolved : path;
    free(resolved);
    return text;
}



// relocate_prefix in its two halves: the name located once, then relocated.
static std::string in_two_halves(const char *name, const char *bin_dir, const char *target_dir)
{
    char *location = locate_program(name);
    std::string result = taken(relocate_located_prefix(location, bin_dir, target_dir));
    free(location);
    return result;
}

static void make_program(const std::string &path, int mode = 0755)
{
    fs::create_directories(fs::path(path).parent_path());
    write_file(path, "#!/bin/sh\n", mode);
}

TEST(SplitPathComponents, EachRunOfSeparatorsEndsAComponent)
{
    const struct {
        const char *path;
        std::vector<std::string> components;
    } cases[] = {
        {"/usr/local/bin/x", {"/", "usr/", "local/", "bin/", "x"}},
        {"/usr/local/bin/", {"/", "usr/", "local/", "bin/"}},
        {"//usr//x/", {"//", "usr//", "x/"}},
        {"a", {"a"}},
        {"/", {"/"}},
        {"a//b", {"a//", "b"}},
        {"./mavo-ar", {"./", "mavo-ar"}},
        {"../x/../", {"../", "x/", "../"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        int count = -1;
        char **components = split_path_components(c.path, &count);
        ASSERT_NE(components, nullptr);
        std::vector<std::string> got;
        for (char **component = components; *component != nullptr; component++)
            got.push_back(*component);
        EXPECT_EQ(got, c.components);
        EXPECT_EQ(count, static_cast<int>(c.components.size()));
        free_path_components(components);
    }
    int untouched = 42;
    EXPECT_EQ(split_path_components("", &untouched), nullptr);
    EXPECT_EQ(untouched, 42);
    free_path_components(nullptr);
}

TEST(PathBasename, JustAfterTheLastSlash)
{
    const struct {
        const char *path;
        size_t offset;
    } cases[] = {{"/usr/bin/ar", 9}, {"ar", 0}, {"dir/", 4}, {"", 0}, {"a//b", 3}, {"/", 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(path_basename(c.path), c.path + c.offset);
    }
}

TEST(ResolveRealPath, RealPathOrACopyOfTheInput)
{
    scoped_temp_dir tmp;
    std::string real = real_path_of(tmp.path);
    make_program(real + "/opt/bin/tool");
    fs::create_directories(real + "/home");
    make_symlink(real + "/opt/bin", real + "/home/bin");
    EXPECT_EQ(taken(resolve_real_path((tmp.path + "/home/bin//tool").c_str())),
              real + "/opt/bin/tool");
    EXPECT_EQ(taken(resolve_real_path((real + "/home/../opt/./bin").c_str())), real + "/opt/bin");
    const char missing[] = "/no/such/dir/../tool";
    char *copy = resolve_real_path(missing);
    EXPECT_NE(copy, missing);
    EXPECT_EQ(taken(copy), missing);
}

TEST(RelocatePrefix, ConfiguredWayAppliedToTheProgramsDirectory)
{
    // None of these programs exists, so resolving links leaves every name as
    // it is and both forms must agree, except where only one is asked.
    enum which { both, no_links_only };
    const struct {
        const char *program;
        const char *bin;
        const char *target;
        const char *expected;
        which form;
    } cases[] = {
        {"/usr/local/bin/mavo-ar", configured_bin, configured_lib, null_result, both},
        {"/opt/tc/bin/mavo-ar", configured_bin, configured_lib, "/opt/tc/bin/../lib/mavo12/mavo/", both},
        {"/opt/tc/lib/mavo/mavo-ar", configured_bin, configured_lib,
         "/opt/tc/lib/mavo/../lib/mavo12/mavo/", both},
        {"/usr//local/bin/mavo-ar", configured_bin, configured_lib,
         "/usr//local/bin/../lib/mavo12/mavo/", both},
        {"/mavo-ar", configured_bin, configured_lib, "/../lib/mavo12/mavo/", both},
        {"/opt/tc/bin/mavo-ar", configured_bin, configured_libexec,
         "/opt/tc/bin/../libexec/mavo12/mavo/", both},
        {"/opt/tc/bin/mavo-ar", configured_bin, configured_bin, "/opt/tc/bin/", both},
        {"/opt/tc/bin/mavo-ar", configured_bin, "/usr/local/", "/opt/tc/bin/../", both},
        {"/opt/tc/bin/mavo-ar", configured_bin, "/usr/local/lib", "/opt/tc/bin/../lib", both},
        {"/opt/tc/bin/mavo-ar", configured_bin, "lib/x/", null_result, both},
        {"/opt/tc/bin/mavo-ar", "bin/", "lib/", null_result, both},
        // Separators count: "local//" is not "local/".
        {"/usr/local//bin/mavo-ar", "/usr/local//bin/", configured_lib, null_result, both},
        {"/usr/local/bin/mavo-ar", "/usr/local//bin/", configured_lib,
         "/usr/local/bin/../../local/lib/mavo12/mavo/", both},
        {"/opt/tc/bin/", configured_bin, configured_lib, "/opt/tc/../lib/mavo12/mavo/", no_links_only},
        {"./mavo-ar", configured_bin, configured_lib, "./../lib/mavo12/mavo/", no_links_only},
        {"bin/mavo-ar", configured_bin, configured_lib, "bin/../lib/mavo12/mavo/", no_links_only},
        {"other/mavo-ar", "rel/bin/", "rel/lib/x/", "other/../lib/x/", no_links_only},
        {"rel/bin/mavo-ar", "rel/bin/", "rel/lib/x/", null_result, no_links_only},
        {"", configured_bin, configured_lib, null_result, both},
        {"/opt/tc/bin/mavo-ar", "", configured_lib, null_result, both},
        {"/opt/tc/bin/mavo-ar", configured_bin, "", null_result, both},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.bin + " " + c.target);
        EXPECT_EQ(taken(relocate_prefix_no_links(c.program, c.bin, c.target)), c.expected);
        if (c.form == both) {
            ASSERT_FALSE(file_exists(c.program)) << "the table assumes it is missing";
            EXPECT_EQ(taken(relocate_prefix(c.program, c.bin, c.target)), c.expected);
        }
    }
    EXPECT_EQ(relocate_prefix(nullptr, configured_bin, configured_lib), nullptr);
    EXPECT_EQ(relocate_prefix("/opt/tc/bin/mavo-ar", nullptr, configured_lib), nullptr);
    EXPECT_EQ(relocate_prefix_no_links("/opt/tc/bin/mavo-ar", configured_bin, nullptr), nullptr);
}

TEST(RelocatePrefix, ResolvesLinksOnlyWhenAsked)
{
    scoped_temp_dir tmp;
    const std::string d = real_path_of(tmp.path);
    make_program(d + "/opt/tc/bin/mavo-ar");
    fs::create_directories(d + "/home/u/bin");
    make_symlink(d + "/opt/tc/bin/mavo-ar", d + "/home/u/bin/mavo-ar");
    make_symlink("../../opt/tc/bin", d + "/home/u/linked-bin");
    const std::string real_bin = d + "/opt/tc/bin/";
    const std::string real_lib = d + "/opt/tc/lib/x/";
    const struct {
        std::string program;
        std::string bin;
        std::string target;
        bool resolve_links;
        std::string expected;
    } cases[] = {
        {d + "/home/u/bin/mavo-ar", configured_bin, configured_lib, true,
         d + "/opt/tc/bin/../lib/mavo12/mavo/"},
        {d + "/home/u/bin/mavo-ar", configured_bin, configured_lib, false,
         d + "/home/u/bin/../lib/mavo12/mavo/"},
        {d + "/home/u/linked-bin/mavo-ar", configured_bin, configured_lib, true,
         d + "/opt/tc/bin/../lib/mavo12/mavo/"},
        // In its configured directory: nothing to relocate, once links are seen through.
        {d + "/opt/tc/bin/mavo-ar", real_bin, real_lib, true, null_result},
        {d + "/home/u/bin/mavo-ar", real_bin, real_lib, true, null_result},
        {d + "/home/u/bin/mavo-ar", real_bin, real_lib, false, d + "/home/u/bin/../lib/x/"},
        {d + "/opt/tc/bin//mavo-ar", real_bin, real_lib, true, null_result},
        {d + "/opt/tc/bin//mavo-ar", real_bin, real_lib, false, d + "/opt/tc/bin//../lib/x/"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.program + (c.resolve_links ? " resolved" : " as named"));
        EXPECT_EQ(taken(relocate_prefix_common(c.program.c_str(), c.bin.c_str(), c.target.c_str(),
                                               c.resolve_links)),
                  c.expected);
    }
}

TEST(RelocatePrefix, BareNameCompletedAlongPath)
{
    scoped_temp_dir tmp;
    const std::string d = real_path_of(tmp.path);
    make_program(d + "/usr/local/bin/mavo-ar");
    fs::create_directories(d + "/usr/bin");
    fs::create_directories(d + "/a/mavo-ar");            // a directory
    make_program(d + "/b/mavo-ar", 0644);                // not executable
    fs::create_directories(d + "/f");
    ASSERT_EQ(0, mkfifo((d + "/f/mavo-ar").c_str(), 0755));   // not a regular file
    make_program(d + "/c/mavo-ar");
    make_program(d + "/c/bin/mavo-ar");
    make_program(d + "/w/mavo-ar");                      // in the working directory
    fs::create_directories(d + "/empty");
    fs::create_directories(d + "/loop");
    make_symlink("mavo-ar2", d + "/loop/mavo-ar");
    make_symlink("mavo-ar", d + "/loop/mavo-ar2");

    std::string many_missing;   // a PATH far beyond the stack buffer
    for (int i = 0; i < 300; i++)
        many_missing += d + "/missing-" + std::to_string(i) + ":";
    const std::string one_long_element = d + "/" + std::string(5000, 'm');
    const std::string long_bare_name(6000, 'n');

    const std::optional<std::string> unset;
    const struct {
        const char *label;
        std::optional<std::string> path_value;
        std::string cwd;
        std::string name;
        bool resolve_links;
        std::string expected;
    } cases[] = {
        {"found in the second element", d + "/usr/bin:" + d + "/usr/local/bin", d + "/empty",
         "mavo-ar", true, d + "/usr/local/bin/" + lib_from_bin},
        {"directory, unexecutable file and fifo passed over",
         d + "/a:" + d + "/b:" + d + "/f:" + d + "/c", d + "/empty", "mavo-ar", false,
         d + "/c/" + lib_from_bin},
        {"element ending in '/'", d + "/c/", d + "/empty", "mavo-ar", false, d + "/c/" + lib_from_bin},
        {"element ending in '//' kept", d + "/c//", d + "/empty", "mavo-ar", false,
         d + "/c//" + lib_from_bin},
        {"leading empty element", ":" + d + "/c", d + "/w", "mavo-ar", false,
         std::string("./") + lib_from_bin},
        {"inner empty element", d + "/usr/bin::" + d + "/c", d + "/w", "mavo-ar", false,
         std::string("./") + lib_from_bin},
        {"trailing empty element", d + "/usr/bin:", d + "/w", "mavo-ar", false,
         std::string("./") + lib_from_bin},
        {"empty PATH", "", d + "/w", "mavo-ar", false, std::string("./") + lib_from_bin},
        {"empty element resolved", ":", d + "/w", "mavo-ar", true, d + "/w/" + lib_from_bin},
        {"empty element with nothing there", ":" + d + "/c", d + "/empty", "mavo-ar", false,
         d + "/c/" + lib_from_bin},
        {"not found", d + "/usr/bin:" + d + "/a", d + "/empty", "mavo-ar", true, lib_from_bin},
        {"link loop passed over", d + "/loop:" + d + "/c", d + "/empty", "mavo-ar", false,
         d + "/c/" + lib_from_bin},
        {"a '/' means no lookup", d + "/c", d + "/empty", "bin/mavo-ar", false,
         std::string("bin/") + lib_from_bin},
        {"many missing directories, then found", many_missing + d + "/c", d + "/empty", "mavo-ar",
         true, d + "/c/" + lib_from_bin},
        {"one element of thousands of bytes", one_long_element + ":" + d + "/c", d + "/empty",
         "mavo-ar", true, d + "/c/" + lib_from_bin},
        {"only missing directories", many_missing, d + "/empty", "mavo-ar", true, lib_from_bin},
        {"name of thousands of bytes", many_missing + d + "/c", d + "/empty", long_bare_name, true,
         lib_from_bin},
        {"PATH unset", unset, d + "/empty", "mavo-ar", true, lib_from_bin},
        {"PATH unset, named file in the working directory", unset, d + "/w", "mavo-ar", false,
         lib_from_bin},
        {"PATH unset, resolved in the working directory", unset, d + "/w", "mavo-ar", true,
         d + "/w/" + lib_from_bin},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string got = answer_from_child([&] {
            if (chdir(c.cwd.c_str()) != 0)
                return std::string("cannot enter ") + c.cwd;
            if (c.path_value)
                setenv("PATH", c.path_value->c_str(), 1);
            else
                unsetenv("PATH");
            std::string result = taken(relocate_prefix_common(c.name.c_str(), configured_bin,
                                                              configured_lib, c.resolve_links));
            // Located once, the name relocates as relocate_prefix relocates it.
            if (c.resolve_links)
                result += "|" + in_two_halves(c.name.c_str(), configured_bin, configured_lib);
            return result;
        });
        EXPECT_EQ(got, c.resolve_links ? c.expected + "|" + c.expected : c.expected);
    }
    std::string found_in_place = answer_from_child([&] {
        setenv("PATH", (d + "/usr/bin:" + d + "/usr/local/bin").c_str(), 1);
        return taken(relocate_prefix("mavo-ar", (d + "/usr/local/bin/").c_str(),
                                     (d + "/usr/local/lib/mavo12/mavo/").c_str()));
    });
    EXPECT_EQ(found_in_place, null_result);
}

// Show that the program's name located once serves every directory, each
// relocated as relocate_prefix relocates it: through links, for a name that
// is empty, missing or null, and for the program in its configured place.
TEST(LocateProgram, ServesEveryDirectoryAsRelocatePrefixDoes)
{
    scoped_temp_dir tmp;
    const std::string d = real_path_of(tmp.path);
    make_program(d + "/tc/bin/mavo-ar");
    make_symlink(d + "/tc/bin/mavo-ar", d + "/link");
    fs::create_directories(d + "/loop");
    make_symlink("b", d + "/loop/a");
    make_symlink("a", d + "/loop/b");
    const std::string in_place_bin = d + "/usr/local/bin/";
    make_program(in_place_bin + "mavo-ar");
    const struct {
        const char *label;
        std::string name;
        std::string bin;
        std::vector<std::string> expected;   // for the library and the libexec directory
    } cases[] = {
        {"full path", d + "/tc/bin/mavo-ar", configured_bin,
         {d + "/tc/bin/" + lib_from_bin, d + "/tc/bin/../libexec/mavo12/mavo/"}},
        {"through a link", d + "/link", configured_bin,
         {d + "/tc/bin/" + lib_from_bin, d + "/tc/bin/../libexec/mavo12/mavo/"}},
        {"along PATH", "mavo-ar", configured_bin,
         {d + "/tc/bin/" + lib_from_bin, d + "/tc/bin/../libexec/mavo12/mavo/"}},
        {"link loop", d + "/loop/a", configured_bin,
         {d + "/loop/" + lib_from_bin, d + "/loop/../libexec/mavo12/mavo/"}},
        {"missing", d + "/none/mavo-ar", configured_bin,
         {d + "/none/" + lib_from_bin, d + "/none/../libexec/mavo12/mavo/"}},
        {"empty", "", configured_bin, {null_result, null_result}},
        {"in the configured place", in_place_bin + "mavo-ar", in_place_bin, {null_result, null_result}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string got = answer_from_child([&] {
            setenv("PATH", (d + "/none:" + d + "/tc/bin").c_str(), 1);
            std::string results;
            for (const char *target : {configured_lib, configured_libexec}) {
                std::string whole = taken(relocate_prefix(c.name.c_str(), c.bin.c_str(), target));
                std::string halves = in_two_halves(c.name.c_str(), c.bin.c_str(), target);
                results += whole == halves ? whole + "\n" : "differ: " + whole + " " + halves + "\n";
            }
            return results;
        });
        EXPECT_EQ(got, c.expected[0] + "\n" + c.expected[1] + "\n");
    }
    EXPECT_EQ(locate_program(nullptr), nullptr);
    EXPECT_EQ(relocate_located_prefix(nullptr, configured_bin, configured_lib), nullptr);
}

TEST(RelocatePrefix, HostileInputGivesAResultOrNull)
{
    scoped_temp_dir tmp;
    const std::string d = real_path_of(tmp.path);

    // An installation deeper than 1024 bytes, reached through a link.
    std::string deep = d;
    while (deep.size() < 1900)
        deep += "/" + std::string(60, 'd');
    make_program(deep + "/bin/mavo-ar");
    make_symlink(deep + "/bin/mavo-ar", d + "/deep-link");
    EXPECT_EQ(taken(resolve_real_path((d + "/deep-link").c_str())), deep + "/bin/mavo-ar");
    EXPECT_EQ(taken(relocate_prefix((d + "/deep-link").c_str(), configured_bin, configured_lib)),
              deep + "/bin/" + lib_from_bin);

    // Names longer than any path the platform accepts are used as written.
    std::string huge_dir = "/";
    for (int i = 0; i < 5000; i++)
        huge_dir += "x/";
    EXPECT_EQ(taken(relocate_prefix((huge_dir + "mavo-ar").c_str(), configured_bin, configured_lib)),
              huge_dir + lib_from_bin);
    const std::string huge_bin = huge_dir + "bin/";
    EXPECT_EQ(taken(relocate_prefix((huge_bin + "mavo-ar").c_str(), huge_bin.c_str(), configured_lib)),
              null_result);

    fs::create_directories(d + "/loop");
    make_symlink("b", d + "/loop/a");
    make_symlink("a", d + "/loop/b");
    EXPECT_EQ(taken(relocate_prefix((d + "/loop/a").c_str(), configured_bin, configured_lib)),
              d + "/loop/" + lib_from_bin);

    // A directory on the way that the program's user may not search: mode 0
    // shuts out its owner too, for a run that is not root and keeps its user.
    chmod(tmp.path.c_str(), 0755);
    make_program(d + "/locked/bin/mavo-ar");
    chmod((d + "/locked").c_str(), 0);
    fs::create_directories(d + "/open");
    make_symlink(d + "/locked/bin/mavo-ar", d + "/open/mavo-ar");
    make_program(d + "/c/mavo-ar");
    std::string as_user = answer_from_child([&] {
        if (!drop_privileges())
            return std::string("cannot drop privileges");
        setenv("PATH", (d + "/locked/bin:" + d + "/c").c_str(), 1);
        return taken(relocate_prefix((d + "/locked/bin/mavo-ar").c_str(), configured_bin,
                                     configured_lib)) +
               "\n" +
               taken(relocate_prefix((d + "/open/mavo-ar").c_str(), configured_bin, configured_lib)) +
               "\n" + taken(relocate_prefix("mavo-ar", configured_bin, configured_lib));
    });
    EXPECT_EQ(as_user, d + "/locked/bin/" + lib_from_bin + "\n" + d + "/open/" + lib_from_bin + "\n" +
                           d + "/c/" + lib_from_bin);
}
