// Fuzzes the wrappers' command-line handling on arbitrary argument vectors
// (the input's NUL-separated parts, the first being the program's name): the
// "-B" option, its directory, ar's first-argument rule and the tool's vector,
// as the driver chains them, with no child run. Each vector is given with
// its true count, with a count past its terminating null, and with a count
// that cuts it short and no terminator at all, in a heap block that ends
// there, so that the address sanitizer sees any look past the count.
#include <cstdlib>
#include <cstring>

#include "driver/driver_args.h"
#include "fuzz/fuzz.h"

static const char tool_path[] = "/tools/ar";
static const char plugin_path[] = "/tools/libplugin.so";

static bool starts_with_b_option(const std::string &text)
{
    return text.size() >= 2 && text[0] == '-' && text[1] == 'B';
}

// What the tool should receive after its path, "--plugin" and the plug-in's
// path, and the prefix the option gives, from `arguments` as the user typed
// them (the program's name first).
struct expected_run {
    driver_prefix_option option = prefix_option_absent;
    std::string prefix;
    std::vector<std::string> remaining;   // the vector after the option is taken out
};

static expected_run expect(const std::vector<std::string> &arguments)
{
    expected_run run;
    run.remaining = arguments;
    size_t index = 1;
    while (index < arguments.size() && !starts_with_b_option(arguments[index]))
        index++;
    if (index >= arguments.size())
        return run;
    auto at = run.remaining.begin() + static_cast<ptrdiff_t>(index);
    if (arguments[index].size() > 2) {
        run.option = prefix_option_taken;
        run.prefix = arguments[index].substr(2);
        run.remaining.erase(at);
    } else if (index + 1 < arguments.size()) {
        run.option = prefix_option_taken;
        run.prefix = arguments[index + 1];
        run.remaining.erase(at, at + 2);
    } else {
        run.option = prefix_option_missing_value;
    }
    return run;
}

static void check_prefix_directory(const char *prefix)
{
    const std::string given = prefix;
    const char *directory = driver_prefix_directory(prefix);
    FUZZ_CHECK(directory != nullptr);
    const std::string got = directory;
    FUZZ_CHECK(!got.empty() && got.back() == '/');
    if (given.empty()) {
        FUZZ_CHECK(got == "./");
    } else if (given.back() == '/') {
        FUZZ_CHECK(directory == prefix);
    } else {
        FUZZ_CHECK(got == given + "/");
        free(const_cast<char *>(directory));
    }
}

// `texts[0..count)` given as a vector of `places` pointers (a terminating
// null when places > count) with `argc` claimed.
static void check_vector(const std::vector<std::string> &texts, int count, int places, int argc,
                         bool first_argument_rule)
{
    std::vector<std::string> storage(texts.begin(), texts.begin() + count);
    char **argv = static_cast<char **>(calloc(static_cast<size_t>(places), sizeof(char *)));
    for (int i = 0; i < count; i++)
        argv[i] = storage[static_cast<size_t>(i)].data();
    const std::vector<char *> original(argv, argv + count);

    FUZZ_CHECK(driver_argument_count(argc, argv) == count);

    const expected_run expected = expect(storage);
    const char *prefix = nullptr;
    int new_argc = argc;
    driver_prefix_option option = driver_take_prefix_option(&new_argc, argv, &prefix);
    FUZZ_CHECK(option == expected.option);
    if (option == prefix_option_taken) {
        FUZZ_CHECK(new_argc == static_cast<int>(expected.remaining.size()));
        FUZZ_CHECK(prefix != nullptr && prefix == expected.prefix);
        // The prefix is the user's own string, not a copy.
        bool points_into_argument = false;
        for (char *argument : original)
            if (prefix >= argument && prefix <= argument + strlen(argument))
                points_into_argument = true;
        FUZZ_CHECK(points_into_argument);
        for (int i = new_argc; i < count; i++)
            FUZZ_CHECK(argv[i] == nullptr);
        check_prefix_directory(prefix);
    } else {
        FUZZ_CHECK(new_argc == argc);
        FUZZ_CHECK(std::vector<char *>(argv, argv + count) == original);
    }
    const int remaining = static_cast<int>(expected.remaining.size());
    FUZZ_CHECK(driver_argument_count(new_argc, argv) == remaining);
    for (int i = 0; i < remaining; i++)
        FUZZ_CHECK(argv[i] == expected.remaining[static_cast<size_t>(i)]);

    char *replaced = nullptr;
    std::vector<std::string> user_arguments(expected.remaining.begin() + (remaining > 0),
                                            expected.remaining.end());
    if (first_argument_rule) {
        char *before = remaining >= 2 ? argv[1] : nullptr;
        driver_apply_first_argument_rule(new_argc, argv);
        if (before != nullptr && before[0] != '-' && before[0] != '@') {
            replaced = argv[1];
            FUZZ_CHECK(replaced != before);
            user_arguments[0].insert(0, "-");
        }
    }

    const char **child = driver_child_argv(tool_path, plugin_path, new_argc, argv);
    FUZZ_CHECK(child[0] == tool_path);
    FUZZ_CHECK(child[1] != nullptr && strcmp(child[1], "--plugin") == 0);
    FUZZ_CHECK(child[2] == plugin_path);
    size_t i = 0;
    for (; i < user_arguments.size(); i++) {
        FUZZ_CHECK(child[3 + i] == argv[1 + i]);
        FUZZ_CHECK(child[3 + i] == user_arguments[i]);
    }
    FUZZ_CHECK(child[3 + i] == nullptr);
    FUZZ_CHECK(child[remaining + 3] == nullptr);
    free(child);
    free(replaced);

    // Nothing wrote into the user's strings.
    for (size_t k = 0; k < storage.size(); k++)
        FUZZ_CHECK(strcmp(original[k], texts[k].c_str()) == 0);
    free(argv);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> texts = input_texts(data, size);
    // Counts stay far below INT_MAX: libFuzzer's inputs are a few kilobytes.
    const int count = static_cast<int>(texts.size());
    for (bool rule : {false, true}) {
        check_vector(texts, count, count + 1, count, rule);
        check_vector(texts, count, count + 1, count + 7, rule);
        // Cut short: the block holds `count / 2` pointers and nothing after.
        check_vector(texts, count / 2, count / 2, count / 2, rule);
    }

    FUZZ_CHECK(driver_argument_count(1, nullptr) == 0);
    char *one[] = {texts[0].data(), nullptr};
    FUZZ_CHECK(driver_argument_count(0, one) == 0);
    FUZZ_CHECK(driver_argument_count(-1, one) == 0);
    return 0;
}
