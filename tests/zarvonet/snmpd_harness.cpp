// Private snmpd agents, quiet UDP ports and client configurations for tests.
#include "snmpd_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <pwd.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

extern char **environ;

namespace snmptest {

const char *const kCommunity = "zarvotest";
const char *const kMd5User = "md5user";
const char *const kMd5Pass = "md5passphrase1";
const char *const kShaUser = "shauser";
const char *const kShaPass = "shapassphrase1";

const std::vector<V3User> &v3Users()
{
    static const std::vector<V3User> users = {
        {kMd5User, "md5", kMd5Pass, "", ""},
        {kShaUser, "sha1", kShaPass, "", ""},
        {"sha512user", "sha512", "sha512passphrase", "", ""},
        {"sha256aes", "sha256", "sha256passphrase", "aes", "aes128privphrase"},
        {"sha512aes256", "sha512", "sha512passphrase", "aes256", "aes256privphrase"},
        {"shades", "sha1", "shapassphrase1", "des", "desprivphrase1"},
    };
    return users;
}

const char *const kContextUser = "ctxuser";
const char *const kContextPass = "ctxpassphrase1";
const char *const kContextName = "ctx";
const char *const kContextRoot = ".1.3.6.1.4.1.99997";
const char *const kContextSysName = ".1.3.6.1.4.1.99997.5.0";

const char *const kBigRoot = ".1.3.6.1.4.1.99998";
const char *const kBigNameColumn = ".1.3.6.1.4.1.99998.1.1.2";
const char *const kBigValueColumn = ".1.3.6.1.4.1.99998.1.1.3";
const int kBigRows = 500;

const char *const kTextColumn = ".1.3.6.1.4.1.99995.1";

const std::vector<std::string> &textValues()
{
    static const std::vector<std::string> values = {
        "x\n[memory]\nInterval=1\n\tsysName = \"forged\"",
        "Stack 1\r\n\tC:\\temp",
    };
    return values;
}

const char *const kSysNameOid = ".1.3.6.1.2.1.1.5.0";
const char *const kSysName = "harness-agent";
const char *const kSysLocationOid = ".1.3.6.1.2.1.1.6.0";
const char *const kSysLocation = "harness-lab";

const char *const kTableRoot = ".1.3.6.1.4.1.99999";
const char *const kNameColumn = ".1.3.6.1.4.1.99999.1.1.2";
const char *const kNumberColumn = ".1.3.6.1.4.1.99999.1.1.3";
const char *const kMinusColumn = ".1.3.6.1.4.1.99999.1.1.4";
const char *const kAddrColumn = ".1.3.6.1.4.1.99999.2.1.2";
const char *const kLongScalar = ".1.3.6.1.4.1.99999.3.0";
const int kLongValueLength = 1500;
const char *const kLastRoot = ".1.3.6.1.6.3.9999";
const char *const kLastColumn = ".1.3.6.1.6.3.9999.1.1";
const int kMaxResponseSize = 4000;
const char *const kSimRecordings = "/usr/share/doc/snmpsim/examples/data";

namespace {

const char *const kSnmpdPath = "/usr/sbin/snmpd";
const char *const kSnmpsimdPath = "/usr/bin/snmpsimd";
const char *const kSysUpTimeOid = "1.3.6.1.2.1.1.3.0";

// Numeric comparison of dotted OIDs, the order in which an agent walks them.
bool oidLess(const std::string &a, const std::string &b)
{
    std::vector<unsigned long> x, y;
    for (auto *v : {&x, &y}) {
        const std::string &s = (v == &x) ? a : b;
        std::istringstream in(s);
        std::string part;
        while (std::getline(in, part, '.'))
            if (!part.empty()) v->push_back(strtoul(part.c_str(), nullptr, 10));
    }
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

std::vector<PassVar> buildTable()
{
    const char *names[] = {"lo", "eth1", "eth0"};
    const char *numbers[] = {"1000", "2000", "3000"};
    const char *minus[] = {"-1", "-100", "2147483647"};
    std::vector<PassVar> t;
    for (int row = 1; row <= 3; row++) {
        std::string idx = "." + std::to_string(row);
        t.push_back({std::string(kNameColumn) + idx, "string", names[row - 1]});
        t.push_back({std::string(kNumberColumn) + idx, "gauge", numbers[row - 1]});
        t.push_back({std::string(kMinusColumn) + idx, "integer", minus[row - 1]});
    }
    const char *addrs[][2] = {{"127.0.0.1", "1"}, {"192.168.1.10", "2"}, {"10.0.0.2", "3"}};
    for (auto &a : addrs) t.push_back({std::string(kAddrColumn) + "." + a[0], "integer", a[1]});
    t.push_back({kLongScalar, "string", std::string(kLongValueLength, 'x')});
    t.push_back({std::string(kLastColumn) + ".1", "string", "last-a"});
    t.push_back({std::string(kLastColumn) + ".2", "string", "last-b"});
    std::stable_sort(t.begin(), t.end(),
                     [](const PassVar &l, const PassVar &r) { return oidLess(l.oid, r.oid); });
    return t;
}

// The persistent pass script: loads its table (OID, type, value separated by tabs, in walk
// order) and answers PING, get, getnext and set on standard input, flushing every answer. One
// process serves a root for the agent's whole life, so an agent under load answers without
// starting a program for every variable; a get finds its row directly, so a request for many
// rows of a large table costs no scan per row.
const char *const kPersistAwk =
    "function cmp(a, b,   x, y, n, m, i) {\n"
    "  n = split(a, x, \".\"); m = split(b, y, \".\")\n"
    "  for (i = 2; i <= n && i <= m; i++) {\n"
    "    if (x[i] + 0 < y[i] + 0) return -1\n"
    "    if (x[i] + 0 > y[i] + 0) return 1\n"
    "  }\n"
    "  return (n < m) ? -1 : (n > m)\n"
    "}\n"
    "BEGIN { FS = \"\\t\"; while ((getline line < table) > 0) { split(line, f, \"\\t\"); n++;\n"
    "  o[n] = f[1]; t[n] = f[2]; v[n] = f[3]; row[f[1]] = n } FS = \" \" }\n"
    "$0 == \"PING\" { print \"PONG\"; fflush(); next }\n"
    "$0 == \"set\" { getline; getline; print \"not-writable\"; fflush(); next }\n"
    "$0 == \"get\" || $0 == \"getnext\" {\n"
    "  mode = $0; if ((getline req) <= 0) exit\n"
    "  if (mode == \"get\") i = (req in row) ? row[req] : n + 1\n"
    "  else for (i = 1; i <= n; i++) if (cmp(o[i], req) > 0) break\n"
    "  if (i <= n) { print o[i]; print t[i]; print v[i] } else print \"NONE\"\n"
    "  fflush(); next\n"
    "}\n";

bool writeFile(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    return out && chmod(path.c_str(), mode) == 0;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A UDP socket (close-on-exec) bound to 127.0.0.1 on a free port from the kernel's
// ephemeral (high) range, its port in *port; -1 on failure.
int loopbackSocket(int *port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd >= 0 && (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
                    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)) {
        close(fd);
        fd = -1;
    }
    *port = fd >= 0 ? ntohs(sa.sin_port) : 0;
    return fd;
}

// A free UDP port on 127.0.0.1; 0 on failure.
int freeUdpPort()
{
    int port;
    int fd = loopbackSocket(&port);
    if (fd >= 0) close(fd);
    return port;
}

std::string loopbackAddress(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// BER pieces for the one readiness request; every length here is below 256.
std::string tlv(unsigned char tag, const std::string &content)
{
    std::string s(1, static_cast<char>(tag));
    if (content.size() < 128) {
        s += static_cast<char>(content.size());
    }
    else {
        s += static_cast<char>(0x81);
        s += static_cast<char>(content.size());
    }
    return s + content;
}

std::string berInt(unsigned value)
{
    std::string bytes;
    do {
        bytes.insert(bytes.begin(), static_cast<char>(value & 0xff));
        value >>= 8;
    } while (value);
    if (static_cast<unsigned char>(bytes[0]) & 0x80) bytes.insert(bytes.begin(), '\0');
    return tlv(0x02, bytes);
}

std::string berOid(const char *dotted)
{
    std::vector<unsigned> sub;
    for (const char *p = dotted; *p;) {
        sub.push_back(static_cast<unsigned>(strtoul(p, const_cast<char **>(&p), 10)));
        if (*p == '.') p++;
    }
    std::string body(1, static_cast<char>(sub[0] * 40 + sub[1]));
    for (size_t i = 2; i < sub.size(); i++) {
        std::string enc(1, static_cast<char>(sub[i] & 0x7f));
        for (unsigned v = sub[i] >> 7; v; v >>= 7)
            enc.insert(enc.begin(), static_cast<char>(0x80 | (v & 0x7f)));
        body += enc;
    }
    return tlv(0x06, body);
}

std::string v2cGet(const char *community, unsigned reqid, const char *oid)
{
    std::string varbind = tlv(0x30, berOid(oid) + std::string("\x05\x00", 2));
    std::string pdu = tlv(0xa0, berInt(reqid) + berInt(0) + berInt(0) + tlv(0x30, varbind));
    return tlv(0x30, berInt(1) + tlv(0x04, community) + pdu);
}

void sleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// This process's environment with the given variables replaced or added; MIBDIRS is dropped
// so that only the library's built-in MIB directory list applies.
std::vector<std::string> environmentWith(const EnvVars &vars)
{
    std::vector<std::string> envs;
    for (char **e = environ; *e; e++) {
        bool replaced = strncmp(*e, "MIBDIRS=", 8) == 0;
        for (auto &kv : vars)
            if (strncmp(*e, kv.first.c_str(), kv.first.size()) == 0 && (*e)[kv.first.size()] == '=')
                replaced = true;
        if (!replaced) envs.push_back(*e);
    }
    for (auto &kv : vars) envs.push_back(kv.first + "=" + kv.second);
    return envs;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (auto &s : strings) p.push_back(&s[0]);
    p.push_back(nullptr);
    return p;
}

// In a forked child: the child must not outlive a test process that crashes.
void dieWithParent(pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
}

// In a forked child: standard input from /dev/null, output and errors to the file.
void redirectOutput(const char *path)
{
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
        close(out);
    }
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
}

std::vector<PassVar> buildBigTable()
{
    std::vector<PassVar> t;
    for (const char *column : {kBigNameColumn, kBigValueColumn}) {
        for (int row = 1; row <= kBigRows; row++) {
            if (column == kBigNameColumn)
                t.push_back({std::string(column) + "." + std::to_string(row), "string",
                             "row-" + std::to_string(row)});
            else
                t.push_back({std::string(column) + "." + std::to_string(row), "integer",
                             std::to_string(row * 7)});
        }
    }
    return t;
}

} // namespace

const std::vector<PassVar> &passTable()
{
    static const std::vector<PassVar> table = buildTable();
    return table;
}

const std::vector<PassVar> &bigTable()
{
    static const std::vector<PassVar> table = buildBigTable();
    return table;
}

TempDir::TempDir(const char *prefix)
{
    const char *base = getenv("ZARVO_TEST_TMP");
    std::string root = (base && *base) ? base : "/tmp";
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    std::string templ = root + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir()
{
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

EnvVars privateSnmpEnv(const std::string &confdir, const std::string &persistdir)
{
    return {{"SNMPCONFPATH", confdir}, {"SNMP_PERSISTENT_DIR", persistdir}, {"MIBS", ""}};
}

ClientConfig::ClientConfig(int timeoutSeconds, int retries) : dir_("snmpclient")
{
    if (!dir_.ok()) return;
    std::string persist = dir_.path() + "/persist";
    ok_ = mkdir(persist.c_str(), 0700) == 0 &&
          writeFile(dir_.path() + "/snmp.conf", "timeout " + std::to_string(timeoutSeconds) +
                                                    "\nretries " + std::to_string(retries) + "\n");
}

EnvVars ClientConfig::env() const
{
    return privateSnmpEnv(dir_.path(), dir_.path() + "/persist");
}

void ClientConfig::apply() const
{
    for (auto &kv : env()) setenv(kv.first.c_str(), kv.second.c_str(), 1);
}

QuietPort::QuietPort()
{
    fd_ = loopbackSocket(&port_);
}

QuietPort::~QuietPort()
{
    if (fd_ >= 0) close(fd_);
}

std::string QuietPort::address() const
{
    return loopbackAddress(port_);
}

std::vector<int> QuietPort::takeSenders()
{
    std::vector<int> ports;
    char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    while (fd_ >= 0 && recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT,
                                reinterpret_cast<sockaddr *>(&from), &len) >= 0) {
        ports.push_back(ntohs(from.sin_port));
        len = sizeof from;
    }
    return ports;
}

bool agentAnswers(int port, const char *community, int waitMs)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    std::string packet =
        v2cGet(community, static_cast<unsigned>(getpid()) & 0x7fffffff, kSysUpTimeOid);
    bool answered = false;
    if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa) ==
        static_cast<ssize_t>(packet.size())) {
        struct pollfd p = {fd, POLLIN, 0};
        char buf[2048];
        answered = poll(&p, 1, waitMs) == 1 && recv(fd, buf, sizeof buf, 0) > 0;
    }
    close(fd);
    return answered;
}

