// Real SNMP agents for tests: a private snmpd on 127.0.0.1, UDP ports where nothing or only
// garbage answers, a private client configuration for the SNMP library, and the means to run
// the programs under test (commands with a time limit, daemons stopped by their PID).
//
// Nothing here reads or writes the machine's own SNMP configuration: the agent runs with
// "-C" and a configuration file in its own temporary directory, and both agent and clients
// get a private SNMPCONFPATH, SNMP_PERSISTENT_DIR and an empty MIBS, so no MIB module is
// loaded and values print in the library's plain forms (strings quoted, OIDs numeric).
//
// Life cycle: every object cleans up in its destructor (the agent is stopped by its PID,
// temporary directories are removed), so a failing assertion that leaves a test early
// still stops what the test started. The agent also gets SIGTERM when the test process
// dies, through the parent-death signal.
//
// A collector test, typically:
//   snmptest::SnmpAgent agent;
//   std::string why;
//   ASSERT_TRUE(agent.start(&why)) << why;
//   snmptest::ClientConfig client(1, 0);          // 1 s time-out, no retries
//   ... write $ZARVOHOME/etc/snmphosts.cfg with "ip=" + agent.address(), "version=2" and
//       "community=" + snmptest::kCommunity ...
//   auto env = client.env();
//   env.push_back({"ZARVOHOME", home});
//   snmptest::CommandResult r = snmptest::runCommand({collectorPath, "--no-update"}, env);
// A host that never answers: an "ip=" of snmptest::QuietPort; one answering garbage:
// snmptest::JunkPort; a slow one: bench/udprelay in front of the agent (snmptest::Daemon).
//
// Failure contract: start() returns false with a one-line reason in *why (the agent's log
// tail appended where it helps); nothing throws.
#ifndef ZARVO_TESTS_SNMPD_HARNESS_H
#define ZARVO_TESTS_SNMPD_HARNESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace snmptest {

// Variables set in a child process's environment: name and value.
using EnvVars = std::vector<std::pair<std::string, std::string>>;

// Credentials the agent accepts. v1 and v2c use the community; the v3 users below each stand
// for one combination of authentication (auth) and privacy (priv) protocol.
extern const char *const kCommunity;
extern const char *const kMd5User;
extern const char *const kMd5Pass;
extern const char *const kShaUser;
extern const char *const kShaPass;

// A version 3 user: name, authentication method and pass phrase, privacy method and pass phrase
// (both empty for authNoPriv), written as the collector's hosts file names them.
struct V3User {
    const char *name;
    const char *authMethod; // "md5", "sha1", "sha224", ..., "sha512"
    const char *authPass;
    const char *privMethod; // "", "des", "aes", "aes256"
    const char *privPass;
};
// MD5, SHA-1 and SHA-512 without privacy; SHA-256 with AES-128, SHA-512 with AES-256 and SHA-1
// with DES.
const std::vector<V3User> &v3Users();

// A context that only kContextUser may read (authNoPriv, SHA-1, kContextPass). In it the agent
// serves its own system group under kContextRoot (a proxy to itself), so kContextSysName holds
// the system name there and nothing in the default context.
extern const char *const kContextUser;
extern const char *const kContextPass;
extern const char *const kContextName;    // "ctx"
extern const char *const kContextRoot;    // ".1.3.6.1.4.1.99997"
extern const char *const kContextSysName; // kContextRoot + ".5.0"

// Fixed values of the agent's own system group (set in its configuration).
extern const char *const kSysNameOid; // ".1.3.6.1.2.1.1.5.0"
extern const char *const kSysName;    // value without quotes
extern const char *const kSysLocationOid;
extern const char *const kSysLocation;

