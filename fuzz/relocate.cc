// Fuzzes the text part of relocation: relocate_prefix_no_links, and
// relocate_located_prefix, which must agree with it, with a
// program name that holds a '/' (so $PATH is never searched and the file
// system never consulted) and arbitrary configured directories. The input
// holds the program name, the program directory and the target directory,
// separated by NULs.
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz.h"
#include "support/relocate.h"

static std::string joined(std::vector<std::string>::const_iterator first,
                          std::vector<std::string>::const_iterator last)
{
    std::string text;
    for (; first != last; ++first)
        text += *first;
    return text;
}

// What relocation should give, from the plain component split; null as "no".
static bool expected_relocation(const std::string &program, const std::string &bin_dir,
                                const std::string &target_dir, std::string *result)
{
    const std::vector<std::string> program_parts = reference_components(program);
    const std::vector<std::string> bin = reference_components(bin_dir);
    const std::vector<std::string> target = reference_components(target_dir);
    if (bin.empty() || target.empty())
        return false;
    const std::vector<std::string> dir(program_parts.begin(), program_parts.end() - 1);
    if (dir == bin)
        return false;
    size_t shared = 0;
    while (shared < bin.size() && shared < target.size() && bin[shared] == target[shared])
        shared++;
    if (shared == 0)
        return false;
    *result = joined(dir.begin(), dir.end());
    for (size_t i = shared; i < bin.size(); i++)
        *result += "../";
    *result += joined(target.begin() + static_cast<ptrdiff_t>(shared), target.end());
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> texts = input_texts(data, size);
    std::string program = input_text(texts, 0);
    if (program.find('/') == std::string::npos)
        program.insert(0, "/");
    const std::string bin_dir = input_text(texts, 1);
    const std::string target_dir = input_text(texts, 2);

    std::string expected;
    bool relocates = expected_relocation(program, bin_dir, target_dir, &expected);
    char *result = relocate_prefix_no_links(program.c_str(), bin_dir.c_str(), target_dir.c_str());
    FUZZ_CHECK((result != nullptr) == relocates);
    if (result != nullptr) {
        FUZZ_CHECK(result == expected);
        // The result starts with the program's directory as written.
        if (program.back() != '/') {
            const std::string dir = program.substr(0, program.rfind('/') + 1);
            FUZZ_CHECK(std::string(result).compare(0, dir.size(), dir) == 0);
        }
    }
    // A location taken as it stands relocates the same way.
    char *from_location = relocate_located_prefix(program.c_str(), bin_dir.c_str(), target_dir.c_str());
    FUZZ_CHECK((from_location != nullptr) == (result != nullptr));
    FUZZ_CHECK(from_location == nullptr || strcmp(from_location, result) == 0);
    free(from_location);
    free(result);

    FUZZ_CHECK(relocate_prefix_no_links(nullptr, bin_dir.c_str(), target_dir.c_str()) == nullptr);
    FUZZ_CHECK(relocate_prefix_no_links(program.c_str(), nullptr, target_dir.c_str()) == nullptr);
    FUZZ_CHECK(relocate_prefix_no_links(program.c_str(), bin_dir.c_str(), nullptr) == nullptr);
    return 0;
}
