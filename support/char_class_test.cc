#include "support/char_class.h"

#include <gtest/gtest.h>

#include <string>

// Every byte gets the entry of the one row of this table that covers it.
struct entry_range {
    int first;
    int last;
    uint16_t entry;
};

static constexpr entry_range class_entries[] = {
    {0, 0, 0x0802},       {1, 8, 0x0002},       {9, 9, 0x0843},       {10, 10, 0x0442},
    {11, 12, 0x0842},     {13, 13, 0x0442},     {14, 31, 0x0002},     {32, 32, 0x0851},
    {33, 47, 0x0030},     {48, 57, 0x0114},     {58, 64, 0x0030},     {65, 70, 0x0390},
    {71, 90, 0x0290},     {91, 94, 0x0030},     {95, 95, 0x0230},     {96, 96, 0x0030},
    {97, 102, 0x0318},    {103, 122, 0x0218},   {123, 126, 0x0030},   {127, 127, 0x0002},
    {128, 255, 0x0000},
};

static uint16_t expected_class(int byte)
{
    for (const entry_range &range : class_entries)
        if (byte >= range.first && byte <= range.last)
            return range.entry;
    ADD_FAILURE() << "no row covers " << byte;
    return 0xffff;
}

TEST(CharTables, EveryByteAsTheClassRulesSay)
{
    for (int byte = 0; byte < 256; byte++) {
        SCOPED_TRACE("byte " + std::to_string(byte));
        EXPECT_EQ(char_class_table[static_cast<size_t>(byte)], expected_class(byte));
        int upper = byte >= 'a' && byte <= 'z' ? byte - 32 : byte;
        int lower = byte >= 'A' && byte <= 'Z' ? byte + 32 : byte;
        EXPECT_EQ(char_upper_table[static_cast<size_t>(byte)], upper);
        EXPECT_EQ(char_lower_table[static_cast<size_t>(byte)], lower);
    }
}

TEST(CharTables, HelpersTakeHighBytesInAPlainChar)
{
    const char high = static_cast<char>(0xe9);   // negative where char is signed
    EXPECT_FALSE(char_has_class(high, 0xffff));
    EXPECT_EQ(char_to_upper(high), high);
    EXPECT_EQ(char_to_lower(high), high);
    EXPECT_EQ(char_to_upper('q'), 'Q');
    EXPECT_EQ(char_to_lower('Q'), 'q');
    EXPECT_TRUE(char_has_class('_', CHAR_PUNCT));
    EXPECT_TRUE(char_has_class('_', CHAR_IDENT_START));
    EXPECT_FALSE(char_has_class('7', CHAR_IDENT_START));
}

TEST(DosPathBasename, LastComponentAfterAnyDriveAndSeparator)
{
    const struct {
        const char *path;
        size_t basename_offset;
    } cases[] = {
        {"C:\\dir\\file.o", 7}, {"c:file", 2},   {"dir/sub\\name", 8}, {"C:", 2},
        {"dir/", 4},            {"1:x", 0},      {"", 0},              {"z:/", 3},
        {"file", 0},            {"\\\\srv\\s", 6}, {"::a", 0},         {"ab:c", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(dos_path_basename(c.path), c.path + c.basename_offset);
    }
}
