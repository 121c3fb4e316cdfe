/* Runs one command of a benchmark and writes to RESULT, as one line,
 *   <seconds> <peak memory in KiB> <exit status>
 * the wall time from just before the command is started to just after it has
 * ended, and the command's peak resident memory (ru_maxrss from wait4).
 *
 *   plovern-spawn RESULT COMMAND [ARG...]
 *
 * bench/run.py starts every command, ours and the peers', through this small
 * program rather than directly: a process started by Python counts Python's
 * own resident memory at the moment it was started into its peak (the kernel
 * carries the peak over the exec), so a 3 MB tool would show as 30 MB. Started
 * from here, the floor is this program's memory, about 1 MB, the same for
 * every tool. The command inherits the current folder, the environment and
 * the standard streams. */

#define _GNU_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: plovern-spawn RESULT COMMAND [ARG...]\n");
        return 2;
    }
    FILE* result = fopen(argv[1], "w");
    if (!result) {
        perror(argv[1]);
        return 2;
    }
    const double start = now();
    pid_t child;
    const int error = posix_spawnp(&child, argv[2], NULL, NULL, &argv[2], environ);
    if (error != 0) {
        fprintf(stderr, "plovern-spawn: cannot start %s\n", argv[2]);
        return 127;
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return 2;
    }
    const double seconds = now() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(result, "%.6f %ld %d\n", seconds, usage.ru_maxrss, code);
    return fclose(result) == 0 ? 0 : 2;
}
