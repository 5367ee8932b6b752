// tests/test_util.h: small helpers shared by the tests: a temporary directory
// that cleans up, files, the set of open descriptors, and running a program
// with its output and status captured.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

// Defined when the tests, and with them the programs and libraries they
// start, are built with AddressSanitizer (MAVO_SANITIZE).
#if defined(__SANITIZE_ADDRESS__)
#define MAVO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MAVO_ADDRESS_SANITIZER 1
#endif
#endif

// A fresh directory under $TMPDIR (or /tmp), removed with its contents at the
// end of the scope.
struct scoped_temp_dir {
    scoped_temp_dir();
    ~scoped_temp_dir();
    scoped_temp_dir(const scoped_temp_dir &) = delete;
    scoped_temp_dir &operator=(const scoped_temp_dir &) = delete;
    std::string path;   // no trailing '/'
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const std::string &content, int mode = 0644);
std::string read_file(const std::string &path);
// A shell script: "#!/bin/sh\n" + body, mode 0755.
void write_script(const std::string &path, const std::string &body);
bool file_exists(const std::string &path);
// A symbolic link `link` that reads `target`; throws when it cannot be made,
// which fails the test: a setup that silently lacks its link proves nothing.
void make_symlink(const std::string &target, const std::string &link);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string &path);

// Descriptors open in this process now.
std::set<int> open_fds();
// The descriptors in a blank-separated list, as the probe's "fds" prints.
std::set<int> parse_fd_list(const std::string &text);
bool is_open(int fd);
// Everything `fd` gives until end of file; `fd` stays open.
std::string read_to_end(int fd);

// Pointers to the texts, then a null: a vector for exec. The texts must
// outlive it.
std::vector<char *> pointers_to(const std::vector<std::string> &texts);

// A pipe the test owns; close-on-exec, so no child holds it unless it is
// handed over as 0, 1 or 2. Each end that is still open is closed at the end
// of the scope. Code under test closes the ends it is handed, and the number
// of an end closed there may by then stand for another file: an end is
// closed only while its number still stands for it.
struct test_pipe {
    int read_fd = -1;
    int write_fd = -1;
    test_pipe();
    ~test_pipe();
    test_pipe(const test_pipe &) = delete;
    test_pipe &operator=(const test_pipe &) = delete;

private:
    // Device and inode of each end, as fstat gave them at the start.
    std::pair<unsigned long long, unsigned long long> read_end, write_end;
};

struct run_result {
    int status = -1;          // raw wait status
    std::string out;          // standard output
    std::string err;          // standard error
    int exit_code() const;    // WEXITSTATUS, or -1 when the program did not exit
};

// A program started with pipes on its three standard streams and left
// running; the test holds the other ends, and closes them.
struct running_program {
    pid_t pid = -1;
    int in = -1;    // its standard input, written here
    int out = -1;   // its standard output, read here
    int err = -1;
};

// Starts `argv` as run_program does, without waiting for it; in a process
// group of its own when asked, as a shell's job is.
running_program start_program(const std::vector<std::string> &argv, const std::vector<std::string> *env,
                              const char *program = nullptr, bool own_group = false);

// Runs `argv` (argv[0] is the path run, unless `program` is given) with
// `env` as its whole environment when `env` is not null, feeding `input`
// to its standard input; waits for it.
run_result run_program(const std::vector<std::string> &argv,
                       const std::vector<std::string> *env = nullptr,
                       const std::string &input = "", const char *program = nullptr);

// This process's environment with `name=value` entries added or replaced;
// a bare `name` removes that variable.
std::vector<std::string> environment_with(const std::vector<std::string> &changes);

// Runs `body` in a forked child and returns its raw wait status; the child
// ends with _exit(0) when body returns. For code that ends the process or
// changes process-wide state.
template <typename Body>
int in_child(Body body);

// Runs `body` (returning a std::string) in a forked child and returns that
// text; a child that does not end normally is a test failure. For work that
// changes the process: the environment, limits, the user, the working
// directory, the temporary directory chosen once.
template <typename Body>
std::string answer_from_child(Body body);

// The unprivileged user a forked child becomes with drop_privileges.
inline constexpr unsigned test_user = 65534;

// Root passes every permission check, so a child that needs one to fail
// becomes test_user first. False when that is refused.
bool drop_privileges();

#include "tests/test_util_inl.h"
