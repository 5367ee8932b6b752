// Fuzzes the joins on arbitrary lists of texts (the input's NUL-separated
// parts): the list forms with the whole list, the variadic forms with the
// first two texts.
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz.h"
#include "support/join.h"

// join_strings_into into a heap block of exactly the joined length + 1, so
// that the address sanitizer sees any byte written past it.
static std::string joined_into(const char *const *list, size_t length)
{
    char *buffer = static_cast<char *>(malloc(length + 1));
    FUZZ_CHECK(join_strings_into_list(buffer, list) == buffer);
    std::string text(buffer);
    free(buffer);
    return text;
}

// `texts` holds one text at least.
static void check_list(const std::vector<std::string> &texts)
{
    std::vector<const char *> list;
    std::string expected;
    for (const std::string &text : texts) {
        list.push_back(text.c_str());
        expected += text;
    }
    list.push_back(nullptr);

    FUZZ_CHECK(join_strings_length_list(list.data()) == expected.size());
    FUZZ_CHECK(joined_into(list.data(), expected.size()) == expected);

    char *joined = join_strings_list(list.data());
    FUZZ_CHECK(joined != nullptr);
    FUZZ_CHECK(strlen(joined) == expected.size() && joined == expected);

    // Extending an allocated string: the old block is also the first text.
    list[0] = joined;
    char *rejoined = rejoin_strings_list(joined, list.data());
    FUZZ_CHECK(rejoined != nullptr);
    FUZZ_CHECK(rejoined == expected + expected.substr(texts[0].size()));
    free(rejoined);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> texts = input_texts(data, size);

    // The empty list, then the input's.
    const char *const empty[] = {nullptr};
    FUZZ_CHECK(join_strings_length_list(empty) == 0);
    char *nothing = join_strings_list(empty);
    FUZZ_CHECK(nothing != nullptr && nothing[0] == '\0');
    free(nothing);
    check_list(texts);

    const std::string second = input_text(texts, 1);
    const char *a = texts[0].c_str();
    const char *b = second.c_str();
    const std::string ab = texts[0] + second;
    FUZZ_CHECK(join_strings_length(a, b, nullptr) == ab.size());
    char *variadic = join_strings(a, b, nullptr);
    FUZZ_CHECK(variadic == ab);
    // A null inside the list ends it there.
    char *cut = join_strings(a, nullptr, b, nullptr);
    FUZZ_CHECK(cut == texts[0]);
    free(cut);
    variadic = rejoin_strings(variadic, variadic, "/", nullptr);
    FUZZ_CHECK(variadic == ab + "/");
    free(variadic);

    char *shared = static_cast<char *>(malloc(ab.size() + 1));
    join_shared_buffer = shared;
    FUZZ_CHECK(join_strings_shared(a, b, nullptr) == shared && shared == ab);
    join_shared_buffer = nullptr;
    free(shared);
    return 0;
}
