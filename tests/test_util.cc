#include "tests/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/descriptor_bound.h"

extern char **environ;

scoped_temp_dir::scoped_temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/mavo-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = buffer.data();
}

scoped_temp_dir::~scoped_temp_dir()
{
    std::error_code ignored;
    // Tests may leave unreadable directories behind: open them up first.
    for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            chmod(it->path().c_str(), 0700);
    std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string &path, const std::string &content, int mode)
{
    // A setup that silently lacks its file proves nothing: fail the test.
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out || chmod(path.c_str(), static_cast<mode_t>(mode)) != 0)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_script(const std::string &path, const std::string &body)
{
    write_file(path, "#!/bin/sh\n" + body, 0755);
}

bool file_exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void make_symlink(const std::string &target, const std::string &link)
{
    if (symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("symlink " + link + " -> " + target + ": " + strerror(errno));
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::set<int> open_fds()
{
    std::set<int> fds;
    for (int fd = 0, bound = descriptor_bound(); fd < bound; fd++)
        if (is_open(fd))
            fds.insert(fd);
    return fds;
}

std::set<int> parse_fd_list(const std::string &text)
{
    std::set<int> fds;
    std::istringstream in(text);
    for (int fd; in >> fd;)
        fds.insert(fd);
    return fds;
}

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

std::string read_to_end(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
    return text;
}

// Device and inode of what `fd` stands for; (0, 0) when it is closed.
static std::pair<unsigned long long, unsigned long long> identity_of(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return {0, 0};
    return {info.st_dev, info.st_ino};
}

test_pipe::test_pipe()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
    read_fd = fds[0];
    write_fd = fds[1];
    // Each end on its own: the two ends of a pipe need not share an inode.
    read_end = identity_of(read_fd);
    write_end = identity_of(write_fd);
}

test_pipe::~test_pipe()
{
    if (identity_of(read_fd) == read_end)
        close(read_fd);
    if (identity_of(write_fd) == write_end)
        close(write_fd);
}

int run_result::exit_code() const
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<char *> pointers_to(const std::vector<std::string> &texts)
{
    std::vector<char *> pointers;
    for (const std::string &text : texts)
        pointers.push_back(const_cast<char *>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Reads both pipes to their ends without letting either fill up.
static void drain(int out_fd, int err_fd, std::string &out, std::string &err)
{
    char buffer[4096];
    int open_count = 2;
    // poll, not select: the descriptors may lie beyond what an fd_set holds.
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
}

running_program start_program(const std::vector<std::string> &argv, const std::vector<std::string> *env,
                              const char *program, bool own_group)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char *> args = pointers_to(argv);
    std::vector<std::string> env_copy = env != nullptr ? *env : std::vector<std::string>();
    std::vector<char *> envp = pointers_to(env_copy);
    const char *path = program != nullptr ? program : argv[0].c_str();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (own_group)
            setpgid(0, 0);
        if (env != nullptr)
            environ = envp.data();
        execv(path, args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    return {pid, in_pipe[1], out_pipe[0], err_pipe[0]};
}

run_result run_program(const std::vector<std::string> &argv, const std::vector<std::string> *env,
                       const std::string &input, const char *program)
{
    running_program started = start_program(argv, env, program);
    pid_t pid = started.pid;
    // Feed the input from a child of our own so a large input cannot block
    // against unread output.
    pid_t feeder = -1;
    if (!input.empty()) {
        feeder = fork();
        if (feeder == 0) {
            size_t done = 0;
            while (done < input.size()) {
                ssize_t wrote = write(started.in, input.data() + done, input.size() - done);
                if (wrote <= 0)
                    break;
                done += static_cast<size_t>(wrote);
            }
            _exit(0);
        }
    }
    close(started.in);
    run_result result;
    drain(started.out, started.err, result.out, result.err);
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    if (feeder > 0)
        while (waitpid(feeder, nullptr, 0) < 0 && errno == EINTR) {
        }
    return result;
}

std::vector<std::string> environment_with(const std::vector<std::string> &changes)
{
    std::vector<std::string> result;
    auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    for (char **entry = environ; *entry != nullptr; entry++) {
        std::string text = *entry;
        bool replaced = std::any_of(changes.begin(), changes.end(),
                                    [&](const std::string &c) { return name_of(c) == name_of(text); });
        if (!replaced)
            result.push_back(text);
    }
    for (const std::string &change : changes)
        if (change.find('=') != std::string::npos)
            result.push_back(change);
    return result;
}

bool drop_privileges()
{
    if (geteuid() != 0)
        return true;
    return setgroups(0, nullptr) == 0 && setgid(test_user) == 0 && setuid(test_user) == 0;
}
