// Helpers for the messaging client's tests: child-process isolation, loopback servers that
// behave like good and bad server daemons, a fresh ZARVOHOME whose System V resources are
// removed afterwards, and a strict reader of combined messages.
#ifndef MSGTEST_SUPPORT_H
#define MSGTEST_SUPPORT_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "collect_errors.h"
#include "errormsg.h"
#include "internal/comboparse.h"

namespace msgtest {

// Runs body in a forked child and expects it to end without failures. The messaging client
// fixes its settings once per process, so tests that depend on them run in a fresh child.
inline void InChild(const std::function<void()> &body, int limit_s = 60)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        alarm((unsigned)limit_s);
        body();
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "test child failed, status " << status;
}

// A socket on 127.0.0.1 and a free port; listening when backlog >= 0.
inline int LoopbackSocket(int backlog, int &port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof(a);
    EXPECT_EQ(bind(fd, (struct sockaddr *)&a, sizeof(a)), 0);
    if (backlog >= 0) {
        EXPECT_EQ(listen(fd, backlog), 0);
    }
    getsockname(fd, (struct sockaddr *)&a, &alen);
    port = ntohs(a.sin_port);
    return fd;
}

enum class Behaviour {
    Answer,         // read until the client half-closes, record, send the answer chunks, close
    Stall,          // read until the client half-closes, record, keep the connection open
    ResetEarly,     // read one byte, then reset the connection
    RandomBytes,    // read and record as Answer, answer with randomtext(100000, 7), close
    EndlessHeaders, // read and record as Answer, then send HTTP header lines until stopped
    ResetInAnswer,  // read and record as Answer, send half an answer, reset the connection
    ResetAtAccept,  // reset the connection as soon as it is accepted
    ResetAfter100,  // read 100 bytes, then reset the connection
    SlowReader,     // read as Answer, pausing 5 ms after every read, and close
    Flood,          // read and record as Answer, then send bytes until the client goes away
};

// n bytes from a fixed generator, none of them NUL (an answer is collected as text).
inline std::string randomtext(size_t n, unsigned seed)
{
    std::string s(n, ' ');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char)(1 + (seed >> 16) % 255);
    }
    return s;
}

// Closes fd with a reset instead of an orderly end.
inline void resetconnection(int fd)
{
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(fd);
}