CommandResult runCommand(const std::vector<std::string> &argv, const EnvVars &env, int timeoutSec)
{
    CommandResult r;
    TempDir dir("command");
    if (!dir.ok() || argv.empty()) {
        r.err = "runCommand: cannot create a temporary directory";
        return r;
    }
    std::string outPath = dir.path() + "/out", errPath = dir.path() + "/err";
    std::vector<std::string> args = argv, envs = environmentWith(env);
    std::vector<char *> argp = pointers(args), envp = pointers(envs);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        r.err = std::string("runCommand: fork failed: ") + strerror(errno);
        return r;
    }
    if (pid == 0) {
        setpgid(0, 0);
        dieWithParent(parent);
        redirectOutput(outPath.c_str());
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, 2);
        execve(argp[0], argp.data(), envp.data());
        dprintf(2, "runCommand: cannot run %s: %s\n", argp[0], strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);
    int status = 0;
    long long waitedMs = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (waitedMs >= timeoutSec * 1000LL && !r.timedOut) {
            r.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
        }
        sleepMs(5);
        waitedMs += 5;
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

JunkPort::JunkPort(std::string reply)
{
    int port;
    int fd = loopbackSocket(&port);
    if (fd < 0) return;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        dieWithParent(parent);
        char buf[4096];
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            if (recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromLen) >=
                0)
                sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from),
                       fromLen);
        }
    }
    close(fd);
    if (pid > 0) {
        pid_ = pid;
        port_ = port;
    }
}

