// support/char_class.h: character classes and case conversion that hold in
// every locale. The 7-bit ASCII characters are classified and converted;
// bytes 128 to 255 have no class and convert to themselves.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint16_t CHAR_BLANK = 0x0001;               // TAB, space
constexpr uint16_t CHAR_CONTROL = 0x0002;             // 0 to 31, DEL
constexpr uint16_t CHAR_DIGIT = 0x0004;               // '0' to '9'
constexpr uint16_t CHAR_LOWER = 0x0008;               // 'a' to 'z'
constexpr uint16_t CHAR_PRINT = 0x0010;               // 32 to 126, space included
constexpr uint16_t CHAR_PUNCT = 0x0020;               // printing, not letter, digit or space
constexpr uint16_t CHAR_SPACE = 0x0040;               // TAB, LF, VT, FF, CR, space
constexpr uint16_t CHAR_UPPER = 0x0080;               // 'A' to 'Z'
constexpr uint16_t CHAR_HEX_DIGIT = 0x0100;           // '0' to '9', 'A' to 'F', 'a' to 'f'
constexpr uint16_t CHAR_IDENT_START = 0x0200;         // letters and '_'
constexpr uint16_t CHAR_VERTICAL_SPACE = 0x0400;      // LF, CR
constexpr uint16_t CHAR_NONVERTICAL_SPACE = 0x0800;   // NUL, TAB, VT, FF, space
constexpr uint16_t CHAR_LETTER = CHAR_UPPER | CHAR_LOWER;

// One entry for each byte value; a record rather than a bare array, so that
// a constexpr function can work a whole table out and return it.
template <typename Entry>
struct char_table {
    Entry entries[256];
    constexpr Entry operator[](size_t byte) const { return entries[byte]; }
};

// Indexed by the byte as an unsigned char: a plain char holding 128..255 may
// be negative and would index in front of the table. The helpers below do the
// conversion.
extern const char_table<uint16_t> char_class_table;        // CHAR_* bits
extern const char_table<unsigned char> char_upper_table;   // 'a'..'z' to 'A'..'Z'
extern const char_table<unsigned char> char_lower_table;   // 'A'..'Z' to 'a'..'z'

// Whether `c` carries at least one of the CHAR_* bits in `mask`.
inline bool char_has_class(char c, uint16_t mask)
{
    return (char_class_table[static_cast<unsigned char>(c)] & mask) != 0;
}

inline char char_to_upper(char c)
{
    return static_cast<char>(char_upper_table[static_cast<unsigned char>(c)]);
}

inline char char_to_lower(char c)
{
    return static_cast<char>(char_lower_table[static_cast<unsigned char>(c)]);
}

// The last component of a path whose separators are '/' or '\\' and which may
// start with a drive letter and ':'. Points into `path`; "" at its end when the
// path ends in a separator.
const char *dos_path_basename(const char *path);
