// fuzz/fuzz.h: what every fuzz target shares: the entry point, a property
// check that stops the run, and the cutting of an input into texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

[[noreturn]] inline void fuzz_property_failed(const char *property, const char *file, int line)
{
    fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, property);
    // libFuzzer takes the abort for a crash and keeps the input that caused it.
    abort();
}

#define FUZZ_CHECK(property)                                       \
    do {                                                           \
        if (!(property))                                           \
            fuzz_property_failed(#property, __FILE__, __LINE__);   \
    } while (0)

// The input cut at every NUL byte: n NULs give n + 1 texts, empty ones included.
inline std::vector<std::string> input_texts(const uint8_t *data, size_t size)
{
    std::vector<std::string> texts(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\0')
            texts.emplace_back();
        else
            texts.back() += static_cast<char>(data[i]);
    }
    return texts;
}

// Text `index` of input_texts, or "" when the input has fewer.
inline std::string input_text(const std::vector<std::string> &texts, size_t index)
{
    return index < texts.size() ? texts[index] : std::string();
}

// `path` cut into components the plain way: each run of characters other
// than '/' with the run of '/' after it; a leading run of '/' stands alone.
inline std::vector<std::string> reference_components(const std::string &path)
{
    std::vector<std::string> components;
    size_t i = 0;
    while (i < path.size()) {
        size_t start = i;
        while (i < path.size() && path[i] != '/')
            i++;
        while (i < path.size() && path[i] == '/')
            i++;
        components.push_back(path.substr(start, i - start));
    }
    return components;
}
