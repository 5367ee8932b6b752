/* A tool that reports on its parent: the executable it runs and its peak
   resident set size so far (VmHWM in Linux's /proc). Started by a wrapper,
   the parent is the wrapper itself, waiting for this child: the figure is
   the wrapper's, untouched by this child or by whatever started the
   wrapper. Exits 2 when /proc has no such figure. */
#include <stdio.h>
#include <unistd.h>

int main(void)
{
    char path[64], exe[4096], line[256];
    pid_t parent = getppid();
    long hwm_kb = -1;

    snprintf(path, sizeof path, "/proc/%d/exe", (int)parent);
    ssize_t n = readlink(path, exe, sizeof exe - 1);
    exe[n < 0 ? 0 : n] = '\0';

    snprintf(path, sizeof path, "/proc/%d/status", (int)parent);
    FILE *status = fopen(path, "r");
    if (!status)
        return 2;
    while (hwm_kb < 0 && fgets(line, sizeof line, status))
        sscanf(line, "VmHWM: %ld", &hwm_kb);
    fclose(status);
    if (hwm_kb < 0)
        return 2;
    printf("parent_exe=%s\nparent_hwm_kb=%ld\n", exe, hwm_kb);
    return 0;
}
