#include "support/temp_file.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/emulation.h"
#include "tests/test_util.h"

// The directory is chosen once per process, so every test here makes its
// choice in a forked child.

namespace fs = std::filesystem;




// A directory of `mode` that the user of drop_privileges owns.
static std::string make_user_dir(const std::string &path, mode_t mode)
{
    fs::create_directories(path);
    if (geteuid() == 0 && chown(path.c_str(), test_user, test_user) != 0)
        ADD_FAILURE() << "chown " << path << ": " << strerror(errno);
    chmod(path.c_str(), mode);
    return path;
}

// Directories of every kind the candidates may name, reachable by the test user.
struct candidate_dirs {
    scoped_temp_dir tmp;
    std::string good1, good2, good3, plain_file, missing, read_only, unsearchable, unreadable;
    candidate_dirs()
    {
        chmod(tmp.path.c_str(), 0755);
        good1 = make_user_dir(tmp / "good1", 0755);
        good2 = make_user_dir(tmp / "good2", 0755);
        good3 = make_user_dir(tmp / "good3", 0755);
        read_only = make_user_dir(tmp / "read-only", 0555);
        unsearchable = make_user_dir(tmp / "unsearchable", 0666);
        unreadable = make_user_dir(tmp / "unreadable", 0300);   // mkstemps would work there
        plain_file = tmp / "file";
        write_file(plain_file, "", 0777);
        missing = tmp / "missing";
    }
};

using optional_text = std::optional<std::string>;

static void set_candidates(const optional_text &tmpdir, const optional_text &tmp,
                           const optional_text &temp)
{
    const std::pair<const char *, const optional_text *> variables[] = {
        {"TMPDIR", &tmpdir}, {"TMP", &tmp}, {"TEMP", &temp}};
    for (const auto &[name, value] : variables) {
        if (*value)
            setenv(name, (*value)->c_str(), 1);
        else
            unsetenv(name);
    }
}

TEST(PickTempDir, FirstUsableOfTmpdirTmpTempThenTmp)
{
    candidate_dirs dirs;
    const optional_text unset;
    const struct {
        optional_text tmpdir, tmp, temp;
        std::string chosen;
    } cases[] = {
        {dirs.good1, dirs.good2, dirs.good3, dirs.good1 + "/"},
        {unset, dirs.good2, dirs.good3, dirs.good2 + "/"},
        {unset, unset, dirs.good3, dirs.good3 + "/"},
        {dirs.plain_file, dirs.good2, dirs.good3, dirs.good2 + "/"},
        {dirs.missing, dirs.plain_file, dirs.good3, dirs.good3 + "/"},
        {dirs.read_only, dirs.unsearchable, dirs.good3, dirs.good3 + "/"},
        {dirs.unreadable, unset, dirs.good3, dirs.good3 + "/"},
        {std::string(), std::string(), dirs.good3, dirs.good3 + "/"},
        {dirs.good1 + "/", unset, unset, dirs.good1 + "//"},
        {dirs.read_only, dirs.missing, dirs.plain_file, "/tmp//"},
        {unset, unset, unset, "/tmp//"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tmpdir.value_or("(unset)") + " " + c.tmp.value_or("(unset)") + " " +
                     c.temp.value_or("(unset)"));
        std::string chosen = answer_from_child([&] {
            if (!drop_privileges())
                return std::string("cannot drop privileges");
            set_candidates(c.tmpdir, c.tmp, c.temp);
            return std::string(pick_temp_dir());
        });
        EXPECT_EQ(chosen, c.chosen);
    }
}

TEST(PickTempDir, VarTmpThenTheWorkingDirectoryWhenTmpIsUnusable)
{
    // Only a changed root can take /tmp away, and only root may change it.
    if (geteuid() != 0)
        GTEST_SKIP() << "chroot needs root";
    scoped_temp_dir tmp;
    chmod(tmp.path.c_str(), 0755);
    const std::string with_var_tmp = tmp / "with-var-tmp";
    make_user_dir(with_var_tmp + "/var/tmp", 0755);
    write_file(with_var_tmp + "/tmp", "", 0777);   // a file, not a directory
    const std::string with_locked_tmp = tmp / "with-locked-tmp";
    fs::create_directories(with_locked_tmp + "/tmp");   // root's, 0755
    make_user_dir(with_locked_tmp + "/work", 0755);
    const std::string bare = tmp / "bare";
    make_user_dir(bare + "/work", 0755);

    const struct {
        std::string root;
        std::string chosen;
    } cases[] = {
        {with_var_tmp, "/var/tmp/"},
        {with_locked_tmp, "./"},
        {bare, "./"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.root);
        std::string answer = answer_from_child([&] {
            if (chroot(c.root.c_str()) != 0 || chdir("/") != 0 || !drop_privileges())
                return std::string("cannot enter the root");
            set_candidates(std::nullopt, std::nullopt, std::nullopt);
            if (chdir("/work") != 0 && chdir("/var/tmp") != 0)
                return std::string("no working directory");
            std::string chosen = pick_temp_dir();
            char *name = new_temp_file(".o");
            std::string result = chosen + "\n" + name;
            free(name);
            return result;
        });
        std::string chosen = answer.substr(0, answer.find('\n'));
        EXPECT_EQ(chosen, c.chosen);
        std::string name = answer.substr(answer.find('\n') + 1);
        EXPECT_EQ(name.rfind(c.chosen + "cc", 0), 0u) << name;
        std::string where = c.chosen == "./" ? "/work" : "/var/tmp";
        EXPECT_EQ(list_dir(c.root + where).size(), 1u) << "the new file lies in " << where;
    }
}

