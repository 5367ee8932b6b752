// tests/emulation.h: what user-mode emulation (qemu-user, which runs the
// aarch64 build's tests, see .ci/aarch64) shows a test differently from a
// real kernel. Each answer is observed at run time, never taken from the
// build, so the same test binary on real hardware checks everything. A test
// that has to check less says so in its output with note_emulation.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

// Prints why a check is weaker here: "[ EMULATED ] ..." in the test's output.
inline void note_emulation(const std::string &what)
{
    printf("[ EMULATED ] %s\n", what.c_str());
    fflush(stdout);
}

// False where vfork does not share the parent's memory: qemu-user runs vfork
// as fork. The child's writes then never reach the parent, so a check that
// the parent repaired them passes whatever the parent does, and the parent
// is not held until the child has exec'd or ended.
inline bool vfork_shares_memory()
{
    static int answer = -1;
    if (answer < 0) {
        static volatile int written;
        written = 0;
        pid_t pid = vfork();
        if (pid == 0) {
            written = 1;
            _exit(0);
        }
        while (pid > 0 && waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        answer = written;
    }
    return answer == 1;
}

// False where a program sees its environment in another order than the one
// given to exec: qemu-user hands it over reversed.
inline bool exec_keeps_environment_order()
{
    static int answer = -1;
    if (answer < 0) {
        const std::vector<std::string> env = {"A=1", "B=2", "C=3"};
        answer = run_program({MAVO_PROBE_PATH, "env"}, &env).out == "A=1\nB=2\nC=3\n";
    }
    return answer == 1;
}

// The shell words that close descriptors 3 to 9 and lower the limit to
// `limit`, before `exec "$@"`.
inline std::string with_descriptor_limit(int limit)
{
    return "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- && ulimit -n " + std::to_string(limit) +
           " && exec \"$@\"";
}

// False where a program cannot even start under a limit of `limit`
// descriptors: qemu-user opens its own loader and libraries with them before
// the program runs.
inline bool programs_start_with_descriptor_limit(int limit)
{
    return run_program({"/bin/sh", "-c", with_descriptor_limit(limit), "sh", MAVO_PROBE_PATH, "exit", "0"})
               .exit_code() == 0;
}

// The lines of `text` in sorted order: an environment compared as a set.
inline std::vector<std::string> sorted_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// `err` without the last line when it is the one qemu-user writes to the
// standard error of a program that dies of a signal that dumps core:
// "qemu: uncaught target signal 6 (Aborted) - core dumped". It comes whatever
// the core size limit. A real kernel writes nothing, so there this returns
// `err` unchanged.
inline std::string without_emulator_signal_notice(const std::string &err)
{
    static const std::string lead = "qemu: uncaught target signal ";
    size_t start = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
    start = start == std::string::npos || err.size() < 2 ? 0 : start + 1;
    if (err.compare(start, lead.size(), lead) != 0)
        return err;
    note_emulation("standard error ends in the emulator's notice of a fatal signal: left out");
    return err.substr(0, start);
}
