#include "support/relocate.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/path_element.h"

// Candidate names along PATH up to this size are built on the stack; longer
// ones come from the heap.
static constexpr size_t stack_candidate_size = 4031;

static char *copy_span(const char *start, const char *end)
{
    size_t length = static_cast<size_t>(end - start);
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy != nullptr) {
        memcpy(copy, start, length);
        copy[length] = '\0';
    }
    return copy;
}

char **split_path_components(const char *path, int *count)
{
    if (path == nullptr || path[0] == '\0')
        return nullptr;
    size_t separator_runs = 0;
    for (const char *p = path; *p != '\0'; p++)
        if (*p == '/' && (p == path || p[-1] != '/'))
            separator_runs++;
    // The count goes out as an int; no real path comes near this.
    if (separator_runs >= INT_MAX)
        return nullptr;
    char **components = static_cast<char **>(malloc((separator_runs + 2) * sizeof *components));
    if (components == nullptr)
        return nullptr;
    int made = 0;
    const char *start = path;
    const char *p = path;
    while (*p != '\0') {
        if (*p != '/') {
            p++;
            continue;
        }
        while (*p == '/')
            p++;
        components[made] = copy_span(start, p);
        if (components[made] == nullptr) {
            free_path_components(components);
            return nullptr;
        }
        made++;
        start = p;
    }
    if (p > start) {
        components[made] = copy_span(start, p);
        if (components[made] == nullptr) {
            free_path_components(components);
            return nullptr;
        }
        made++;
    }
    components[made] = nullptr;
    *count = made;
    return components;
}

void free_path_components(char **components)
{
    if (components == nullptr)
        return;
    for (char **component = components; *component != nullptr; component++)
        free(*component);
    free(components);
}

const char *path_basename(const char *path)
{
    const char *base = path;
    for (; *path != '\0'; path++)
        if (*path == '/')
            base = path + 1;
    return base;
}

// The canonical path of `path` in `resolved`, or `path` itself when realpath
// fails. realpath may write up to PATH_MAX bytes into the buffer it is given,
// so the buffer must be that large, whatever PATH_MAX is on the platform.
static const char *real_path_or_given(const char *path, char (&resolved)[PATH_MAX])
{
    return realpath(path, resolved) != nullptr ? resolved : path;
}

char *resolve_real_path(const char *path)
{
    char resolved[PATH_MAX];
    return strdup(real_path_or_given(path, resolved));
}

