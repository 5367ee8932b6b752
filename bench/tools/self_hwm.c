/* The floor for peak RSS: a C program that does nothing but report its own
   VmHWM, with open, read and write and no stdio. Built like the wrapper
   (C library dynamic, or fully static), it shows what the C library and the
   loader alone keep resident. */
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    char buf[4096];
    int fd = open("/proc/self/status", O_RDONLY);
    if (fd < 0)
        return 2;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 2;
    buf[n] = '\0';
    char *line = strstr(buf, "VmHWM:");
    if (!line)
        return 2;
    size_t len = strcspn(line, "\n");
    line[len] = '\n';
    return write(1, line, len + 1) == (ssize_t)(len + 1) ? 0 : 2;
}
