/*
 * Runs a piece of a test in a forked child process, for behaviour that depends on a fresh
 * process: first clock readings, module caches, process-wide lists that only grow.
 */
#ifndef ZARVO_TESTS_INCHILD_H
#define ZARVO_TESTS_INCHILD_H

#include <functional>
#include <string>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/* Runs fn in a child process and returns what it returned: the empty text for success, else a
 * description of what went wrong. A child that dies without an answer, or is still running after
 * a minute (and so killed by its alarm), is reported as such. */
inline std::string inchild(const std::function<std::string()> &fn)
{
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        close(fds[0]);
        alarm(60);
        std::string answer = fn();
        answer.insert(0, "+"); /* marks a complete answer */
        size_t off = 0;
        while (off < answer.size()) {
            ssize_t n = write(fds[1], answer.data() + off, answer.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        _exit(0);
    }

    close(fds[1]);
    std::string answer;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) answer.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (answer.empty() || answer[0] != '+') {
        return "child ended without an answer, status " + std::to_string(status);
    }
    return answer.substr(1);
}

#endif
