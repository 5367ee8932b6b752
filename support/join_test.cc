#include "support/join.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "support/alloc.h"

TEST(JoinStrings, ListEndsAtTheFirstNull)
{
    const struct {
        char *joined;
        const char *expected;
    } cases[] = {
        {join_strings(nullptr), ""},
        {join_strings("a", "", "bc", nullptr), "abc"},
        {join_strings("ab", nullptr, "cd", nullptr), "ab"},
        {join_strings("/usr/", "lib", "/", nullptr), "/usr/lib/"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_STREQ(c.joined, c.expected);
        free(c.joined);
    }
    EXPECT_EQ(join_strings_length("ab", "cde", nullptr), 5u);
    EXPECT_EQ(join_strings_length(nullptr), 0u);
}

TEST(JoinStrings, IntoACallersBuffer)
{
    char buffer[8];
    memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(join_strings_into(buffer, nullptr), buffer);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(join_strings_into(buffer, "x", "y", nullptr), buffer);
    EXPECT_STREQ(buffer, "xy");
    char shared[16];
    join_shared_buffer = shared;
    EXPECT_EQ(join_strings_shared("ab", "c", nullptr), shared);
    EXPECT_STREQ(shared, "abc");
}

TEST(RejoinStrings, ExtendsAnAllocatedStringInPlaceOfTheOld)
{
    char *dir = strdup_or_die("dir");
    char *extended = rejoin_strings(dir, dir, "/", nullptr);
    EXPECT_STREQ(extended, "dir/");
    free(extended);
    char *fresh = rejoin_strings(nullptr, "a", "b", nullptr);
    EXPECT_STREQ(fresh, "ab");
    free(fresh);
}
