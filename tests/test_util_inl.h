// Template part of tests/test_util.h.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
