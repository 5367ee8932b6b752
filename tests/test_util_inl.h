// Template part of tests/test_util.h.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

template <typename Body>
int in_child(Body body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(0);
    }
    int status = -1;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return status;
}

template <typename Body>
std::string answer_from_child(Body body)
{
    // A file, not a pipe: in_child waits before anything is read, and a long
    // answer would fill a pipe and block the child.
    FILE *answer = tmpfile();
    if (answer == nullptr)
        return "no temporary file for the answer";
    int status = in_child([&] {
        std::string text = body();
        fwrite(text.data(), 1, text.size(), answer);
        fflush(answer);
    });
    std::string text;
    rewind(answer);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, answer)) > 0)
        text.append(buffer, got);
    fclose(answer);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ADD_FAILURE() << "child ended with wait status " << status;
    return text;
}
