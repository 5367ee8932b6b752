// Fuzzes split_path_components, free_path_components and path_basename on
// arbitrary paths (the input up to its first NUL).
#include <cstring>

#include "fuzz/fuzz.h"
#include "support/relocate.h"

static constexpr int untouched = -12345;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = input_texts(data, size).front();

    int count = untouched;
    char **components = split_path_components(path.c_str(), &count);
    if (path.empty()) {
        FUZZ_CHECK(components == nullptr);
        FUZZ_CHECK(count == untouched);
    } else {
        FUZZ_CHECK(components != nullptr);
        FUZZ_CHECK(count > 0);
        std::vector<std::string> got;
        for (int i = 0; i < count; i++) {
            FUZZ_CHECK(components[i] != nullptr);
            got.emplace_back(components[i]);
        }
        FUZZ_CHECK(components[count] == nullptr);
        FUZZ_CHECK(got == reference_components(path));
        std::string joined;
        for (const std::string &component : got)
            joined += component;
        FUZZ_CHECK(joined == path);
    }
    free_path_components(components);

    const char *base = path_basename(path.c_str());
    FUZZ_CHECK(base >= path.c_str() && base <= path.c_str() + path.size());
    FUZZ_CHECK(strchr(base, '/') == nullptr);
    FUZZ_CHECK(base == path.c_str() || base[-1] == '/');
    return 0;
}