JunkPort::~JunkPort()
{
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
}

std::string JunkPort::address() const
{
    return loopbackAddress(port_);
}

LocalAgent::LocalAgent(const char *name, std::vector<std::string> logFiles, int waitSteps,
                       int stepMs)
    : name_(name), dir_(name), logFiles_(std::move(logFiles)), waitSteps_(waitSteps),
      stepMs_(stepMs)
{}

LocalAgent::~LocalAgent()
{
    stop();
}

std::string LocalAgent::address() const
{
    return loopbackAddress(port_);
}

std::string LocalAgent::logText() const
{
    std::string text;
    for (const std::string &file : logFiles_)
        if (dir_.ok()) text += readFile(dir_.path() + "/" + file);
    return text;
}

bool LocalAgent::prepare(std::string *)
{
    return true;
}

bool LocalAgent::launch(std::string *why)
{
    port_ = freeUdpPort();
    if (port_ == 0) {
        *why = std::string(name_) + ": no free UDP port on 127.0.0.1";
        return false;
    }
    std::vector<std::string> argv;
    EnvVars env;
    if (!command(&argv, &env, why) ||
        !process_.start(argv, env, dir_.path() + "/" + logFiles_.back(), why))
        return false;
    std::string engine = std::string(name_) + ": " + argv[0];
    for (int step = 0; step < waitSteps_; step++) {
        if (!process_.running()) {
            *why = engine + " exited during start-up on port " + std::to_string(port_);
            return false;
        }
        if (agentAnswers(port_, readyCommunity_.c_str(), stepMs_)) return true;
    }
    process_.stop();
    *why = engine + " did not answer on " + address() + " within " +
           std::to_string(waitSteps_ * stepMs_ / 1000) + " seconds";
    return false;
}

