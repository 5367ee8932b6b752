/* A tool that reports on its parent: the executable it runs, its peak
   resident set size so far (VmHWM) and its resident set size now, counted
   page by page (Rss of smaps_rollup; the kernel's VmHWM and VmRSS come from
   counters that may lag by some pages). Started by a wrapper, the parent is
   the wrapper itself, waiting for this child: the figures are the wrapper's,
   untouched by this child or by whatever started the wrapper. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    char path[64], exe[4096], buf[8192];
    pid_t parent = getppid();

    snprintf(path, sizeof path, "/proc/%d/exe", (int)parent);
    ssize_t n = readlink(path, exe, sizeof exe - 1);
    exe[n < 0 ? 0 : n] = '\0';

    snprintf(path, sizeof path, "/proc/%d/status", (int)parent);
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 2;
    n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 2;
    buf[n] = '\0';

    const char *hwm = strstr(buf, "VmHWM:");
    const char *rss = strstr(buf, "VmRSS:");
    long hwm_kb = -1, rss_kb = -1;
    if (hwm)
        sscanf(hwm + 6, "%ld", &hwm_kb);
    if (rss)
        sscanf(rss + 6, "%ld", &rss_kb);

    long smaps_kb = -1;
    snprintf(path, sizeof path, "/proc/%d/smaps_rollup", (int)parent);
    fd = open(path, O_RDONLY);
    if (fd >= 0) {
        n = read(fd, buf, sizeof buf - 1);
        close(fd);
        buf[n < 0 ? 0 : n] = '\0';
        const char *s = strstr(buf, "\nRss:");
        if (s)
            sscanf(s + 5, "%ld", &smaps_kb);
    }
    printf("parent_exe=%s\nparent_hwm_kb=%ld\nparent_rss_kb=%ld\nparent_smaps_rss_kb=%ld\n",
           exe, hwm_kb, rss_kb, smaps_kb);

    /* Resident kB per mapping, for the question where the pages are. */
    snprintf(path, sizeof path, "/proc/%d/smaps", (int)parent);
    FILE *smaps = fopen(path, "r");
    if (smaps) {
        char line[4608], name[4096] = "";
        while (fgets(line, sizeof line, smaps)) {
            unsigned long lo, hi;
            char perms[8];
            int off = 0;
            long kb;
            if (sscanf(line, "%lx-%lx %7s %*s %*s %*s %n", &lo, &hi, perms, &off) == 3 && off > 0) {
                size_t len = strcspn(line + off, "\n");
                snprintf(name, sizeof name, "%s %.*s", perms, (int)len, line + off);
            } else if (sscanf(line, "Rss: %ld", &kb) == 1 && kb > 0) {
                printf("mapping=%ld %s\n", kb, name);
            }
        }
        fclose(smaps);
    }
    return hwm_kb < 0;
}
