// zarvo-sendbench: measures combined sending of status messages.
//
// Starts the stand-in daemon (zarvod-sink, from the same directory unless --sink= names it) on
// a free loopback port, sends --messages= status messages (10000 by default) through
// combo_start, init_status, addtostatus, finish_status and combo_end, --per-combo= of them in
// each transmission (100 by default; 1 sends every message on its own connection, as the
// collector sends its host messages), and prints messages per second, the number of
// transmissions and the bytes the daemon received.

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "sendmsg.h"

namespace {

std::string selfdir()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    char *slash = strrchr(path, '/');
    if (slash) *slash = '\0';
    return path;
}

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Starts the sink; its standard error (the closing summary) comes back through *errfd.
pid_t startsink(const std::string &sink, const std::string &portfile, long count, int *errfd)
{
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 2);
        close(pipefd[0]);
        close(pipefd[1]);
        std::string c = "--count=" + std::to_string(count);
        std::string p = "--portfile=" + portfile;
        execl(sink.c_str(), sink.c_str(), "--port=0", "--output=/dev/null", c.c_str(), p.c_str(),
              (char *)NULL);
        _exit(127);
    }
    close(pipefd[1]);
    *errfd = pipefd[0];
    return pid;
}

int waitport(const std::string &portfile, pid_t pid)
{
    for (int i = 0; i < 500; i++) {
        FILE *f = fopen(portfile.c_str(), "r");
        if (f) {
            int port = 0;
            int ok = fscanf(f, "%d", &port);
            fclose(f);
            if (ok == 1) return port;
        }
        if (waitpid(pid, NULL, WNOHANG) == pid) return -1;
        usleep(10000);
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    long messages = 10000;
    long percombo = 100;
    std::string sink = selfdir() + "/zarvod-sink";
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--messages=", 11) == 0) messages = atol(argv[i] + 11);
        else if (strncmp(argv[i], "--sink=", 7) == 0) sink = argv[i] + 7;
        else if (strncmp(argv[i], "--per-combo=", 12) == 0) percombo = atol(argv[i] + 12);
        else {
            fprintf(stderr,
                    "Usage: zarvo-sendbench [--messages=N] [--per-combo=N] [--sink=PATH]\n");
            return 2;
        }
    }

    char dir[] = "/tmp/zarvo-sendbench.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string portfile = std::string(dir) + "/port";

    int errfd = -1;
    pid_t pid = startsink(sink, portfile, messages, &errfd);
    int port = (pid > 0) ? waitport(portfile, pid) : -1;
    unlink(portfile.c_str());
    rmdir(dir);
    if (port <= 0) {
        fprintf(stderr, "zarvo-sendbench: cannot start %s\n", sink.c_str());
        if (pid > 0) kill(pid, SIGTERM);
        return 1;
    }

    std::string rcpt = "127.0.0.1:" + std::to_string(port);
    setenv("ZRVSRV", rcpt.c_str(), 1);
    setenv("MAXMSGSPERCOMBO", std::to_string(percombo).c_str(), 1);
    unsetenv("SLEEPBETWEENMSGS");

    double start = now();
    combo_start();
    for (long i = 0; i < messages; i++) {
        char line[256];
        snprintf(line, sizeof(line), "status bench%05ld.cpu green Wed Dec  9 06:00:00 2026\n\n", i);
        init_status(0);
        addtostatus(line);
        addtostatus("load average: 0.12, 0.10, 0.09\nprocesses: 123 running, 4 blocked\n");
        finish_status();
    }
    combo_end();
    double elapsed = now() - start;

    int status = 0;
    waitpid(pid, &status, 0);
    char summary[256] = "";
    ssize_t n = read(errfd, summary, sizeof(summary) - 1);
    close(errfd);
    summary[n > 0 ? n : 0] = '\0';
    long conns = 0, received = 0;
    unsigned long long bytes = 0;
    if (sscanf(summary, "zarvod-sink: %ld connections, %ld messages, %llu bytes", &conns, &received,
               &bytes) != 3) {
        fprintf(stderr, "zarvo-sendbench: no summary from the daemon: %s\n", summary);
        return 1;
    }

    printf("status messages:   %ld\n", messages);
    printf("received:          %ld\n", received);
    printf("transmissions:     %d (daemon saw %ld connections)\n", zarvomsgcount, conns);
    printf("bytes:             %llu\n", bytes);
    printf("seconds:           %.3f\n", elapsed);
    printf("messages/s:        %.0f\n", (double)messages / elapsed);
    return (received == messages) ? 0 : 1;
}
