// driver/driver_args.h: the wrappers' command-line handling, kept apart from
// the build's values so that tests and fuzzers reach it without a child.
//
// Every function takes the vector as main receives it and trusts neither the
// count nor the strings: it looks at the elements before the first null, and
// never at more than `argc` of them. The strings themselves are never written;
// the vector's pointers are.
#pragma once

// What driver_take_prefix_option found.
enum driver_prefix_option {
    prefix_option_absent,          // no "-B" argument: nothing changed
    prefix_option_taken,           // taken out of the vector; *prefix is set
    prefix_option_missing_value,   // a lone "-B" was the last argument; nothing changed
};

// Arguments before the first null, at most `argc`; 0 for a null vector or a
// count below 1.
int driver_argument_count(int argc, char *const *argv);

// Takes the first argument after the program's name that starts with "-B"
// out of `argv`: "-Bdir" alone, or "-B" and the argument after it, whatever
// that holds. Later pointers move down, the freed places at the end become
// null and *argc drops to the new count. Later "-B" arguments stay.
driver_prefix_option driver_take_prefix_option(int *argc, char **argv, const char **prefix);

// `prefix` as a directory to put in front of file names: itself when it ends
// in '/', "./" when it is empty, else a new string with '/' appended.
const char *driver_prefix_directory(const char *prefix);

// ar's rule: a first argument that does not start with '-' is replaced by a
// new string with '-' in front ("rcs" gives "-rcs", "" gives "-"). One that
// starts with '@' names a response file and stays as it is.
void driver_apply_first_argument_rule(int argc, char **argv);

// The tool's vector: `tool_path`, "--plugin", `plugin_path`, then arguments
// 1 onwards, then nulls: count + 4 pointers from calloc_or_die, never freed.
// The entries point at the given strings; nothing is copied.
const char **driver_child_argv(const char *tool_path, const char *plugin_path, int argc,
                               char *const *argv);

// "`name` `version`: " and the null-terminated `argv` as one line a POSIX
// shell runs again with the same arguments, ending in a newline: an argument
// of anything but letters, digits and _@%+=:,./- stands in single quotes, a
// quote in it as '\'' (so an argument holding a newline spans lines), and so
// does a first word holding '='. A new text from alloc_or_die, never freed,
// so that the trace can hand it to the system in one write.
char *driver_command_line(const char *name, const char *version, const char *const *argv);