// The table served by a persistent pass script (pass_persist: one process for the agent's whole
// life, so that an agent under load needs no new process per variable), rooted at kTableRoot:
//   kNameColumn.<i>     STRING  interface-like names "lo", "eth1", "eth0" (keyidx column;
//                       eth1 is row 2)
//   kNumberColumn.<i>   Gauge32 1000, 2000, 3000
//   kMinusColumn.<i>    INTEGER -1, -100, 2147483647 (row 1 holds -1 for the u32 conversion)
//   kAddrColumn.<a.b.c.d> INTEGER row number of the address (validx column, indexed by
//                       address; 10.0.0.2 -> 3, 127.0.0.1 -> 1, 192.168.1.10 -> 2)
//   kLongScalar         STRING  kLongValueLength characters 'x' (a value past 1024 bytes)
// Row i (1..3) of the first three columns belongs together. A second pass root serves the
// agent's very last objects, after everything snmpd has of its own:
//   kLastColumn.<i>     STRING  "last-a", "last-b" (i = 1, 2); a GETNEXT past the last row is
//                       answered with endOfMibView (v2c, v3) or error noSuchName (v1)
// The agent builds responses of at most kMaxResponseSize bytes and answers a request whose
// response would be longer with error status tooBig: a GET of kLongScalar three times gets
// tooBig, twice it is answered.
extern const char *const kTableRoot;    // ".1.3.6.1.4.1.99999"
extern const char *const kNameColumn;   // ".1.3.6.1.4.1.99999.1.1.2"
extern const char *const kNumberColumn; // ".1.3.6.1.4.1.99999.1.1.3"
extern const char *const kMinusColumn;  // ".1.3.6.1.4.1.99999.1.1.4"
extern const char *const kAddrColumn;   // ".1.3.6.1.4.1.99999.2.1.2"
extern const char *const kLongScalar;   // ".1.3.6.1.4.1.99999.3.0"
extern const int kLongValueLength;      // 1500
extern const char *const kLastRoot;     // ".1.3.6.1.6.3.9999"
extern const char *const kLastColumn;   // ".1.3.6.1.6.3.9999.1.1"
extern const int kMaxResponseSize;      // 4000

// A large table served the same way, rooted at kBigRoot:
//   kBigNameColumn.<i>   STRING  "row-<i>"   for i = 1 .. kBigRows
//   kBigValueColumn.<i>  INTEGER i * 7
extern const char *const kBigRoot;        // ".1.3.6.1.4.1.99998"
extern const char *const kBigNameColumn;  // ".1.3.6.1.4.1.99998.1.1.2"
extern const char *const kBigValueColumn; // ".1.3.6.1.4.1.99998.1.1.3"
extern const int kBigRows;                // 500

// Agent text: strings of the agent's configuration (override lines), in the column kTextColumn:
//   kTextColumn.1  x LF [memory] LF Interval=1 LF TAB sysName = "forged"  (lines of a message)
//   kTextColumn.2  Stack 1 CR LF TAB C:\temp  (line end, tab and a backslash)
extern const char *const kTextColumn; // ".1.3.6.1.4.1.99995.1"
// The octets of kTextColumn.1 and .2.
const std::vector<std::string> &textValues();

// One variable of the pass table: numeric OID with leading dot, the pass protocol's type
// word ("string", "gauge", "integer") and the value as the script prints it.
struct PassVar {
    std::string oid;
    const char *type;
    std::string value;
};

// The whole pass table (both roots) in walk (ascending OID) order.
const std::vector<PassVar> &passTable();
// The large pass_persist table in walk order.
const std::vector<PassVar> &bigTable();

// A directory under $ZARVO_TEST_TMP (or /tmp) removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const char *prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Environment that keeps the SNMP library to private files: SNMPCONFPATH and
// SNMP_PERSISTENT_DIR point into dir, MIBS is empty.
EnvVars privateSnmpEnv(const std::string &confdir, const std::string &persistdir);

// A client configuration directory with snmp.conf: a time-out of timeoutSeconds (the
// library takes whole seconds there) and the given retries. env() is what a client
// process needs; apply() puts it into this process's environment (before init_snmp).
class ClientConfig {
public:
    explicit ClientConfig(int timeoutSeconds = 1, int retries = 0);
    bool ok() const { return ok_; }
    const std::string &dir() const { return dir_.path(); }
    EnvVars env() const;
    void apply() const;

private:
    TempDir dir_;
    bool ok_ = false;
};

