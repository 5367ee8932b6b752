#include "driver/driver_args.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

// A vector as main receives it: pointers into `texts`, then a null. The
// texts are kept so a test can see that they were not written.
struct arg_vector {
    explicit arg_vector(std::vector<std::string> given) : texts(std::move(given))
    {
        for (std::string &text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return int(texts.size()); }
    char **argv() { return pointers.data(); }
    // Every place of the vector, its terminator included; "<null>" for null.
    std::vector<std::string> places() const
    {
        std::vector<std::string> result;
        for (const char *pointer : pointers)
            result.push_back(pointer != nullptr ? pointer : "<null>");
        return result;
    }
    std::vector<std::string> texts;
    std::vector<char *> pointers;
};

std::string join_for_trace(const std::vector<std::string> &texts)
{
    std::string line;
    for (const std::string &text : texts)
        line += "[" + text + "]";
    return line;
}

}  // namespace

TEST(DriverTakePrefixOption, TakesTheFirstBOptionAfterTheProgramName)
{
    const struct {
        std::vector<std::string> argv;
        driver_prefix_option result;
        const char *prefix;                 // when taken
        std::vector<std::string> places;    // the whole vector afterwards
    } cases[] = {
        {{"ar", "rcs", "x.a"}, prefix_option_absent, nullptr, {"ar", "rcs", "x.a", "<null>"}},
        {{"ar", "-Bdir", "rcs"}, prefix_option_taken, "dir", {"ar", "rcs", "<null>", "<null>"}},
        {{"ar", "-B", "dir", "rcs"}, prefix_option_taken, "dir", {"ar", "rcs", "<null>", "<null>", "<null>"}},
        {{"ar", "rcs", "-Bdir", "x.a"}, prefix_option_taken, "dir", {"ar", "rcs", "x.a", "<null>", "<null>"}},
        {{"ar", "rcs", "x.a", "-B", "d"}, prefix_option_taken, "d", {"ar", "rcs", "x.a", "<null>", "<null>", "<null>"}},
        {{"ar", "-Bone", "rcs", "-Btwo", "x.a"}, prefix_option_taken, "one",
         {"ar", "rcs", "-Btwo", "x.a", "<null>", "<null>"}},
        {{"ar", "-B", "-x", "-B"}, prefix_option_taken, "-x", {"ar", "-B", "<null>", "<null>", "<null>"}},
        {{"ar", "-B", ""}, prefix_option_taken, "", {"ar", "<null>", "<null>", "<null>"}},
        {{"ar", "", "-B\xff\xfe", "\x80"}, prefix_option_taken, "\xff\xfe", {"ar", "", "\x80", "<null>", "<null>"}},
        {{"ar", "-B"}, prefix_option_missing_value, nullptr, {"ar", "-B", "<null>"}},
        {{"ar", "rcs", "-B"}, prefix_option_missing_value, nullptr, {"ar", "rcs", "-B", "<null>"}},
        {{"ar", "-b", "-", "B", "--B", ""}, prefix_option_absent, nullptr, {"ar", "-b", "-", "B", "--B", "", "<null>"}},
        // The program's own name is never an option, so no argument is lost.
        {{"-Bself", "rcs"}, prefix_option_absent, nullptr, {"-Bself", "rcs", "<null>"}},
        {{"-B"}, prefix_option_absent, nullptr, {"-B", "<null>"}},
        {{"-B", "-Bx", "rcs"}, prefix_option_taken, "x", {"-B", "rcs", "<null>", "<null>"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(join_for_trace(c.argv));
        arg_vector args(c.argv);
        int argc = args.argc();
        const char *prefix = "<unset>";
        EXPECT_EQ(c.result, driver_take_prefix_option(&argc, args.argv(), &prefix));
        EXPECT_EQ(c.places, args.places());
        EXPECT_EQ(c.argv, args.texts);
        if (c.result == prefix_option_taken) {
            EXPECT_STREQ(c.prefix, prefix);
            EXPECT_EQ(nullptr, args.argv()[argc]);
            EXPECT_NE(nullptr, args.argv()[argc - 1]);
        } else {
            EXPECT_STREQ("<unset>", prefix);
            EXPECT_EQ(args.argc(), argc);
        }
    }
}

TEST(DriverTakePrefixOption, LooksNoFurtherThanCountOrFirstNull)
{
    // An empty vector: only its terminator may be read.
    char *empty[] = {nullptr};
    int argc = 0;
    const char *prefix = nullptr;
    EXPECT_EQ(prefix_option_absent, driver_take_prefix_option(&argc, empty, &prefix));
    EXPECT_EQ(0, argc);

    // A count that claims too much stops at the null; one that claims too
    // little hides the elements past it.
    arg_vector long_count({"ar", "-B"});
    argc = 7;
    EXPECT_EQ(prefix_option_missing_value, driver_take_prefix_option(&argc, long_count.argv(), &prefix));
    arg_vector short_count({"ar", "rcs", "-Bdir"});
    argc = 2;
    EXPECT_EQ(prefix_option_absent, driver_take_prefix_option(&argc, short_count.argv(), &prefix));
    EXPECT_EQ(2, argc);

    argc = -1;
    EXPECT_EQ(prefix_option_absent, driver_take_prefix_option(&argc, long_count.argv(), &prefix));
    EXPECT_EQ(0, driver_argument_count(3, nullptr));
}

TEST(DriverPrefixDirectory, EveryPrefixEndsInASeparator)
{
    const struct {
        const char *prefix;
        const char *directory;
    } cases[] = {
        {"/", "/"}, {"ab", "ab/"}, {"ab/", "ab/"}, {"/opt//", "/opt//"},
        {"x", "x/"}, {".", "./"}, {"", "./"}, {"-x", "-x/"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.prefix);
        const char *directory = driver_prefix_directory(c.prefix);
        EXPECT_STREQ(c.directory, directory);
        if (directory != c.prefix && strcmp(c.prefix, "") != 0)
            free(const_cast<char *>(directory));
    }
}

TEST(DriverFirstArgumentRule, GivesTheFirstArgumentADash)
{
    const struct {
        std::vector<std::string> argv;
        std::vector<std::string> places;
    } cases[] = {
        {{"ar", "rcs", "lib.a", "x.o"}, {"ar", "-rcs", "lib.a", "x.o", "<null>"}},
        {{"ar", "-t", "lib.a"}, {"ar", "-t", "lib.a", "<null>"}},
        {{"ar", "", "x"}, {"ar", "-", "x", "<null>"}},
        {{"ar", "\xff"}, {"ar", "-\xff", "<null>"}},
        {{"ar", "--", "t"}, {"ar", "--", "t", "<null>"}},
        {{"ar"}, {"ar", "<null>"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(join_for_trace(c.argv));
        arg_vector args(c.argv);
        driver_apply_first_argument_rule(args.argc(), args.argv());
        EXPECT_EQ(c.places, args.places());
        EXPECT_EQ(c.argv, args.texts);
        if (args.argc() > 1 && args.argv()[1] != args.texts[1].data())
            free(args.argv()[1]);
    }
    char *empty[] = {nullptr};
    driver_apply_first_argument_rule(0, empty);
    EXPECT_EQ(nullptr, empty[0]);
}

TEST(DriverChildArgv, PutsThePluginPairBeforeTheArguments)
{
    const char *tool = "/t/ar";
    const char *plugin = "/p/libmeld_plugin.so";
    for (const std::vector<std::string> &given : std::vector<std::vector<std::string>>{
             {}, {"ar"}, {"ar", "-rcs"}, {"ar", "-rcs", "", "x.o"}}) {
        SCOPED_TRACE(join_for_trace(given));
        arg_vector args(given);
        const char **child = driver_child_argv(tool, plugin, args.argc(), args.argv());
        // count + 4 places: the three in front, the arguments after the
        // program's name, and a null; at least one more null after it.
        size_t arguments = given.empty() ? 0 : given.size() - 1;
        EXPECT_EQ(tool, child[0]);
        EXPECT_STREQ("--plugin", child[1]);
        EXPECT_EQ(plugin, child[2]);
        for (size_t i = 0; i < arguments; i++)
            EXPECT_EQ(args.argv()[i + 1], child[i + 3]) << "argument " << i + 1;
        EXPECT_EQ(nullptr, child[arguments + 3]);
        if (!given.empty()) {
            EXPECT_EQ(nullptr, child[arguments + 4]);
        }
        free(child);
    }
}

// Show that the trace's command line is one a shell runs again with the very
// same arguments: the line for `printf '%s\n' ARGS` is run by /bin/sh.
TEST(DriverWriteCommandLine, AShellRunsTheLineWithTheSameArguments)
{
    const std::vector<std::vector<std::string>> cases = {
        {"-t", "lib.a", "--format=bsd", "@cmds", "a,b:c+d%e"},
        {"", "it's", "two words", "$HOME", "`id`", "~", "*", "a\\b", "\"q\"", "x;y|z&", "two\nlines", "'"},
        {"\xff\xfe", "#hash", "a=b"},
    };
    for (const std::vector<std::string> &arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        std::vector<const char *> argv = {"printf", "%s\\n"};
        for (const std::string &argument : arguments)
            argv.push_back(argument.c_str());
        argv.push_back(nullptr);
        char *text = driver_command_line("mavo-ar", "1.0.0", argv.data());
        std::string line(text);
        free(text);
        const std::string head = "mavo-ar 1.0.0: ";
        ASSERT_EQ(head, line.substr(0, head.size()));
        ASSERT_EQ('\n', line.back());
        run_result r = run_program({"/bin/sh", "-c", line.substr(head.size())});
        std::string expected;
        for (const std::string &argument : arguments)
            expected += argument + "\n";
        EXPECT_EQ(expected, r.out);
        EXPECT_EQ(0, r.exit_code());
    }
}

// Show that a first word holding '=' is quoted, so the shell runs it rather
// than taking it for an assignment; later words need no quotes for it.
TEST(DriverWriteCommandLine, QuotesAFirstWordWithAnEqualsSign)
{
    const char *argv[] = {"dir=x/ar", "--plugin", "p=q/libmeld_plugin.so", nullptr};
    char *text = driver_command_line("mavo-ar", "1.0.0", argv);
    EXPECT_EQ("mavo-ar 1.0.0: 'dir=x/ar' --plugin p=q/libmeld_plugin.so\n", std::string(text));
    free(text);
}
