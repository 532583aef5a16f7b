// Helpers for the messaging client's tests: child-process isolation, loopback servers that
// behave like good and bad server daemons, a fresh ZARVOHOME with its System V resources, and
// the checker of combined messages.
#ifndef MSGTEST_SUPPORT_H
#define MSGTEST_SUPPORT_H

#include <string>
#include <vector>
#include <functional>
#include <atomic>
#include <mutex>
#include <thread>

#include <sys/types.h>

namespace msgtest {

// Runs body in a forked child and expects it to end without failures. The messaging client
// keeps process-wide state (transport set-up, cached server, combined-message settings), so
// every test that depends on it runs in a fresh child. The child is killed after limit_s.
void InChild(const std::function<void()> &body, int limit_s = 60);

// What a loopback server does with each connection.
enum class Behaviour {
    Answer,        // read until the client half-closes, record, send the answer chunks, close
    Stall,         // read until the client half-closes, record, then keep the connection open
    ResetEarly,    // read one byte, then reset the connection
};

// A server on 127.0.0.1 and a free port, served by a thread, one connection at a time.
class LoopbackServer {
public:
    explicit LoopbackServer(Behaviour b = Behaviour::Answer, std::vector<std::string> answer = {},
                            int pause_ms = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    int port() const { return port_; }
    std::string recipient() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> messages();
    int connections() const { return connections_.load(); }
    // Waits up to ms milliseconds until n messages were recorded.
    bool waitfor(size_t n, int ms = 5000);

private:
    void serve();
    void handle(int fd);

    Behaviour behaviour_;
    std::vector<std::string> answer_;
    int pause_ms_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex lock_;
    std::vector<std::string> messages_;
    std::vector<int> held_;
    std::thread thread_;
};

// A port on 127.0.0.1 that refuses connections: bound, never listening.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    int port() const { return port_; }
    std::string recipient() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A port on 127.0.0.1 where a connect never completes: a listener whose queue is full.
class PendingPort {
public:
    PendingPort();
    ~PendingPort();
    std::string recipient() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int listener_ = -1;
    int filler_ = -1;
    int port_ = 0;
};

// A fresh temporary directory set as ZARVOHOME, whose System V keys are not in use. Every
// resource keyed on it (channels, semaphores, the feedback queue) is removed at destruction,
// together with the directory, whatever the test left behind.
class TempHome {
public:
    TempHome();
    ~TempHome();
    const std::string &path() const { return path_; }
    bool keyinuse(int proj) const;

private:
    void removeresources() const;
    std::string path_;
    std::string oldhome_;
    bool hadhome_ = false;
};

// Number of open descriptors of this process.
int OpenDescriptors();

// Splits a combined message after checking its header strictly; returns why it is malformed,
// or "" and the messages in parts.
std::string SplitCombo(const std::string &msg, std::vector<std::string> &parts);

// The text of one feedback-queue record: the type word's bytes and the data, up to the NUL.
std::string RecordText(const char *record, size_t datalen);

// Everything written to stdout while body runs.
std::string CaptureStdout(const std::function<void()> &body);

// The saved error messages (errbuf), then emptied.
std::string TakeErrors();

} // namespace msgtest

#endif
