// Helpers shared by the collector's tests: temporary files, a private SNMP library set-up and
// readable views of the host records. Error messages are collected with the library tests' helper.
#ifndef ZARVO_TESTS_GATHER_TESTUTIL_H
#define ZARVO_TESTS_GATHER_TESTUTIL_H

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../lib/collect_errors.h"
#include "errormsg.h"
#include "sendmsg.h"
#include "snmpgather.h"

namespace gathertest {

// A fresh directory below $ZARVO_TEST_TMP (or /tmp) for one test.
inline std::string freshdir(const std::string &name)
{
    const char *base = getenv("ZARVO_TEST_TMP");
    std::string dir = std::string(base ? base : "/tmp") + "/gather-" + name;
    std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    if (system(cmd.c_str()) != 0) return "/tmp";
    return dir;
}

inline std::string writefile(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
    return path;
}

inline std::string readfile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs a shell command; its exit status (-1 when it did not exit) and standard output.
inline int runcommand(const std::string &cmd, std::string *output)
{
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) output->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Starts the SNMP library once per process as the collector does, with no MIB modules and a
// configuration of its own, so that the machine's configuration never leaks in.
inline void initsnmponce()
{
    static bool done = false;
    if (done) return;
    done = true;
    std::string dir = freshdir("snmpconf");
    setenv("MIBS", "", 1);
    setenv("SNMPCONFPATH", dir.c_str(), 1);
    setenv("SNMP_PERSISTENT_DIR", dir.c_str(), 1);
    startsnmplibrary();
}

// A run of the collector that lasts as long as the test case (or until renewed); it stands
// wherever a gatherrun_t * does.
class TestRun {
public:
    TestRun() : run_(newgatherrun()) {}
    ~TestRun() { freegatherrun(run_); }
    TestRun(const TestRun &) = delete;
    TestRun &operator=(const TestRun &) = delete;
    // Starts over with a new run: default settings, no hosts, nothing read yet.
    void renew()
    {
        freegatherrun(run_);
        run_ = newgatherrun();
    }
    operator gatherrun_t *() const { return run_; }
    gatherrun_t *operator->() const { return run_; }

private:
    gatherrun_t *run_;
};

inline std::string oidtext(const oid *name, size_t len)
{
    std::string s;
    for (size_t i = 0; i < len; i++) s += "." + std::to_string(name[i]);
    return s;
}

struct OidView {
    std::string oid, devname, dsname;
    int setnumber;
    bool operator==(const OidView &o) const
    {
        return oid == o.oid && devname == o.devname && dsname == o.dsname &&
               setnumber == o.setnumber;
    }
};

inline std::ostream &operator<<(std::ostream &os, const OidView &v)
{
    return os << "{" << v.oid << " " << v.devname << " " << v.dsname << " set " << v.setnumber
              << "}";
}

inline std::vector<OidView> oidsof(const req_t *req)
{
    std::vector<OidView> out;
    for (oid_t *o = req->oidhead; o; o = o->next) {
        out.push_back({oidtext(o->Oid, o->OidLen), o->devname, o->oiddef->dsname, o->setnumber});
    }
    return out;
}

inline std::vector<std::string> hostnames(const gatherrun_t *run)
{
    std::vector<std::string> out;
    for (req_t *r = run->reqhead; r; r = r->next) out.push_back(r->hostname);
    return out;
}

inline req_t *findhost(const gatherrun_t *run, const std::string &name)
{
    for (req_t *r = run->reqhead; r; r = r->next) {
        if (name == r->hostname) return r;
    }
    return nullptr;
}

inline std::vector<std::string> addressesof(const req_t *req)
{
    std::vector<std::string> out;
    for (int i = 0; i < ZARVO_MAXHOSTIP && req->hostip[i]; i++) out.push_back(req->hostip[i]);
    return out;
}

// Key records as "key@marker" or "key@marker=indexoid", in list order.
inline std::vector<std::string> keysof(const req_t *req)
{
    std::vector<std::string> out;
    for (keyrecord_t *k = req->keyrecords; k; k = k->next) {
        std::string s = std::string(k->key) + "@" + k->indexmethod->marker;
        if (k->indexoid) s += std::string("=") + k->indexoid;
        out.push_back(s);
    }
    return out;
}

// What sendresult prints (the messages, under --no-update), through a file in dir.
inline std::string printedresult(gatherrun_t *run, const std::string &dir)
{
    std::string path = dir + "/stdout.txt";
    fflush(stdout);
    int saved = dup(1);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    int wasprinting = dontsendmessages;
    dontsendmessages = 1;
    sendresult(run);
    dontsendmessages = wasprinting;
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return readfile(path);
}

} // namespace gathertest

#endif
