// Fuzzes the search lists: the ':' splitter on arbitrary texts, prepending,
// and lookups of arbitrary names along the resulting list, with their trace.
// The input holds the text to split, a prefix to put in front, and names to
// look up, separated by NULs. Lookups only stat and access: the file system
// is read, never written.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz.h"
#include "search/search_list.h"

// Lists longer than this are split and checked but not searched: every
// entry costs a stat per lookup.
static constexpr size_t searched_list_limit = 64;
static constexpr size_t names_limit = 4;
static constexpr char variable[] = "MAVO_FUZZ_SEARCH_LIST";

static std::vector<std::string> prefixes_of(const search_list &list)
{
    std::vector<std::string> prefixes;
    for (const search_entry *entry = list.first; entry != nullptr; entry = entry->next)
        prefixes.emplace_back(entry->prefix);
    return prefixes;
}

static void free_entries(search_list *list)
{
    search_entry *entry = list->first;
    while (entry != nullptr) {
        search_entry *next = entry->next;
        free(entry->prefix);
        free(entry);
        entry = next;
    }
    *list = {};
}

static std::vector<std::string> expected_prefixes(const std::string &text)
{
    std::vector<std::string> prefixes;
    size_t start = 0;
    for (;;) {
        size_t end = std::min(text.find(':', start), text.size());
        std::string element = text.substr(start, end - start);
        if (element.empty())
            prefixes.push_back("./");
        else if (element.back() == '/')
            prefixes.push_back(element);
        else
            prefixes.push_back(element + "/");
        if (end == text.size())
            return prefixes;
        start = end + 1;
    }
}

// What `call` writes to standard error with the trace on, caught in a
// temporary file that stands in for descriptor 2 meanwhile: the trace goes
// to the descriptor, not through stdio.
template <typename Call>
static std::string traced(Call call)
{
    FILE *caught = tmpfile();
    FUZZ_CHECK(caught != nullptr);
    int saved = dup(2);
    FUZZ_CHECK(saved >= 0 && dup2(fileno(caught), 2) == 2);
    search_list_set_debug(true);
    call();
    search_list_set_debug(false);
    FUZZ_CHECK(dup2(saved, 2) == 2);
    close(saved);
    std::string trace;
    rewind(caught);
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, caught)) > 0;)
        trace.append(buffer, got);
    fclose(caught);
    return trace;
}

static bool acceptable(const std::string &candidate, int mode)
{
    struct stat info;
    return stat(candidate.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
           access(candidate.c_str(), mode) == 0;
}

static void check_find(const search_list &list, const std::vector<std::string> &prefixes,
                       const std::string &name, int mode)
{
    bool found_expected = false;
    std::string expected;
    std::string candidates_trace;   // one line for each candidate tried
    if (!name.empty() && name[0] == '/') {
        found_expected = access(name.c_str(), mode) == 0;
        expected = name;
    } else {
        for (const std::string &prefix : prefixes) {
            if (acceptable(prefix + name, mode)) {
                found_expected = true;
                expected = prefix + name;
                candidates_trace += "  - found: " + expected + "\n";
                break;
            }
            candidates_trace += "  - passed over: " + prefix + name + "\n";
        }
    }
    char *found = nullptr;
    std::string trace = traced([&] { found = search_list_find(&list, name.c_str(), mode); });
    FUZZ_CHECK((found != nullptr) == found_expected);
    if (found != nullptr)
        FUZZ_CHECK(found == expected);

    std::string expected_trace = "Looking for '" + name + "'\n";
    if (!name.empty() && name[0] == '/') {
        expected_trace += found_expected ? "  - found: absolute path\n"
                                         : "  - failed to locate using absolute path\n";
        if (!found_expected && prefixes.empty())
            expected_trace += "  - failed: no entries in prefix list\n";
    } else if (prefixes.empty()) {
        expected_trace += "  - failed: no entries in prefix list\n";
    } else {
        expected_trace += candidates_trace;
    }
    FUZZ_CHECK(trace == expected_trace);
    free(found);
}

static int longest(const std::vector<std::string> &prefixes)
{
    size_t length = 0;
    for (const std::string &prefix : prefixes)
        length = std::max(length, prefix.size());
    return static_cast<int>(length);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> texts = input_texts(data, size);
    const std::string &text = texts[0];

    search_list list = {};
    search_list_from_string(text.c_str(), &list);
    std::vector<std::string> expected = expected_prefixes(text);
    FUZZ_CHECK(prefixes_of(list) == expected);
    FUZZ_CHECK(list.longest_prefix == longest(expected));

    // A second split appends after what is there, and traces each prefix.
    std::string trace = traced([&] { search_list_from_string(text.c_str(), &list); });
    const std::vector<std::string> once = expected;
    expected.insert(expected.end(), once.begin(), once.end());
    FUZZ_CHECK(prefixes_of(list) == expected);
    std::string expected_trace = "Convert string '" + text + "' into prefixes, separator = ':'\n";
    for (const std::string &prefix : once)
        expected_trace += "  - add prefix: " + prefix + "\n";
    FUZZ_CHECK(trace == expected_trace);

    // A prepended prefix goes first, unchanged.
    if (texts.size() > 1) {
        search_list_prepend(&list, texts[1].c_str());
        expected.insert(expected.begin(), texts[1]);
        FUZZ_CHECK(prefixes_of(list) == expected);
        FUZZ_CHECK(list.longest_prefix == longest(expected));
    }

    // The same text from a variable; an unset one adds nothing.
    search_list from_env = {};
    unsetenv(variable);
    search_list_from_env(variable, &from_env);
    FUZZ_CHECK(from_env.first == nullptr);
    setenv(variable, text.c_str(), 1);
    search_list_from_env(variable, &from_env);
    FUZZ_CHECK(prefixes_of(from_env) == once);
    free_entries(&from_env);

    if (expected.size() <= searched_list_limit) {
        for (size_t i = 2; i < texts.size() && i < 2 + names_limit; i++) {
            check_find(list, expected, texts[i], R_OK);
            check_find(list, expected, texts[i], X_OK);
        }
    }
    search_list empty = {};
    if (texts.size() > 2)
        check_find(empty, {}, texts[2], X_OK);

    free_entries(&list);
    return 0;
}
