// support/join.h: one new string from a list of texts that ends at its first
// null pointer.
//
// Every join takes its texts as arguments ending in nullptr. The terminator is
// checked when the call is compiled: a list that does not end in nullptr, or
// that holds anything but texts, does not compile. A null in the middle still
// ends the list there, as it would in any null-terminated list.
#pragma once

#include <stddef.h>

#include "support/type_tests.h"

// The buffer join_strings_shared writes into; set it before calling.
extern char *join_shared_buffer;

// The list forms behind the calls below; `texts` ends at its first null.
size_t join_strings_length_list(const char *const *texts);
char *join_strings_into_list(char *destination, const char *const *texts);
char *join_strings_list(const char *const *texts);
char *rejoin_strings_list(char *old_block, const char *const *texts);

namespace join_detail {
// The types come from parameters taken by value, so they are already decayed:
// no references, no top-level const, arrays as pointers.
template <typename... Texts>
constexpr bool is_terminated_list()
{
    constexpr size_t count = sizeof...(Texts);
    constexpr bool is_null[] = {types_are_same<Texts, null_pointer_type>...};
    constexpr bool is_text[] = {type_converts_to<Texts, const char *>...};
    for (size_t i = 0; i < count; i++)
        if (!is_text[i])
            return false;
    return is_null[count - 1];
}
}  // namespace join_detail

#define JOIN_CHECK_LIST(Texts)                                                     \
    static_assert(sizeof...(Texts) > 0 && join_detail::is_terminated_list<Texts...>(), \
                  "a join takes texts and ends its list with nullptr")

// Sum of the texts' lengths, the terminator not counted.
template <typename... Texts>
size_t join_strings_length(Texts... texts)
{
    JOIN_CHECK_LIST(Texts);
    const char *const list[] = {texts...};
    return join_strings_length_list(list);
}

// Writes the joined text into `destination` (join_strings_length + 1 bytes at
// least) and returns `destination`.
template <typename... Texts>
char *join_strings_into(char *destination, Texts... texts)
{
    JOIN_CHECK_LIST(Texts);
    const char *const list[] = {texts...};
    return join_strings_into_list(destination, list);
}

// Writes the joined text into join_shared_buffer and returns it.
template <typename... Texts>
char *join_strings_shared(Texts... texts)
{
    JOIN_CHECK_LIST(Texts);
    const char *const list[] = {texts...};
    return join_strings_into_list(join_shared_buffer, list);
}

// A new block of exactly the joined length + 1, owned by the caller; never null.
template <typename... Texts>
char *join_strings(Texts... texts)
{
    JOIN_CHECK_LIST(Texts);
    const char *const list[] = {texts...};
    return join_strings_list(list);
}

// join_strings, then frees `old_block` (when not null): the old block may be
// one of the texts, so an allocated string is extended by passing it twice.
template <typename... Texts>
char *rejoin_strings(char *old_block, Texts... texts)
{
    JOIN_CHECK_LIST(Texts);
    const char *const list[] = {texts...};
    return rejoin_strings_list(old_block, list);
}

#undef JOIN_CHECK_LIST
