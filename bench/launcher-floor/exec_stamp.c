/* Loaded into the launcher and, through the environment it hands on, into the updater's
 * interpreter (LD_PRELOAD): the moment each program starts running after its exec and dynamic
 * loading, appended to the file that THORNWAKE_BENCH_EXEC_RECORD names as
 * "<pid> <executable> <seconds since the epoch>". Plain C with libc only, so that loading it adds
 * no library to the interpreter that it would not load anyway. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

__attribute__((constructor)) static void stamp(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const char* path = getenv("THORNWAKE_BENCH_EXEC_RECORD");
    if (path == NULL)
        return;
    char executable[512];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
    executable[length > 0 ? length : 0] = '\0';
    const int file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (file < 0)
        return;
    char line[640];
    const int size = snprintf(line, sizeof line, "%ld %s %lld.%09ld\n", (long)getpid(), executable,
                              (long long)now.tv_sec, now.tv_nsec);
    /* One write with O_APPEND: lines of concurrent programs never interleave. */
    if (size > 0 && write(file, line, (size_t)size) < 0)
        perror("exec_stamp");
    close(file);
}
