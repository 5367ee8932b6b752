// Fuzzes dos_path_basename on arbitrary paths (the input up to its first NUL).
#include "fuzz/fuzz.h"
#include "support/char_class.h"

static bool is_ascii_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = input_texts(data, size).front();

    size_t expected = path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':' ? 2 : 0;
    for (size_t i = expected; i < path.size(); i++)
        if (path[i] == '/' || path[i] == '\\')
            expected = i + 1;

    const char *base = dos_path_basename(path.c_str());
    FUZZ_CHECK(base >= path.c_str() && base <= path.c_str() + path.size());
    FUZZ_CHECK(static_cast<size_t>(base - path.c_str()) == expected);
    return 0;
}
