#include "search/search_list.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/alloc.h"
#include "support/path_element.h"
#include "support/stderr_write.h"

static bool search_list_debug = false;

void search_list_set_debug(bool on)
{
    search_list_debug = on;
}

// What a candidate under a prefix is found to be.
enum class candidate_verdict { taken, passed_over, excluded };

// Taken when it exists, is no directory and grants `mode`, unless it is the
// file `excluded` describes.
static candidate_verdict judge_candidate(const char *path, int mode, const struct stat *excluded)
{
    struct stat info;
    if (stat(path, &info) != 0 || S_ISDIR(info.st_mode) || access(path, mode) != 0)
        return candidate_verdict::passed_over;
    if (excluded != nullptr && info.st_dev == excluded->st_dev && info.st_ino == excluded->st_ino)
        return candidate_verdict::excluded;
    return candidate_verdict::taken;
}

static const char *verdict_text(candidate_verdict verdict)
{
    switch (verdict) {
    case candidate_verdict::taken:
        return "found";
    case candidate_verdict::excluded:
        return "passed over, the program itself";
    case candidate_verdict::passed_over:
        break;
    }
    return "passed over";
}

static char *find_absolute(const search_list *list, const char *name, int mode, char *buffer)
{
    if (access(name, mode) == 0) {
        if (search_list_debug)
            stderr_printf("  - found: absolute path\n");
        return strcpy(buffer, name);
    }
    if (search_list_debug) {
        stderr_printf("  - failed to locate using absolute path\n");
        if (list->first == nullptr)
            stderr_printf("  - failed: no entries in prefix list\n");
    }
    free(buffer);
    return nullptr;
}

char *search_list_find(const search_list *list, const char *name, int mode)
{
    return search_list_find_other_than(list, name, mode, nullptr);
}

char *search_list_find_other_than(const search_list *list, const char *name, int mode,
                                  const struct stat *excluded)
{
    if (search_list_debug)
        stderr_printf("Looking for '%s'\n", name);
    size_t name_length = strlen(name);
    // Every prefix is at most longest_prefix long, so this one buffer holds
    // every candidate, and the one found goes to the caller as it is.
    char *buffer = static_cast<char *>(alloc_or_die(size_t(list->longest_prefix) + 1 + name_length));
    if (name[0] == '/')
        return find_absolute(list, name, mode, buffer);
    if (list->first == nullptr) {
        if (search_list_debug)
            stderr_printf("  - failed: no entries in prefix list\n");
        free(buffer);
        return nullptr;
    }
    for (const search_entry *entry = list->first; entry != nullptr; entry = entry->next) {
        size_t prefix_length = strlen(entry->prefix);
        memcpy(buffer, entry->prefix, prefix_length);
        memcpy(buffer + prefix_length, name, name_length + 1);
        candidate_verdict verdict = judge_candidate(buffer, mode, excluded);
        if (search_list_debug)
            stderr_printf("  - %s: %s\n", verdict_text(verdict), buffer);
        if (verdict == candidate_verdict::taken)
            return buffer;
    }
    free(buffer);
    return nullptr;
}

void search_list_add(search_list *list, const char *prefix, bool at_front)
{
    search_entry **place = &list->first;
    if (!at_front)
        while (*place != nullptr)
            place = &(*place)->next;
    size_t length = strlen(prefix);
    // The lookup buffer is sized from longest_prefix: a length it cannot
    // hold would make that buffer too small, so such a prefix is refused
    // like any other allocation that cannot be had.
    if (length > size_t(INT32_MAX))
        report_out_of_memory(length);
    if (int32_t(length) > list->longest_prefix)
        list->longest_prefix = int32_t(length);
    search_entry *entry = static_cast<search_entry *>(alloc_or_die(sizeof(search_entry)));
    entry->prefix = strdup_or_die(prefix);
    entry->next = *place;
    *place = entry;
}

void search_list_append(search_list *list, const char *prefix)
{
    search_list_add(list, prefix, false);
}

void search_list_prepend(search_list *list, const char *prefix)
{
    search_list_add(list, prefix, true);
}

void search_list_from_string(const char *text, search_list *list)
{
    // Room for the longest element, an added '/' and the NUL, or for "./".
    char *prefix = static_cast<char *>(alloc_or_die(strlen(text) + 3));
    if (search_list_debug)
        stderr_printf("Convert string '%s' into prefixes, separator = '%c'\n", text, ':');
    const char *start = text;
    for (;;) {
        const char *end = strchr(start, ':');
        size_t length = end != nullptr ? size_t(end - start) : strlen(start);
        prefix[path_element_prefix(start, length, prefix)] = '\0';
        if (search_list_debug)
            stderr_printf("  - add prefix: %s\n", prefix);
        search_list_append(list, prefix);
        if (end == nullptr)
            break;
        start = end + 1;
    }
    free(prefix);
}

void search_list_from_env(const char *variable, search_list *list)
{
    const char *value = getenv(variable);
    if (value != nullptr)
        search_list_from_string(value, list);
}