bool LocalAgent::start(std::string *why)
{
    std::string dummy;
    if (!why) why = &dummy;
    if (running()) return true;
    if (!dir_.ok()) {
        *why = std::string(name_) + ": cannot create a temporary directory";
        return false;
    }
    if (!prepare(why)) return false;
    for (int attempt = 0; attempt < 5; attempt++) {
        if (launch(why)) return true;
        sleepMs(50);
    }
    std::string log = logText();
    if (log.size() > 600) log = log.substr(log.size() - 600);
    *why += "; log: " + log;
    return false;
}

SnmpAgent::SnmpAgent() : LocalAgent("SnmpAgent", {"snmpd.log", "snmpd.out"}, 100, 100)
{
    readyCommunity_ = kCommunity;
}

// The configuration names the agent's own port (the context's proxy), so it is written for
// every launch.
bool SnmpAgent::command(std::vector<std::string> *argv, EnvVars *env, std::string *why)
{
    const std::string &d = dir();
    std::string table, big;
    for (const PassVar &v : passTable()) table += v.oid + "\t" + v.type + "\t" + v.value + "\n";
    for (const PassVar &v : bigTable()) big += v.oid + "\t" + v.type + "\t" + v.value + "\n";
    // mawk reads a pipe in whole blocks unless told to read line by line. The table file is the
    // script's argument.
    std::string persistArgs = "-v table=\"$1\" -f '" + d + "/persist.awk'";
    std::string persist =
        "#!/bin/sh\nif awk -W version 2>/dev/null | grep -q mawk; then\n  exec awk -W interactive " +
        persistArgs + "\nfi\nexec awk " + persistArgs + "\n";
    std::ostringstream conf;
    conf << "rocommunity " << kCommunity << " 127.0.0.1\n";
    // The agent's names of the protocols of the hosts file's methods.
    auto agentName = [](const std::string &method) -> std::string {
        if (method == "md5") return "MD5";
        if (method == "sha1") return "SHA";
        if (method.compare(0, 3, "sha") == 0) return "SHA-" + method.substr(3);
        if (method == "aes") return "AES";
        return method == "aes256" ? "AES256" : "DES";
    };
    for (const V3User &u : v3Users()) {
        conf << "createUser " << u.name << " " << agentName(u.authMethod) << " " << u.authPass;
        if (*u.privMethod) conf << " " << agentName(u.privMethod) << " " << u.privPass;
        conf << "\nrouser " << u.name << (*u.privMethod ? " priv\n" : " auth\n");
    }
    conf << "createUser " << kContextUser << " SHA " << kContextPass << "\n"
         << "rouser " << kContextUser << " auth .1 " << kContextName << "\n"
         << "proxy -Cn " << kContextName << " -v 2c -c " << kCommunity << " " << address() << " "
         << kContextRoot << " .1.3.6.1.2.1.1\n"
         << "pass_persist " << kBigRoot << " " << d << "/persist.sh " << d << "/big.txt\n"
         << "sysName " << kSysName << "\n"
         << "sysLocation " << kSysLocation << "\n"
         << "dontLogTCPWrappersConnects yes\n"
         << "[snmp] sendMessageMaxSize " << kMaxResponseSize << "\n"
         << "pass_persist " << kTableRoot << " " << d << "/persist.sh " << d << "/table.txt\n"
         << "pass_persist " << kLastRoot << " " << d << "/persist.sh " << d << "/table.txt\n";
    // The configuration takes any octets in hex.
    for (size_t i = 0; i < textValues().size(); i++) {
        conf << "override " << kTextColumn << "." << i + 1 << " octet_str 0x";
        for (unsigned char c : textValues()[i])
            conf << "0123456789ABCDEF"[c >> 4] << "0123456789ABCDEF"[c & 15];
        conf << "\n";
    }
    conf << extraConfig_;
    bool ok = writeFile(d + "/table.txt", table) && writeFile(d + "/big.txt", big) &&
              writeFile(d + "/persist.awk", kPersistAwk) &&
              writeFile(d + "/persist.sh", persist, 0755) &&
              writeFile(d + "/snmpd.conf", conf.str()) &&
              (mkdir((d + "/persist").c_str(), 0700) == 0 || errno == EEXIST);
    if (!ok) *why = "SnmpAgent: cannot write the agent's files in " + d;
    *argv = {kSnmpdPath, "-f", "-C", "-c", d + "/snmpd.conf", "-Lf", d + "/snmpd.log"};
    argv->insert(argv->end(), {"-I", "-smux", "udp:" + address()});
    *env = privateSnmpEnv(d, d + "/persist");
    return ok;
}

