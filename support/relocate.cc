#include "support/relocate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

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

char *resolve_real_path(const char *path)
{
    // realpath may write up to PATH_MAX bytes into the buffer it is given,
    // so the buffer must be that large, whatever PATH_MAX is on the platform.
    char resolved[PATH_MAX];
    return strdup(realpath(path, resolved) != nullptr ? resolved : path);
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
        size_t length = static_cast<size_t>(end - element);
        char *write = candidate;
        if (length == 0) {
            memcpy(write, "./", 2);
            write += 2;
        } else {
            memcpy(write, element, length);
            write += length;
            if (element[length - 1] != '/')
                *write++ = '/';
        }
        memcpy(write, name, name_length + 1);
        if (is_executable_file(candidate))
            return true;
        if (*end == '\0')
            return false;
        element = end + 1;
    }
}

static bool same_components(char *const *a, int a_count, char *const *b, int b_count)
{
    if (a_count != b_count)
        return false;
    for (int i = 0; i < a_count; i++)
        if (strcmp(a[i], b[i]) != 0)
            return false;
    return true;
}

static int shared_leading_components(char *const *a, int a_count, char *const *b, int b_count)
{
    int shared = 0;
    while (shared < a_count && shared < b_count && strcmp(a[shared], b[shared]) == 0)
        shared++;
    return shared;
}

// dir_components, then "../" `climb` times, then every text of the
// null-terminated `descent`; null when it cannot be allocated.
static char *join_relocated(char *const *dir_components, int dir_count, int climb,
                            char *const *descent)
{
    static const char up[] = "../";
    size_t length = 1;
    for (int i = 0; i < dir_count; i++)
        length += strlen(dir_components[i]);
    length += static_cast<size_t>(climb) * (sizeof up - 1);
    for (char *const *component = descent; *component != nullptr; component++)
        length += strlen(*component);
    char *result = static_cast<char *>(malloc(length));
    if (result == nullptr)
        return nullptr;
    char *write = result;
    for (int i = 0; i < dir_count; i++)
        write = stpcpy(write, dir_components[i]);
    for (int i = 0; i < climb; i++)
        write = stpcpy(write, up);
    for (char *const *component = descent; *component != nullptr; component++)
        write = stpcpy(write, *component);
    *write = '\0';
    return result;
}

// Relocation once the program's name is as complete as it gets.
static char *relocate_located(const char *program_name, const char *bin_dir,
                              const char *target_dir, bool resolve_links)
{
    char *full_name = resolve_links ? resolve_real_path(program_name) : strdup(program_name);
    if (full_name == nullptr)
        return nullptr;
    int program_count = 0;
    char **program = split_path_components(full_name, &program_count);
    free(full_name);
    if (program == nullptr)
        return nullptr;
    // The last component is the program's own file; the rest is its directory.
    int dir_count = program_count - 1;

    char *result = nullptr;
    int bin_count = 0;
    int target_count = 0;
    char **bin = split_path_components(bin_dir, &bin_count);
    char **target = nullptr;
    if (bin != nullptr && !same_components(program, dir_count, bin, bin_count))
        target = split_path_components(target_dir, &target_count);
    if (target != nullptr) {
        int shared = shared_leading_components(bin, bin_count, target, target_count);
        // Nothing shared, not even the root: no way leads from one to the other.
        if (shared > 0)
            result = join_relocated(program, dir_count, bin_count - shared, target + shared);
    }
    free_path_components(program);
    free_path_components(bin);
    free_path_components(target);
    return result;
}

char *relocate_prefix_common(const char *program_name, const char *bin_dir,
                             const char *target_dir, bool resolve_links)
{
    if (program_name == nullptr || bin_dir == nullptr || target_dir == nullptr)
        return nullptr;
    const char *path_value = nullptr;
    if (path_basename(program_name) == program_name)
        path_value = getenv("PATH");
    if (path_value == nullptr)
        return relocate_located(program_name, bin_dir, target_dir, resolve_links);

    // One buffer that fits the longest candidate: the longest element, with
    // an added '/', or "./" for an empty one, then the name.
    size_t name_length = strlen(program_name);
    size_t size = name_length + strlen(path_value) + 2;
    if (size < name_length + 3)
        size = name_length + 3;
    char stack_candidate[stack_candidate_size];
    char *heap_candidate = nullptr;
    char *candidate = stack_candidate;
    if (size > sizeof stack_candidate) {
        heap_candidate = static_cast<char *>(malloc(size));
        if (heap_candidate == nullptr)
            return nullptr;
        candidate = heap_candidate;
    }
    const char *located = program_name;
    if (complete_along_path(path_value, program_name, candidate))
        located = candidate;
    char *result = relocate_located(located, bin_dir, target_dir, resolve_links);
    free(heap_candidate);
    return result;
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
