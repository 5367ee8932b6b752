#include "support/temp_file.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/alloc.h"

// Set by the first pick_temp_dir and kept for the life of the process, so
// that every temporary file of a run lands in the same place.
static char *chosen_temp_dir = nullptr;

static bool is_usable_dir(const char *candidate)
{
    struct stat info;
    return candidate != nullptr && access(candidate, R_OK | W_OK | X_OK) == 0 &&
           stat(candidate, &info) == 0 && S_ISDIR(info.st_mode);
}

const char *pick_temp_dir()
{
    if (chosen_temp_dir != nullptr)
        return chosen_temp_dir;
    const char *const candidates[] = {
        getenv("TMPDIR"), getenv("TMP"), getenv("TEMP"), "/tmp/", "/var/tmp", "/tmp",
    };
    const char *chosen = ".";
    for (const char *candidate : candidates) {
        if (is_usable_dir(candidate)) {
            chosen = candidate;
            break;
        }
    }
    // The '/' goes on whatever the candidate ends with: "/tmp/" becomes "/tmp//".
    size_t length = strlen(chosen);
    chosen_temp_dir = static_cast<char *>(alloc_or_die(length + 2));
    memcpy(chosen_temp_dir, chosen, length);
    chosen_temp_dir[length] = '/';
    chosen_temp_dir[length + 1] = '\0';
    return chosen_temp_dir;
}

char *new_temp_file_prefixed(const char *prefix, const char *suffix)
{
    static const char random_part[] = "XXXXXX";
    const char *dir = pick_temp_dir();
    if (prefix == nullptr)
        prefix = "cc";
    if (suffix == nullptr)
        suffix = "";
    size_t dir_length = strlen(dir);
    size_t prefix_length = strlen(prefix);
    size_t suffix_length = strlen(suffix);
    char *name = static_cast<char *>(
        alloc_or_die(dir_length + prefix_length + sizeof random_part + suffix_length));
    char *write = name;
    memcpy(write, dir, dir_length);
    write += dir_length;
    memcpy(write, prefix, prefix_length);
    write += prefix_length;
    memcpy(write, random_part, sizeof random_part - 1);
    write += sizeof random_part - 1;
    memcpy(write, suffix, suffix_length + 1);

    int fd = mkstemps(name, static_cast<int>(suffix_length));
    if (fd == -1) {
        int error_number = errno;
        fprintf(stderr, "Cannot create temporary file in %s: %s\n", dir, strerror(error_number));
        abort();
    }
    if (close(fd) != 0)
        abort();
    return name;
}

char *new_temp_file(const char *suffix)
{
    return new_temp_file_prefixed(nullptr, suffix);
}