SimAgent::SimAgent() : LocalAgent("SimAgent", {"snmpsimd.log"}, 300, 200) {}

void SimAgent::addRecording(const std::string &path, const std::string &name)
{
    recordings_.push_back({path[0] == '/' ? path : std::string(kSimRecordings) + "/" + path, name});
}

void SimAgent::addUser(const V3User &user)
{
    // The simulator's names of the protocols of the hosts file's methods.
    auto simName = [](const std::string &method) -> std::string {
        if (method == "aes" || method == "aes128") return "AES";
        if (method == "aes192") return "AES192BLMT";
        if (method == "aes256") return "AES256BLMT";
        if (method.compare(0, 3, "sha") == 0 && method.size() > 4) return "SHA" + method.substr(3);
        if (method == "sha1") return "SHA";
        std::string upper = method;
        for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return upper;
    };
    userArgs_.push_back(std::string("--v3-user=") + user.name);
    userArgs_.push_back(std::string("--v3-auth-key=") + user.authPass);
    userArgs_.push_back("--v3-auth-proto=" + simName(user.authMethod));
    if (*user.privMethod) {
        userArgs_.push_back(std::string("--v3-priv-key=") + user.privPass);
        userArgs_.push_back("--v3-priv-proto=" + simName(user.privMethod));
    }
}

