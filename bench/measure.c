/* Runs a command and prints what it cost, for the benchmark script:
 *
 *   measure OUTFILE COMMAND [ARG...]
 *
 * writes one line "WALL_S USER_S SYS_S MAXRSS_KB EXIT" to OUTFILE: wall-clock seconds,
 * user and system CPU seconds of the command and every descendant it waited for, the peak
 * resident size of the largest of them in kilobytes, and the command's exit status (128 +
 * signal number when killed). The command's own output passes through unchanged; measure
 * exits with the command's status. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval tv)
{
    return tv.tv_sec + tv.tv_usec / 1e6;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: measure OUTFILE COMMAND [ARG...]\n");
        return 2;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid = fork();
    if (pid < 0) {
        perror("measure: fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        perror("measure: exec");
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid) {
        perror("measure: wait4");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE *out = fopen(argv[1], "w");
    if (!out) {
        perror("measure: output file");
        return 1;
    }
    fprintf(out, "%.3f %.3f %.3f %ld %d\n",
            (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9, seconds(ru.ru_utime),
            seconds(ru.ru_stime), ru.ru_maxrss, code);
    fclose(out);
    return code;
}