static bool is_executable_file(const char *path)
{
    struct stat info;
    return access(path, X_OK) == 0 && stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

// Writes into `candidate` each PATH element joined to `name` until one is an
// executable regular file. `candidate` must hold strlen(name) + the larger of
// strlen(path_value) + 2 and 3 bytes.
static bool complete_along_path(const char *path_value, const char *name, char *candidate)
{
    size_t name_length = strlen(name);
    const char *element = path_value;
    for (;;) {
        const char *end = strchr(element, ':');
        if (end == nullptr)
            end = element + strlen(element);
        size_t length = path_element_prefix(element, static_cast<size_t>(end - element), candidate);
        memcpy(candidate + length, name, name_length + 1);
        if (is_executable_file(candidate))
            return true;
        if (*end == '\0')
            return false;
        element = end + 1;
    }
}

// The end of the component that starts at `p`: past its run of characters
// other than '/', then past the whole run of '/' that follows. A run of '/'
// at the start of a path is thereby a component of its own.
static const char *component_end(const char *p)
{
    while (*p != '\0' && *p != '/')
        p++;
    while (*p == '/')
        p++;
    return p;
}

// Where the last component of a non-empty `path` starts: the text before it
// is the program's directory, as a run of whole components.
static const char *last_component(const char *path)
{
    const char *last = path;
    for (const char *p = path; *p != '\0'; p = component_end(p))
        last = p;
    return last;
}

static int component_count(const char *path)
{
    int count = 0;
    for (const char *p = path; *p != '\0'; p = component_end(p))
        count++;
    return count;
}

// Relocation once the program's name is as complete as it gets. The
// component lists are walked in place, as spans of the texts themselves:
// components are equal exactly when their spans are, and lists of them
// exactly when the texts they make up are, so nothing is copied but the
// result.
static char *relocate_located(const char *program_name, const char *bin_dir,
                              const char *target_dir, bool resolve_links)
{
    if (program_name[0] == '\0' || bin_dir[0] == '\0' || target_dir[0] == '\0')
        return nullptr;
    char resolved[PATH_MAX];
    const char *full_name = resolve_links ? real_path_or_given(program_name, resolved) : program_name;
    size_t dir_length = static_cast<size_t>(last_component(full_name) - full_name);
    if (strlen(bin_dir) == dir_length && memcmp(full_name, bin_dir, dir_length) == 0)
        return nullptr;   // the program lies where it was configured to

    // The leading components that the two configured directories share.
    const char *bin = bin_dir;
    const char *target = target_dir;
    int shared = 0;
    while (*bin != '\0' && *target != '\0') {
        const char *bin_end = component_end(bin);
        const char *target_end = component_end(target);
        if (bin_end - bin != target_end - target ||
            memcmp(bin, target, static_cast<size_t>(bin_end - bin)) != 0)
            break;
        bin = bin_end;
        target = target_end;
        shared++;
    }
    // Nothing shared, not even the root: no way leads from one to the other.
    if (shared == 0)
        return nullptr;

    static const char up[] = "../";
    size_t climb = static_cast<size_t>(component_count(bin));
    size_t descent_length = strlen(target);
    char *result = static_cast<char *>(malloc(dir_length + climb * (sizeof up - 1) + descent_length + 1));
    if (result == nullptr)
        return nullptr;
    char *write = result;
    memcpy(write, full_name, dir_length);
    write += dir_length;
    for (size_t i = 0; i < climb; i++, write += sizeof up - 1)
        memcpy(write, up, sizeof up - 1);
    memcpy(write, target, descent_length + 1);
    return result;
}

// The program's name as far as PATH completes it: a name without '/' is
// looked up along $PATH and becomes the first executable file found there,
// written into `stack_candidate` or into a block left in *heap_candidate,
// which the caller frees; any other name, or one not found, stays as it is.
// Null when the block cannot be had.
static const char *complete_name(const char *program_name,
                                 char (&stack_candidate)[stack_candidate_size],
                                 char **heap_candidate)
{
    *heap_candidate = nullptr;
    const char *path_value = nullptr;
    if (path_basename(program_name) == program_name)
        path_value = getenv("PATH");
    if (path_value == nullptr)
        return program_name;

    // One buffer that fits the longest candidate: the longest element, with
    // an added '/', or "./" for an empty one, then the name.
    size_t name_length = strlen(program_name);
    size_t size = name_length + strlen(path_value) + 2;
    if (size < name_length + 3)
        size = name_length + 3;
    char *candidate = stack_candidate;
    if (size > sizeof stack_candidate) {
        *heap_candidate = static_cast<char *>(malloc(size));
        if (*heap_candidate == nullptr)
            return nullptr;
        candidate = *heap_candidate;
    }
    return complete_along_path(path_value, program_name, candidate) ? candidate : program_name;
}

char *relocate_prefix_common(const char *program_name, const char *bin_dir,
                             const char *target_dir, bool resolve_links)
{
    if (program_name == nullptr || bin_dir == nullptr || target_dir == nullptr)
        return nullptr;
    char stack_candidate[stack_candidate_size];
    char *heap_candidate;
    const char *located = complete_name(program_name, stack_candidate, &heap_candidate);
    if (located == nullptr)
        return nullptr;
    char *result = relocate_located(located, bin_dir, target_dir, resolve_links);
    free(heap_candidate);
    return result;
}

char *locate_program(const char *program_name)
{
    if (program_name == nullptr)
        return nullptr;
    char stack_candidate[stack_candidate_size];
    char *heap_candidate;
    const char *located = complete_name(program_name, stack_candidate, &heap_candidate);
    if (located == nullptr)
        return nullptr;
    // An empty name is relocated nowhere, so it is not resolved either.
    char resolved[PATH_MAX];
    char *location = strdup(located[0] != '\0' ? real_path_or_given(located, resolved) : located);
    free(heap_candidate);
    return location;
}

char *relocate_located_prefix(const char *location, const char *bin_dir, const char *target_dir)
{
    if (location == nullptr || bin_dir == nullptr || target_dir == nullptr)
        return nullptr;
    return relocate_located(location, bin_dir, target_dir, false);
}

char *relocate_prefix(const char *program_name, const char *bin_dir, const char *target_dir)
{
    return relocate_prefix_common(program_name, bin_dir, target_dir, true);
}

char *relocate_prefix_no_links(const char *program_name, const char *bin_dir,
                               const char *target_dir)
{
    return relocate_prefix_common(program_name, bin_dir, target_dir, false);
}