// A UDP socket bound to 127.0.0.1 on a free high port that never answers: requests sent there
// get no answer and no port-unreachable error, so clients time out. takeSenders() reads what
// arrived.
class QuietPort {
public:
    QuietPort();
    ~QuietPort();
    QuietPort(const QuietPort &) = delete;
    QuietPort &operator=(const QuietPort &) = delete;
    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }
    std::string address() const; // "127.0.0.1:<port>"
    // The source ports of the datagrams that have arrived, in the order they arrived; taking
    // them empties the queue. Several hosts sharing one quiet port show in which order their
    // requests and retries were sent.
    std::vector<int> takeSenders();

private:
    int fd_ = -1;
    int port_ = 0;
};

// A program running in the background, stopped by its PID: on stop() or destruction it gets
// SIGTERM, and SIGKILL when it has not ended five seconds later. It also gets SIGTERM when
// the test process dies.
class Daemon {
public:
    Daemon() = default;
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts argv (argv[0] a path) with this process's environment and env on top, standard
    // input from /dev/null, output and errors into logPath. A daemon already running is
    // stopped first. False, with the reason in *why, when it cannot be started; a program
    // that cannot be executed starts and ends at once with status 127.
    bool start(const std::vector<std::string> &argv, const EnvVars &env, const std::string &logPath,
               std::string *why);
    // Runs the next start()ed program as the user and group (names of the passwd and group
    // files) instead of this process's own; only root can. False when either is unknown.
    bool runAs(const char *user, const char *group);
    // Whether it still runs; collects its exit status once it has ended.
    bool running();
    void stop();
    pid_t pid() const { return pid_; }
    // Exit status of the ended program (128 + signal number when killed); -1 before.
    int exitStatus() const { return status_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    uid_t runUid_ = static_cast<uid_t>(-1);
    gid_t runGid_ = static_cast<gid_t>(-1);
};

// A forked child bound to a free high UDP port on 127.0.0.1 that answers every datagram
// with the fixed bytes given (by default bytes that are no SNMP message), for clients that
// must survive malformed answers. Stopped by its PID on destruction.
class JunkPort {
public:
    explicit JunkPort(std::string reply = std::string("\x30\x05\x02\x01\x01\x04\x7f", 7));
    ~JunkPort();
    JunkPort(const JunkPort &) = delete;
    JunkPort &operator=(const JunkPort &) = delete;
    bool ok() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string address() const; // "127.0.0.1:<port>"

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// What the SNMP engines below share: a private temporary directory (dir()), the engine in the
// foreground on 127.0.0.1 and a free high UDP port, stopped by its PID. Each engine supplies
// its files and its command line; starting, waiting for the first answer and the log are
// the same for all.
class LocalAgent {
public:
    virtual ~LocalAgent();
    LocalAgent(const LocalAgent &) = delete;
    LocalAgent &operator=(const LocalAgent &) = delete;

    // Prepares the engine's files, starts it and waits until it answers a v2c GET (how long:
    // see each engine). A port taken between choosing and binding is retried with another one.
    // Returns false, engine stopped, with the reason and the end of its log in *why.
    bool start(std::string *why);
    // Stops the engine by its PID: SIGTERM, then SIGKILL after a grace period. Idempotent.
    void stop() { process_.stop(); }

    bool running() { return process_.running(); }
    pid_t pid() const { return process_.pid(); }
    int port() const { return port_; }
    std::string address() const; // "127.0.0.1:<port>", the form a peer name takes
    const std::string &dir() const { return dir_.path(); }
    std::string logText() const; // the engine's log so far, for failure messages

protected:
    // name leads the failure messages; the engine's log is in logFiles (in dir(), the last
    // one takes its output and errors); start() sends up to waitSteps readiness GETs with
    // readyCommunity_, each waiting stepMs for the answer.
    LocalAgent(const char *name, std::vector<std::string> logFiles, int waitSteps, int stepMs);
    // Once before the first launch: what does not depend on the port. False, reason in *why,
    // when the engine cannot run.
    virtual bool prepare(std::string *why);
    // At each launch, port() chosen: the command line (argv[0] a path) and the environment
    // on top of this process's; may write files that name the port.
    virtual bool command(std::vector<std::string> *argv, EnvVars *env, std::string *why) = 0;

