// Loopback UDP relay that delays every datagram, for benchmarks over a slower network on a
// kernel without traffic shaping.
//
//   udprelay --delay-ms=D --ports-file=F TARGETPORT...
//
// For each target port on 127.0.0.1 the relay binds a listening port on 127.0.0.1 (chosen
// by the kernel) and writes the listening ports, one line each in the order of the targets,
// to F once all are bound (written to a temporary name and renamed, so a reader never sees
// half a file). A datagram from a client is held D milliseconds (at least D, at most about
// one more) and then sent to the target from an upstream socket of that client's own, so
// answers can be told apart; an answer is held D milliseconds as well and sent back to the
// client from the listening port. Order is kept in both directions. The relay runs until
// SIGTERM or SIGINT. Upstream sockets stay open until the end, one per client address, so
// the soft descriptor limit is raised to the hard one.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

volatile sig_atomic_t stopping = 0;

void onSignal(int) { stopping = 1; }

struct Endpoint {
  int fd;
  size_t listenIdx;    // which listening port (and so which target) this belongs to
  bool upstream;       // socket connected to the target on behalf of one client
  sockaddr_in client;  // for upstream sockets: the client to answer
};

struct Packet {
  long long due;  // CLOCK_MONOTONIC nanoseconds
  int fd;
  bool connected;  // send() on a connected upstream socket, else sendto(dest)
  sockaddr_in dest;
  std::string data;
};

long long nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

int udpSocket() { return socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

}  // namespace

int main(int argc, char **argv) {
  long long delayNs = 10 * 1000000LL;
  const char *portsFile = nullptr;
  std::vector<int> targets;
  for (int i = 1; i < argc; i++) {
    if (strncmp(argv[i], "--delay-ms=", 11) == 0) delayNs = atoll(argv[i] + 11) * 1000000LL;
    else if (strncmp(argv[i], "--ports-file=", 13) == 0) portsFile = argv[i] + 13;
    else if (atoi(argv[i]) > 0 && atoi(argv[i]) < 65536) targets.push_back(atoi(argv[i]));
    else {
      fprintf(stderr, "udprelay: bad argument '%s'\n", argv[i]);
      return 2;
    }
  }
  if (!portsFile || targets.empty()) {
    fprintf(stderr, "usage: udprelay --delay-ms=D --ports-file=F TARGETPORT...\n");
    return 2;
  }

  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) {
    perror("udprelay: epoll_create1");
    return 1;
  }
  std::vector<std::unique_ptr<Endpoint>> endpoints;
  std::vector<int> listenFds;
  auto watch = [&](Endpoint *e) {
    struct epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = e;
    return epoll_ctl(ep, EPOLL_CTL_ADD, e->fd, &ev) == 0;
  };

  std::string ports;
  for (size_t i = 0; i < targets.size(); i++) {
    int fd = udpSocket();
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
      perror("udprelay: listening socket");
      return 1;
    }
    endpoints.push_back(std::unique_ptr<Endpoint>(new Endpoint{fd, i, false, {}}));
    listenFds.push_back(fd);
    if (!watch(endpoints.back().get())) {
      perror("udprelay: epoll_ctl");
      return 1;
    }
    ports += std::to_string(ntohs(addr.sin_port)) + "\n";
  }
  std::string tmp = std::string(portsFile) + ".tmp";
  FILE *pf = fopen(tmp.c_str(), "w");
  if (!pf || fputs(ports.c_str(), pf) < 0 || fclose(pf) != 0 || rename(tmp.c_str(), portsFile) != 0) {
    perror("udprelay: ports file");
    return 1;
  }

  // One upstream socket per (listening port, client address).
  std::map<std::pair<size_t, std::pair<uint32_t, uint16_t>>, Endpoint *> flows;
  // The delay is the same for every datagram, so one queue in arrival order is also in
  // order of release.
  std::deque<Packet> queue;
  std::vector<char> buf(65536);
  std::vector<struct epoll_event> events(256);
  long long relayed = 0, dropped = 0;

  while (!stopping) {
    int waitMs = -1;
    if (!queue.empty()) {
      long long left = queue.front().due - nowNs();
      waitMs = left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
    }
    int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), waitMs);
    if (n < 0 && errno != EINTR) {
      perror("udprelay: epoll_wait");
      return 1;
    }
    for (int k = 0; k < n; k++) {
      Endpoint *e = static_cast<Endpoint *>(events[k].data.ptr);
      for (;;) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t got = recvfrom(e->fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (got < 0) break;
        Packet p{nowNs() + delayNs, -1, false, {}, std::string(buf.data(), static_cast<size_t>(got))};
        if (e->upstream) {
          p.fd = listenFds[e->listenIdx];
          p.dest = e->client;
        } else {
          auto key = std::make_pair(e->listenIdx, std::make_pair(from.sin_addr.s_addr, from.sin_port));
          auto it = flows.find(key);
          if (it == flows.end()) {
            int fd = udpSocket();
            sockaddr_in target = loopback(targets[e->listenIdx]);
            if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0) {
              if (fd >= 0) close(fd);
              dropped++;
              continue;
            }
            endpoints.push_back(std::unique_ptr<Endpoint>(new Endpoint{fd, e->listenIdx, true, from}));
            if (!watch(endpoints.back().get())) {
              dropped++;
              continue;
            }
            it = flows.emplace(key, endpoints.back().get()).first;
          }
          p.fd = it->second->fd;
          p.connected = true;
        }
        queue.push_back(std::move(p));
      }
    }
    long long now = nowNs();
    while (!queue.empty() && queue.front().due <= now) {
      Packet &p = queue.front();
      ssize_t sent = p.connected ? send(p.fd, p.data.data(), p.data.size(), 0)
                                 : sendto(p.fd, p.data.data(), p.data.size(), 0,
                                          reinterpret_cast<sockaddr *>(&p.dest), sizeof p.dest);
      if (sent < 0) dropped++;
      else relayed++;
      queue.pop_front();
    }
  }
  fprintf(stderr, "udprelay: relayed=%lld dropped=%lld flows=%zu\n", relayed, dropped, flows.size());
  for (auto &e : endpoints) close(e->fd);
  close(ep);
  return 0;
}
