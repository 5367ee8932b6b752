// search/search_list.h: ordered directory prefixes along which a file is looked up.
#pragma once

#include <stdint.h>

struct search_entry {
    char *prefix;          // owned copy; joined to a name by plain concatenation
    search_entry *next;
};

// Starts zeroed (`search_list list = {};`); entries are only ever added and
// live until the process ends.
struct search_list {
    search_entry *first;
    int32_t longest_prefix;   // length of the longest prefix ever added
};

// Turns the trace on standard error on or off (off at start): each lookup,
// each candidate tried with its verdict, each prefix split from a text.
void search_list_set_debug(bool on);
// First prefix + `name` that exists, is not a directory and passes
// access(`mode`); an absolute name is tested by itself. A new string the
// caller owns, or null when there is none.
char *search_list_find(const search_list *list, const char *name, int mode);
// The same, passing over a candidate under a prefix that is the very file
// `excluded` describes (same device and inode), whatever its name, as the
// trace says; null excludes nothing. A program that looks for another by a
// name it may itself be installed under (a link named "ar" to a wrapper of
// ar) so never finds itself.
struct stat;
char *search_list_find_other_than(const search_list *list, const char *name, int mode,
                                  const struct stat *excluded);
// Adds a copy of `prefix`, unchanged, before all entries or after the last.
void search_list_add(search_list *list, const char *prefix, bool at_front);
void search_list_append(search_list *list, const char *prefix);
void search_list_prepend(search_list *list, const char *prefix);
// Appends each ':'-separated element of `text`, ending in '/'; "" becomes "./".
void search_list_from_string(const char *text, search_list *list);
// search_list_from_string on the variable's value; nothing when it is unset.
void search_list_from_env(const char *variable, search_list *list);
