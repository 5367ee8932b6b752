#include "driver/driver_args.h"

#include <stddef.h>
#include <string.h>

#include "support/alloc.h"
#include "support/join.h"

int driver_argument_count(int argc, char *const *argv)
{
    if (argv == nullptr)
        return 0;
    int count = 0;
    while (count < argc && argv[count] != nullptr)
        count++;
    return count;
}

// Drops `taken` elements at `index`, keeping the rest in order; the places
// freed at the end become null so the vector stays terminated.
static void take_out(char **argv, int count, int index, int taken)
{
    for (int i = index; i + taken < count; i++)
        argv[i] = argv[i + taken];
    for (int i = count - taken; i < count; i++)
        argv[i] = nullptr;
}

driver_prefix_option driver_take_prefix_option(int *argc, char **argv, const char **prefix)
{
    int count = driver_argument_count(*argc, argv);
    // Element 0 is the program's name, whatever a caller of execve put there.
    // Taking it as the option would shift the user's first argument into its
    // place, where the tool never sees it.
    int index = 1;
    while (index < count && !(argv[index][0] == '-' && argv[index][1] == 'B'))
        index++;
    if (index >= count)
        return prefix_option_absent;
    if (argv[index][2] != '\0') {
        *prefix = argv[index] + 2;
        take_out(argv, count, index, 1);
        *argc = count - 1;
        return prefix_option_taken;
    }
    if (index + 1 >= count)
        return prefix_option_missing_value;
    *prefix = argv[index + 1];
    take_out(argv, count, index, 2);
    *argc = count - 2;
    return prefix_option_taken;
}

const char *driver_prefix_directory(const char *prefix)
{
    // The found paths go to an exec that searches PATH for a name without
    // '/', and to the tool, which loads a plug-in named without '/' from its
    // library path: so every prefix must end in '/', even a one-character one,
    // and the empty one stands for the working directory as in PATH.
    if (prefix[0] == '\0')
        return "./";
    if (prefix[strlen(prefix) - 1] == '/')
        return prefix;
    return join_strings(prefix, "/", nullptr);
}

void driver_apply_first_argument_rule(int argc, char **argv)
{
    // ar reads "@file" as a file of further arguments, but "-@file" as an
    // option it does not know.
    if (driver_argument_count(argc, argv) >= 2 && argv[1][0] != '-' && argv[1][0] != '@')
        argv[1] = join_strings("-", argv[1], nullptr);
}

const char **driver_child_argv(const char *tool_path, const char *plugin_path, int argc,
                               char *const *argv)
{
    int count = driver_argument_count(argc, argv);
    const char **child_argv =
        static_cast<const char **>(calloc_or_die(size_t(count) + 4, sizeof(const char *)));
    child_argv[0] = tool_path;
    child_argv[1] = "--plugin";
    child_argv[2] = plugin_path;
    for (int i = 1; i < count; i++)
        child_argv[i + 2] = argv[i];
    return child_argv;
}

// A command's first word with '=' in it would be read as an assignment.
static bool needs_no_quotes(const char *text, bool first_word)
{
    if (text[0] == '\0')
        return false;
    for (const char *c = text; *c != '\0'; c++) {
        bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                     (*c >= '0' && *c <= '9') || strchr("_@%+:,./-", *c) != nullptr ||
                     (*c == '=' && !first_word);
        if (!plain)
            return false;
    }
    return true;
}

// The length of `text` as the line shows it.
static size_t quoted_length(const char *text, bool first_word)
{
    size_t length = strlen(text);
    if (needs_no_quotes(text, first_word))
        return length;
    for (const char *c = text; *c != '\0'; c++)
        if (*c == '\'')
            length += 3;
    return length + 2;
}

// Writes `text` as the line shows it at `out`; returns the end of what it wrote.
static char *put_quoted(char *out, const char *text, bool first_word)
{
    if (needs_no_quotes(text, first_word)) {
        size_t length = strlen(text);
        memcpy(out, text, length);
        return out + length;
    }
    static const char escaped_quote[] = "'\\''";
    *out++ = '\'';
    for (const char *c = text; *c != '\0'; c++) {
        if (*c == '\'') {
            memcpy(out, escaped_quote, sizeof escaped_quote - 1);
            out += sizeof escaped_quote - 1;
        } else {
            *out++ = *c;
        }
    }
    *out++ = '\'';
    return out;
}

char *driver_command_line(const char *name, const char *version, const char *const *argv)
{
    const char *const head[] = {name, " ", version, ":", nullptr};
    size_t length = join_strings_length_list(head) + 1;   // and the newline
    for (const char *const *arg = argv; *arg != nullptr; arg++)
        length += 1 + quoted_length(*arg, arg == argv);
    char *line = static_cast<char *>(alloc_or_die(length + 1));
    char *out = join_strings_into_list(line, head);
    out += strlen(out);
    for (const char *const *arg = argv; *arg != nullptr; arg++) {
        *out++ = ' ';
        out = put_quoted(out, *arg, arg == argv);
    }
    *out++ = '\n';
    *out = '\0';
    return line;
}
