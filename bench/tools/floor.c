/* The floor: the least a wrapper of this design can cost. It does what the
   programs do once they know the tool and the plug-in, and nothing else:
   vfork, exec the tool with the vector it is given, wait for it, and exit
   with its status. No search, no allocation, no environment read.

     floor TOOL ARG...    runs TOOL with the vector TOOL ARG... (the
                          programs' vector: tool, --plugin, plug-in, the
                          user's arguments) and the environment unchanged

   Built fully static (against musl when the machine has musl-gcc), so that
   no loader or C library start-up beyond the least is counted either. */
#define _GNU_SOURCE
#include <errno.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    pid_t pid = vfork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        execve(argv[1], argv + 1, environ);
        _exit(127);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return 127;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 127;
}
