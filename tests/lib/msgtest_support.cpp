#include "msgtest_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "errormsg.h"

namespace msgtest {

void InChild(const std::function<void()> &body, int limit_s)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_NE(pid, -1) << strerror(errno);
    if (pid == 0) {
        alarm((unsigned)limit_s);
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "test child ended by signal " << WTERMSIG(status);
    }
    else {
        EXPECT_EQ(WEXITSTATUS(status), 0) << "test child reported failures (see above)";
    }
}

namespace {

int listenon(int backlog, int &port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof(a)) != 0) return -1;
    if (backlog >= 0 && listen(fd, backlog) != 0) return -1;
    socklen_t alen = sizeof(a);
    getsockname(fd, (struct sockaddr *)&a, &alen);
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace

LoopbackServer::LoopbackServer(Behaviour b, std::vector<std::string> answer, int pause_ms)
    : behaviour_(b), answer_(std::move(answer)), pause_ms_(pause_ms)
{
    listener_ = listenon(16, port_);
    EXPECT_GE(listener_, 0) << "cannot listen on loopback";
    thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer()
{
    stop_ = true;
    thread_.join();
    for (int fd : held_) close(fd);
    if (listener_ >= 0) close(listener_);
}

std::vector<std::string> LoopbackServer::messages()
{
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
}

bool LoopbackServer::waitfor(size_t n, int ms)
{
    for (int waited = 0; waited < ms; waited += 10) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (messages_.size() >= n) return true;
        }
        usleep(10000);
    }
    return false;
}

void LoopbackServer::serve()
{
    while (!stop_) {
        struct pollfd p = {listener_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        int fd = accept4(listener_, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0) continue;
        connections_++;
        handle(fd);
    }
}

void LoopbackServer::handle(int fd)
{
    char buf[65536];

    if (behaviour_ == Behaviour::ResetEarly) {
        struct pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, 5000);
        recv(fd, buf, 1, 0);
        struct linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        close(fd);
        return;
    }

    std::string data;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, 20);
        if (stop_) break;
        if (n <= 0) continue;
        ssize_t got = recv(fd, buf, sizeof(buf), 0);
        if (got <= 0) break;
        data.append(buf, (size_t)got);
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        messages_.push_back(data);
    }

    if (behaviour_ == Behaviour::Stall) {
        held_.push_back(fd);
        return;
    }
    for (const std::string &chunk : answer_) {
        send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (pause_ms_ > 0) usleep((useconds_t)pause_ms_ * 1000);
    }
    close(fd);
}

ClosedPort::ClosedPort()
{
    fd_ = listenon(-1, port_);
    EXPECT_GE(fd_, 0);
}

ClosedPort::~ClosedPort()
{
    if (fd_ >= 0) close(fd_);
}

PendingPort::PendingPort()
{
    listener_ = listenon(0, port_);
    EXPECT_GE(listener_, 0);
    // The one connection the queue holds; every later connect waits for a SYN-ACK in vain.
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port_);
    EXPECT_EQ(connect(filler_, (struct sockaddr *)&a, sizeof(a)), 0) << strerror(errno);
}

PendingPort::~PendingPort()
{
    if (filler_ >= 0) close(filler_);
    if (listener_ >= 0) close(listener_);
}

TempHome::TempHome()
{
    const char *base = getenv("ZARVO_TEST_TMP");
    std::string root = (base && *base) ? base : "/tmp";
    mkdir(root.c_str(), 0755);

    const char *old = getenv("ZARVOHOME");
    hadhome_ = (old != NULL);
    if (old) oldhome_ = old;

    for (int tries = 0; tries < 20; tries++) {
        std::string tmpl = root + "/zarvohome.XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        if (!mkdtemp(name.data())) break;
        path_ = name.data();
        chmod(path_.c_str(), 0755);

        bool clash = false;
        for (int proj = 1; proj <= 11; proj++) clash = clash || keyinuse(proj);
        if (!clash) break;
        rmdir(path_.c_str());
        path_.clear();
    }
    EXPECT_FALSE(path_.empty()) << "no temporary ZARVOHOME with unused IPC keys";
    setenv("ZARVOHOME", path_.c_str(), 1);
}

TempHome::~TempHome()
{
    if (!path_.empty()) {
        removeresources();
        rmdir(path_.c_str());
    }
    if (hadhome_) setenv("ZARVOHOME", oldhome_.c_str(), 1);
    else unsetenv("ZARVOHOME");
}

bool TempHome::keyinuse(int proj) const
{
    key_t key = ftok(path_.c_str(), proj);
    return shmget(key, 0, 0) != -1 || semget(key, 0, 0) != -1 || msgget(key, 0) != -1;
}

void TempHome::removeresources() const
{
    for (int proj = 1; proj <= 11; proj++) {
        key_t key = ftok(path_.c_str(), proj);
        int id = shmget(key, 0, 0);
        if (id != -1) shmctl(id, IPC_RMID, NULL);
        id = semget(key, 0, 0);
        if (id != -1) semctl(id, 0, IPC_RMID);
        id = msgget(key, 0);
        if (id != -1) msgctl(id, IPC_RMID, NULL);
    }
}

int OpenDescriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') n++;
    }
    closedir(d);
    return n - 1; // the directory stream's own descriptor
}

std::string SplitCombo(const std::string &msg, std::vector<std::string> &parts)
{
    parts.clear();
    if (msg.compare(0, 8, "extcombo") != 0) return "does not begin with extcombo";
    size_t eol = msg.find('\n');
    if (eol == std::string::npos) return "no line feed after the offsets";

    std::vector<size_t> offsets;
    size_t p = 8;
    while (p < eol) {
        if (msg[p] != ' ' || p + 1 >= eol || !isdigit((unsigned char)msg[p + 1])) return "offsets malformed";
        p++;
        size_t v = 0;
        while (p < eol && isdigit((unsigned char)msg[p])) v = v * 10 + (size_t)(msg[p++] - '0');
        offsets.push_back(v);
    }
    if (offsets.size() < 2) return "fewer than two offsets";
    if (eol >= offsets[0]) return "offsets reach into the messages";
    if (msg.find_first_not_of(' ', eol + 1) < offsets[0]) return "header area not blank after the offsets";
    for (size_t i = 1; i < offsets.size(); i++) {
        if (offsets[i] < offsets[i - 1]) return "offsets decrease";
        parts.push_back(msg.substr(offsets[i - 1], offsets[i] - offsets[i - 1]));
    }
    if (offsets.back() != msg.size()) return "last offset is not the length";
    return "";
}

std::string RecordText(const char *record, size_t datalen)
{
    size_t total = sizeof(long) + datalen;
    return std::string(record, strnlen(record, total));
}

std::string CaptureStdout(const std::function<void()> &body)
{
    fflush(stdout);
    char name[] = "/tmp/zarvo-stdout.XXXXXX";
    int fd = mkstemp(name);
    int saved = dup(1);
    dup2(fd, 1);
    body();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);

    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) out.append(buf, (size_t)n);
    close(fd);
    unlink(name);
    return out;
}

std::string TakeErrors()
{
    std::string s = errbuf ? errbuf : "";
    flush_errbuf();
    return s;
}

} // namespace msgtest
