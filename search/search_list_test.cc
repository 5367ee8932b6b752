#include "search/search_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/stderr_write.h"
#include "tests/test_util.h"

namespace {

// The programs keep their lists for the whole run; a test frees its own, so
// that the leak checker goes on watching everything else.
struct owned_list : search_list {
    owned_list() : search_list{} {}
    ~owned_list()
    {
        for (search_entry *entry = first; entry != nullptr;) {
            search_entry *next = entry->next;
            free(entry->prefix);
            free(entry);
            entry = next;
        }
    }
    owned_list(const owned_list &) = delete;
    owned_list &operator=(const owned_list &) = delete;
};

std::vector<std::string> prefixes_of(const search_list &list)
{
    std::vector<std::string> prefixes;
    for (const search_entry *entry = list.first; entry != nullptr; entry = entry->next)
        prefixes.push_back(entry->prefix);
    return prefixes;
}

// The lookup's result as a string ("<null>" for none), the block freed.
std::string find(const search_list &list, const std::string &name, int mode)
{
    std::unique_ptr<char, decltype(&free)> found(search_list_find(&list, name.c_str(), mode), &free);
    return found != nullptr ? std::string(found.get()) : std::string("<null>");
}

// What `body` writes to standard error with the trace on, run in a child so
// that neither the switch nor the redirection outlives it.
std::string trace_of(const std::function<void()> &body)
{
    scoped_temp_dir dir;
    std::string log = dir / "trace";
    int status = in_child([&] {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
        search_list_set_debug(true);
        body();
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return read_file(log);
}

}  // namespace

TEST(SearchListFromString, EveryColonEndsAPrefix)
{
    const struct {
        const char *text;
        std::vector<std::string> prefixes;
    } cases[] = {
        {"", {"./"}},
        {"/a:b/:", {"/a/", "b/", "./"}},
        {"::", {"./", "./", "./"}},
        {":x", {"./", "x/"}},
        {"/usr/bin", {"/usr/bin/"}},
        {"a//:/", {"a//", "/"}},
        {"\xff\xfe:dir", {"\xff\xfe/", "dir/"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        owned_list list;
        search_list_from_string(c.text, &list);
        EXPECT_EQ(c.prefixes, prefixes_of(list));
    }
}

TEST(SearchListFromString, AppendsAfterExistingEntries)
{
    owned_list list;
    search_list_append(&list, "first/");
    search_list_from_string("a:b", &list);
    EXPECT_EQ((std::vector<std::string>{"first/", "a/", "b/"}), prefixes_of(list));
}

TEST(SearchListFromEnv, ReadsTheVariableOnlyWhenSet)
{
    const char *variable = "MAVO_SEARCH_LIST_TEST_VARIABLE";
    const struct {
        const char *value;   // null: unset
        std::vector<std::string> prefixes;
    } cases[] = {
        {nullptr, {"kept/"}},
        {"", {"kept/", "./"}},
        {"/x:y", {"kept/", "/x/", "y/"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value != nullptr ? c.value : "<unset>");
        if (c.value != nullptr)
            setenv(variable, c.value, 1);
        else
            unsetenv(variable);
        owned_list list;
        search_list_append(&list, "kept/");
        search_list_from_env(variable, &list);
        unsetenv(variable);
        EXPECT_EQ(c.prefixes, prefixes_of(list));
    }
}

TEST(SearchListAdd, PrependGoesFirstAndCopiesAreKept)
{
    owned_list list;
    std::string text = "middle";
    search_list_append(&list, text.c_str());
    search_list_append(&list, "last/");
    search_list_prepend(&list, "front/");
    text = "MIDDLE";   // the list holds its own copy
    EXPECT_EQ((std::vector<std::string>{"front/", "middle", "last/"}), prefixes_of(list));
}

TEST(SearchListAdd, LongestPrefixNeverShrinks)
{
    owned_list list;
    EXPECT_EQ(0, list.longest_prefix);
    search_list_append(&list, "abcd");
    search_list_prepend(&list, "ab");
    search_list_append(&list, "");
    EXPECT_EQ(4, list.longest_prefix);
    search_list_prepend(&list, std::string(300, 'p').c_str());
    EXPECT_EQ(300, list.longest_prefix);
}

TEST(SearchListFind, TakesTheFirstPrefixThatHoldsAUsableFile)
{
    scoped_temp_dir dir;
    const std::string d = dir.path;
    for (const char *sub : {"empty", "has_dir", "has_plain", "has_tool", "also_tool", "links", "odd"})
        ASSERT_EQ(0, mkdir((dir / sub).c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir / "has_dir/tool").c_str(), 0755));
    write_file(dir / "has_plain/tool", "not executable", 0644);
    write_file(dir / "has_tool/tool", "#!/bin/sh\n", 0755);
    write_file(dir / "also_tool/tool", "#!/bin/sh\n", 0755);
    make_symlink(dir / "has_dir", dir / "links/dir_link");
    make_symlink(dir / "has_tool/tool", dir / "links/tool");
    ASSERT_EQ(0, mkfifo((dir / "odd/fifo").c_str(), 0644));
    write_file(dir / "libx.so", "", 0644);

    const struct {
        const char *what;
        std::vector<std::string> prefixes;
        std::string name;
        int mode;
        std::string expected;
    } cases[] = {
        {"relative name, empty list", {}, "tool", X_OK, "<null>"},
        {"nothing under any prefix", {d + "/empty/"}, "tool", X_OK, "<null>"},
        {"directory passed over", {d + "/has_dir/", d + "/has_tool/"}, "tool", X_OK, d + "/has_tool/tool"},
        {"no permission passed over", {d + "/has_plain/", d + "/has_tool/"}, "tool", X_OK, d + "/has_tool/tool"},
        {"readable is enough for R_OK", {d + "/has_plain/", d + "/has_tool/"}, "tool", R_OK, d + "/has_plain/tool"},
        {"front prefix wins", {d + "/also_tool/", d + "/has_tool/"}, "tool", X_OK, d + "/also_tool/tool"},
        {"link to a directory passed over", {d + "/links/", d + "/has_dir/"}, "dir_link", R_OK, "<null>"},
        {"link to a file kept under its own path", {d + "/links/"}, "tool", X_OK, d + "/links/tool"},
        {"a fifo is no directory", {d + "/odd/"}, "fifo", R_OK, d + "/odd/fifo"},
        {"joined without a separator", {d + "/lib"}, "x.so", R_OK, d + "/libx.so"},
        {"absolute name, empty list", {}, "/bin/sh", X_OK, "/bin/sh"},
        {"absolute name ignores the list", {d + "/has_tool/"}, d + "/has_plain/tool", R_OK, d + "/has_plain/tool"},
        {"missing absolute name tries no prefix", {d + "/has_tool/"}, d + "/none/tool", X_OK, "<null>"},
        {"absolute name without permission", {}, d + "/has_plain/tool", X_OK, "<null>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        owned_list list;
        for (const std::string &prefix : c.prefixes)
            search_list_append(&list, prefix.c_str());
        EXPECT_EQ(c.expected, find(list, c.name, c.mode));
    }
}

TEST(SearchListFind, PrependedPrefixIsTriedFirst)
{
    scoped_temp_dir dir;
    ASSERT_EQ(0, mkdir((dir / "a").c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir / "b").c_str(), 0755));
    write_file(dir / "a/f", "");
    write_file(dir / "b/f", "");
    owned_list list;
    search_list_append(&list, (dir.path + "/a/").c_str());
    EXPECT_EQ(dir / "a/f", find(list, "f", R_OK));
    search_list_prepend(&list, (dir.path + "/b/").c_str());
    EXPECT_EQ(dir / "b/f", find(list, "f", R_OK));
}

// The excluded file is passed over under any name that leads to it, a hard
// or a symbolic link; a different file of the same name is still taken.
TEST(SearchListFind, PassesOverTheExcludedFileUnderAnyName)
{
    scoped_temp_dir dir;
    for (const char *sub : {"hard", "soft", "other"})
        ASSERT_EQ(0, mkdir((dir / sub).c_str(), 0755));
    write_file(dir / "self", "");
    ASSERT_EQ(0, link((dir / "self").c_str(), (dir / "hard/f").c_str()));
    make_symlink(dir / "self", dir / "soft/f");
    write_file(dir / "other/f", "");
    struct stat self;
    ASSERT_EQ(0, stat((dir / "self").c_str(), &self));
    owned_list list;
    for (const char *sub : {"hard", "soft", "other"})
        search_list_append(&list, (dir / sub + "/").c_str());
    std::string trace = trace_of([&] {
        char *path = search_list_find_other_than(&list, "f", R_OK, &self);
        if (path != nullptr)
            stderr_printf("-> %s\n", path);
        free(path);
    });
    EXPECT_EQ("Looking for 'f'\n  - passed over, the program itself: " + dir / "hard/f" +
                  "\n  - passed over, the program itself: " + dir / "soft/f" + "\n  - found: " +
                  dir / "other/f" + "\n-> " + dir / "other/f" + "\n",
              trace);
}

TEST(SearchListFind, LongPrefixAndNameFitTheBuffer)
{
    scoped_temp_dir dir;
    // A 200-character prefix (the directory text with its '/') and a
    // 50-character name, found behind a short prefix that comes first.
    std::string prefix = dir.path + "/";
    prefix += std::string(200 - prefix.size() - 1, 'd') + "/";
    ASSERT_EQ(200u, prefix.size());
    ASSERT_EQ(0, mkdir(prefix.c_str(), 0755));
    std::string name(50, 'n');
    write_file(prefix + name, "");
    owned_list list;
    search_list_append(&list, "/");
    search_list_append(&list, prefix.c_str());
    EXPECT_EQ(prefix + name, find(list, name, R_OK));

    // A name far longer than any prefix.
    std::string long_name = "x/" + std::string(3000, 'y');
    EXPECT_EQ("<null>", find(list, long_name, R_OK));
}

TEST(SearchListFind, ReturnsANewStringForAnAbsoluteName)
{
    const char *name = "/bin/sh";
    owned_list list;
    char *found = search_list_find(&list, name, X_OK);
    ASSERT_NE(nullptr, found);
    EXPECT_NE(name, found);
    EXPECT_STREQ(name, found);
    free(found);
}

TEST(SearchListTrace, WritesItsMessagesOnlyWhenOn)
{
    scoped_temp_dir dir;
    write_file(dir / "f", "");
    const std::string prefix = dir.path + "/";
    const struct {
        const char *what;
        std::function<void()> body;
        std::string expected;
    } cases[] = {
        {"relative name, empty list",
         [] { owned_list list; search_list_find(&list, "ar", X_OK); },
         "Looking for 'ar'\n  - failed: no entries in prefix list\n"},
        {"relative name: every candidate with its verdict, up to the one found",
         [&] {
             owned_list list;
             search_list_append(&list, "/no/such/");
             search_list_append(&list, prefix.c_str());
             search_list_append(&list, "/also/not/");
             search_list_find(&list, "f", R_OK);
             search_list_find(&list, "g", R_OK);
         },
         "Looking for 'f'\n  - passed over: /no/such/f\n  - found: " + prefix + "f\n"
         "Looking for 'g'\n  - passed over: /no/such/g\n  - passed over: " + prefix + "g\n"
         "  - passed over: /also/not/g\n"},
        {"absolute name found",
         [] { owned_list list; search_list_find(&list, "/bin/sh", X_OK); },
         "Looking for '/bin/sh'\n  - found: absolute path\n"},
        {"absolute name missing, empty list",
         [] { owned_list list; search_list_find(&list, "/no/such", R_OK); },
         "Looking for '/no/such'\n  - failed to locate using absolute path\n"
         "  - failed: no entries in prefix list\n"},
        {"absolute name missing, list with entries",
         [] {
             owned_list list;
             search_list_append(&list, "/");
             search_list_find(&list, "/no/such", R_OK);
         },
         "Looking for '/no/such'\n  - failed to locate using absolute path\n"},
        {"splitting a text",
         [] { owned_list list; search_list_from_string("/a::b/", &list); },
         "Convert string '/a::b/' into prefixes, separator = ':'\n"
         "  - add prefix: /a/\n  - add prefix: ./\n  - add prefix: b/\n"},
        {"switched off again",
         [] {
             search_list_set_debug(false);
             owned_list list;
             search_list_from_string("a", &list);
             search_list_find(&list, "/bin/sh", X_OK);
         },
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.expected, trace_of(c.body));
    }
}