TEST(PickTempDir, ChosenOnceForTheWholeProcess)
{
    candidate_dirs dirs;
    std::string answer = answer_from_child([&] {
        set_candidates(dirs.good1, std::nullopt, std::nullopt);
        char *first = new_temp_file(nullptr);   // the first use chooses
        setenv("TMPDIR", dirs.good2.c_str(), 1);
        const char *chosen = pick_temp_dir();
        char *second = new_temp_file(nullptr);
        setenv("TMPDIR", dirs.good3.c_str(), 1);
        std::ostringstream out;
        out << chosen << "\n"
            << (pick_temp_dir() == chosen ? "same pointer" : "another pointer") << "\n"
            << first << "\n"
            << second;
        free(first);
        free(second);
        return out.str();
    });
    std::vector<std::string> lines;
    std::istringstream in(answer);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u) << answer;
    EXPECT_EQ(lines[0], dirs.good1 + "/");
    EXPECT_EQ(lines[1], "same pointer");
    EXPECT_EQ(lines[2].rfind(dirs.good1 + "/cc", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind(dirs.good1 + "/cc", 0), 0u) << lines[3];
    EXPECT_EQ(list_dir(dirs.good1).size(), 2u);
    EXPECT_TRUE(list_dir(dirs.good2).empty());
}

TEST(NewTempFile, EmptyClosedFileNamedByPrefixAndSuffix)
{
    scoped_temp_dir tmp;
    const std::string dir = tmp.path + "/";
    const struct {
        bool prefixed;   // new_temp_file_prefixed, else new_temp_file
        const char *prefix;
        const char *suffix;
        std::string lead;
        std::string tail;
    } cases[] = {
        {false, nullptr, ".o", dir + "cc", ".o"},
        {false, nullptr, nullptr, dir + "cc", ""},
        {true, nullptr, ".s", dir + "cc", ".s"},
        {true, "", nullptr, dir, ""},
        {true, "pre", ".c", dir + "pre", ".c"},
        {true, "x", "", dir + "x", ""},
        {true, "XXXXXX", ".XXXXXX", dir + "XXXXXX", ".XXXXXX"},
    };
    std::string answer = answer_from_child([&] {
        set_candidates(tmp.path, std::nullopt, std::nullopt);
        pick_temp_dir();
        std::set<int> fds_before = open_fds();
        std::string names;
        for (const auto &c : cases) {
            char *name = c.prefixed ? new_temp_file_prefixed(c.prefix, c.suffix)
                                    : new_temp_file(c.suffix);
            names += std::string(name) + "\n";
            free(name);
        }
        return open_fds() == fds_before ? names : "descriptors left open";
    });
    std::istringstream in(answer);
    std::set<std::string> seen;
    for (const auto &c : cases) {
        std::string name;
        ASSERT_TRUE(std::getline(in, name)) << answer;
        SCOPED_TRACE(name);
        ASSERT_EQ(name.size(), c.lead.size() + 6 + c.tail.size());
        EXPECT_EQ(name.substr(0, c.lead.size()), c.lead);
        EXPECT_EQ(name.substr(name.size() - c.tail.size()), c.tail);
        std::string replaced = name.substr(c.lead.size(), 6);
        EXPECT_NE(replaced, "XXXXXX");
        struct stat info;
        ASSERT_EQ(stat(name.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_size, 0);
        EXPECT_TRUE(seen.insert(name).second) << "name given twice";
    }
    EXPECT_EQ(list_dir(tmp.path).size(), std::size(cases));
}

TEST(NewTempFile, AbortsWithAMessageWhenTheChosenDirectoryFails)
{
    enum change { removed, made_read_only, descriptors_used_up };
    const struct {
        change what;
        int error_number;
    } cases[] = {{removed, ENOENT}, {made_read_only, EACCES}, {descriptors_used_up, EMFILE}};
    for (const auto &c : cases) {
        SCOPED_TRACE(strerror(c.error_number));
        scoped_temp_dir tmp;
        chmod(tmp.path.c_str(), 0755);
        const std::string dir = make_user_dir(tmp / "chosen", 0755);
        const std::string err_file = tmp / "stderr";
        int status = in_child([&] {
            int err_fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err_fd, 2);
            struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            // The owner, not root, so that the lost write permission counts.
            if (c.what == made_read_only && !drop_privileges())
                return;
            set_candidates(dir, std::nullopt, std::nullopt);
            pick_temp_dir();
            if (c.what == removed) {
                rmdir(dir.c_str());
            } else if (c.what == made_read_only) {
                chmod(dir.c_str(), 0555);
            } else {
                struct rlimit few = {3, 3};
                setrlimit(RLIMIT_NOFILE, &few);
                for (int fd = 3; fd < 64; fd++)
                    close(fd);
            }
            new_temp_file(".o");
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << "wait status " << status;
        EXPECT_EQ(WTERMSIG(status), SIGABRT);
        EXPECT_EQ(without_emulator_signal_notice(read_file(err_file)), "Cannot create temporary file in " + dir + "/: " +
                                           strerror(c.error_number) + "\n");
    }
}