// The data directory: each recording under its name, unpacked; the cache directory where
// the simulator keeps its indexes. Everything readable by the user the simulator runs as.
bool SimAgent::prepare(std::string *why)
{
    if (recordings_.empty()) {
        *why = "SimAgent: no recording to serve";
        return false;
    }
    readyCommunity_ = recordings_.front().second;
    const std::string &d = dir();
    std::string data = d + "/data", cache = d + "/cache";
    std::error_code ec;
    std::filesystem::create_directories(data, ec);
    std::filesystem::create_directories(cache, ec);
    if (ec || chmod(d.c_str(), 0755) != 0 || chmod(data.c_str(), 0755) != 0 ||
        chmod(cache.c_str(), 0777) != 0) {
        *why = "SimAgent: cannot create the data directories in " + d;
        return false;
    }
    for (const auto &rec : recordings_) {
        std::string source = rec.first;
        bool packed = source.size() > 3 && source.compare(source.size() - 3, 3, ".gz") == 0;
        if (packed) source.resize(source.size() - 3);
        std::string extension = std::filesystem::path(source).extension().string();
        std::string target = data + "/" + rec.second + extension;
        bool ok;
        if (packed) {
            CommandResult r = runCommand(
                {"/bin/sh", "-c", "exec gzip -dc \"$1\" > \"$2\"", "sh", rec.first, target}, {});
            ok = r.status == 0;
        }
        else {
            std::filesystem::copy_file(source, target,
                                       std::filesystem::copy_options::overwrite_existing, ec);
            ok = !ec;
        }
        if (!ok || chmod(target.c_str(), 0644) != 0) {
            *why = "SimAgent: cannot copy the recording " + rec.first + " to " + target;
            return false;
        }
    }
    return true;
}

bool SimAgent::command(std::vector<std::string> *argv, EnvVars *env, std::string *why)
{
    if (geteuid() == 0 && !process_.runAs("nobody", "nogroup")) {
        *why = "SimAgent: no user nobody or group nogroup to run the simulator as";
        return false;
    }
    *argv = {kSnmpsimdPath, "--data-dir=" + dir() + "/data", "--cache-dir=" + dir() + "/cache",
             "--agent-udpv4-endpoint=" + address()};
    argv->insert(argv->end(), userArgs_.begin(), userArgs_.end());
    *env = {{"HOME", dir()}};
    return true;
}

Daemon::~Daemon()
{
    stop();
}

bool Daemon::start(const std::vector<std::string> &argv, const EnvVars &env,
                   const std::string &logPath, std::string *why)
{
    std::string dummy;
    if (!why) why = &dummy;
    stop();
    if (argv.empty()) {
        *why = "Daemon: no command";
        return false;
    }
    std::vector<std::string> args = argv, envs = environmentWith(env);
    std::vector<char *> argp = pointers(args), envp = pointers(envs);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        *why = std::string("Daemon: fork failed: ") + strerror(errno);
        return false;
    }
    if (pid == 0) {
        // The log is opened before the user changes; the parent-death signal is set after,
        // because a change of user clears it.
        redirectOutput(logPath.c_str());
        if (runUid_ != static_cast<uid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(runGid_) != 0 || setuid(runUid_) != 0)) {
            dprintf(2, "Daemon: cannot run %s as user %u: %s\n", argp[0],
                    static_cast<unsigned>(runUid_), strerror(errno));
            _exit(127);
        }
        dieWithParent(parent);
        execve(argp[0], argp.data(), envp.data());
        dprintf(2, "Daemon: cannot run %s: %s\n", argp[0], strerror(errno));
        _exit(127);
    }
    pid_ = pid;
    status_ = -1;
    return true;
}

bool Daemon::runAs(const char *user, const char *group)
{
    struct passwd *pw = getpwnam(user);
    struct group *gr = getgrnam(group);
    if (!pw || !gr) return false;
    runUid_ = pw->pw_uid;
    runGid_ = gr->gr_gid;
    return true;
}

bool Daemon::running()
{
    if (pid_ <= 0) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

void Daemon::stop()
{
    if (!running()) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 500; i++) {
        if (!running()) return;
        sleepMs(10);
    }
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    status_ = 128 + SIGKILL;
    pid_ = -1;
}

} // namespace snmptest