    const char *name_;
    std::string readyCommunity_;
    TempDir dir_;
    Daemon process_;

private:
    bool launch(std::string *why);

    std::vector<std::string> logFiles_;
    int waitSteps_, stepMs_;
    int port_ = 0;
};

// A private snmpd. start() writes the configuration and the pass scripts and waits up to
// about ten seconds for the agent's first answer.
class SnmpAgent : public LocalAgent {
public:
    SnmpAgent();
    // Adds a line to the agent's configuration (for example another community); only before
    // start() has any effect.
    void addConfigLine(const std::string &line) { extraConfig_ += line + "\n"; }

private:
    bool command(std::vector<std::string> *argv, EnvVars *env, std::string *why) override;

    std::string extraConfig_;
};

// Recordings of real devices that Debian's SNMP simulator ships.
extern const char *const kSimRecordings; // "/usr/share/doc/snmpsim/examples/data"

// Debian's SNMP simulator (snmpsimd), a second SNMP engine next to snmpd, serving recordings
// of real devices from a data directory of its own. Each recording is served under a name:
// the v1/v2c community and the v3 context name. Every v3 user may read every recording. Run
// as root, the simulator runs as nobody/nogroup (its files are made readable for that user);
// otherwise as the test's own user. start() needs at least one recording and waits up to
// about a minute (the simulator indexes its recordings first) until the first recording's
// name answers.
//   snmptest::SimAgent sim;
//   sim.addRecording("recorded/linksys-system.snmprec", "linksys");
//   sim.addUser(snmptest::v3Users()[0]);
//   ASSERT_TRUE(sim.start(&why)) << why;
//   ... "ip=" + sim.address(), "community=linksys" or "version=3", "context=linksys" ...
// The simulator drops a request for an unknown community or context without an answer.
class SimAgent : public LocalAgent {
public:
    SimAgent();
    // Serves the recording at path (absolute, or relative to kSimRecordings; .snmprec,
    // .snmpwalk or .sapwalk, unpacked into the data directory when it ends in ".gz") under name
    // (letters, digits, "-" and "_"). Only before start() has any effect.
    void addRecording(const std::string &path, const std::string &name);
    // A v3 user: authNoPriv, or authPriv when user.privMethod is not empty. Methods as the
    // hosts file names them; "aes256" is the key extension net-snmp uses. Only before start().
    void addUser(const V3User &user);

private:
    bool prepare(std::string *why) override;
    bool command(std::vector<std::string> *argv, EnvVars *env, std::string *why) override;

    std::vector<std::pair<std::string, std::string>> recordings_; // source path, name
    std::vector<std::string> userArgs_;                           // the simulator's --v3-* options
};

// What a finished command left: its exit status (128 + signal number when it was killed),
// everything it wrote, and whether it was killed for running past its time limit.
struct CommandResult {
    int status = -1;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs argv (argv[0] a path) with this process's environment, each variable of env set on
// top (an empty value sets the variable empty), standard input from /dev/null, in a process
// group of its own. A command still running after timeoutSec seconds is killed with its
// group. Fails (status -1, reason in err) only when the command cannot be started.
CommandResult runCommand(const std::vector<std::string> &argv, const EnvVars &env,
                         int timeoutSec = 60);

// Sends one SNMPv2c GET of sysUpTime.0 with the community to 127.0.0.1:port and waits up
// to waitMs milliseconds for any answer. True when a datagram came back.
bool agentAnswers(int port, const char *community, int waitMs);

} // namespace snmptest

#endif