// A server on loopback, served by a thread, one connection at a time.
class LoopbackServer {
public:
    explicit LoopbackServer(Behaviour b = Behaviour::Answer, std::vector<std::string> answer = {},
                            int pause_ms = 0)
        : behaviour_(b), answer_(std::move(answer)), pause_ms_(pause_ms)
    {
        listener_ = LoopbackSocket(16, port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackServer()
    {
        stop_ = true;
        thread_.join();
        for (int fd : held_) close(fd);
        close(listener_);
    }

    std::string recipient() const { return "127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    int connections() const { return connections_; }
    // Bytes read from all connections so far.
    size_t bytesread() const { return bytesread_; }
    // How the reading of each handled connection ended: "eof", or the receive error's text.
    std::vector<std::string> endings()
    {
        std::lock_guard<std::mutex> g(lock_);
        return endings_;
    }
    // Waits up to 10 seconds until n connections are handled to their end by the server.
    bool waithandled(int n)
    {
        for (int i = 0; i < 1000 && handled_ < n; i++) usleep(10000);
        return handled_ >= n;
    }
    std::vector<std::string> messages()
    {
        std::lock_guard<std::mutex> g(lock_);
        return messages_;
    }
    // Waits up to 5 seconds until n messages were recorded.
    bool waitfor(size_t n)
    {
        for (int i = 0; i < 500 && messages().size() < n; i++) usleep(10000);
        return messages().size() >= n;
    }

private:
    void serve()
    {
        while (!stop_) {
            struct pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int fd = accept4(listener_, NULL, NULL, SOCK_CLOEXEC);
            if (fd < 0) continue;
            connections_++;
            handle(fd);
            handled_++;
        }
    }

    void handle(int fd)
    {
        std::vector<char> storage(65536);
        char *buf = storage.data();
        if (behaviour_ == Behaviour::ResetEarly || behaviour_ == Behaviour::ResetAtAccept ||
            behaviour_ == Behaviour::ResetAfter100) {
            size_t want = (behaviour_ == Behaviour::ResetEarly)      ? 1
                          : (behaviour_ == Behaviour::ResetAtAccept) ? 0
                                                                     : 100;
            for (size_t have = 0; have < want;) {
                struct pollfd p = {fd, POLLIN, 0};
                poll(&p, 1, 5000);
                ssize_t got = recv(fd, buf, want - have, 0);
                if (got <= 0) break;
                have += (size_t)got;
            }
            resetconnection(fd);
            return;
        }
        std::string data;
        ssize_t got = 1;
        while (got > 0 && !stop_) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            got = recv(fd, buf, storage.size(), 0);
            if (got > 0) data.append(buf, (size_t)got);
            if (got > 0) bytesread_ += (size_t)got;
            if (behaviour_ == Behaviour::SlowReader) usleep(5000);
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            messages_.push_back(data);
            endings_.push_back(got == 0 ? "eof" : got < 0 ? strerror(errno) : "stopped");
        }
        if (behaviour_ == Behaviour::Stall) {
            held_.push_back(fd);
            return;
        }
        if (behaviour_ == Behaviour::RandomBytes) {
            std::string junk = randomtext(100000, 7);
            send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        }
        if (behaviour_ == Behaviour::Flood) {
            std::string chunk(1 << 16, 'f');
            while (!stop_ && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {}
        }
        if (behaviour_ == Behaviour::EndlessHeaders) {
            std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
            send(fd, "HTTP/1.0 200 OK\r\n", 17, MSG_NOSIGNAL);
            while (!stop_ && send(fd, line.data(), line.size(), MSG_NOSIGNAL) > 0) usleep(20000);
        }
        if (behaviour_ == Behaviour::ResetInAnswer) {
            send(fd, "half of an ans", 14, MSG_NOSIGNAL);
            usleep(100000);
            resetconnection(fd);
            return;
        }
        for (const std::string &chunk : answer_) {
            send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            usleep((useconds_t)pause_ms_ * 1000);
        }
        close(fd);
    }

    Behaviour behaviour_;
    std::vector<std::string> answer_;
    int pause_ms_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> handled_{0};
    std::atomic<size_t> bytesread_{0};
    std::mutex lock_;
    std::vector<std::string> messages_;
    std::vector<std::string> endings_;
    std::vector<int> held_;
    std::thread thread_;
};

// A fresh temporary directory as ZARVOHOME, with System V keys not in use. Every resource keyed
// on it is removed at destruction, with the directory, whatever the test left behind.
class TempHome {
public:
    explicit TempHome(const char *under = getenv("ZARVO_TEST_TMP"))
    {
        std::string root = (under && *under) ? under : "/tmp";
        mkdir(root.c_str(), 0755);
        for (int tries = 0; tries < 20 && path_.empty(); tries++) {
            std::string name = root + "/zarvohome.XXXXXX";
            if (!mkdtemp(&name[0])) break;
            path_ = name;
            chmod(path_.c_str(), 0755);
            for (int proj = 1; proj <= 11; proj++) {
                if (keyinuse(proj)) path_.clear();
            }
            if (path_.empty()) rmdir(name.c_str());
        }
        EXPECT_FALSE(path_.empty()) << "no temporary ZARVOHOME with unused keys";
        setenv("ZARVOHOME", path_.c_str(), 1);
    }
    ~TempHome()
    {
        for (int proj = 1; proj <= 11; proj++) {
            key_t key = ftok(path_.c_str(), proj);
            int id;
            if ((id = shmget(key, 0, 0)) != -1) shmctl(id, IPC_RMID, NULL);
            if ((id = semget(key, 0, 0)) != -1) semctl(id, 0, IPC_RMID);
            if ((id = msgget(key, 0)) != -1) msgctl(id, IPC_RMID, NULL);
        }
        rmdir(path_.c_str());
        unsetenv("ZARVOHOME");
    }
    const std::string &path() const { return path_; }
    bool keyinuse(int proj) const
    {
        key_t key = ftok(path_.c_str(), proj);
        return shmget(key, 0, 0) != -1 || semget(key, 0, 0) != -1 || msgget(key, 0) != -1;
    }

private:
    std::string path_;
};

inline int OpenDescriptors()
{
    int n = -1; // the directory stream's own descriptor
    DIR *d = opendir("/proc/self/fd");
    while (struct dirent *e = readdir(d)) n += (e->d_name[0] != '.');
    closedir(d);
    return n;
}

// Checks a combined message's header strictly and splits it; returns what is wrong, or "".
inline std::string SplitCombo(const std::string &msg, std::vector<std::string> &parts)
{
    parts.clear();
    std::vector<msgspan_t> spans;
    const char *why = combo_parse(msg, spans);
    if (why) return why;
    for (const msgspan_t &span : spans)
        parts.push_back(msg.substr(span.start, span.end - span.start));
    return "";
}

// Everything written to standard output while body runs.
inline std::string CaptureStdout(const std::function<void()> &body)
{
    fflush(stdout);
    FILE *f = tmpfile();
    int saved = dup(1);
    dup2(fileno(f), 1);
    body();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;) out += (char)c;
    fclose(f);
    return out;
}

} // namespace msgtest

#endif
