// Tests of the MIB definition catalogue, read from real files.

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "collect_errors.h"
#include "errormsg.h"
#include "readmib.h"

namespace {

std::string tmpdir()
{
    const char *base = getenv("ZARVO_TEST_TMP");
    std::string dir = std::string(base ? base : "/tmp") + "/readmib";
    std::string cmd = "mkdir -p '" + dir + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot create " << dir;
    return dir;
}

// Writes a catalogue file under a name of its own and returns its path.
std::string writefile(const std::string &name, const std::string &text)
{
    std::string path = tmpdir() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

// Reads a catalogue and returns the error messages written meanwhile.
std::string readcatalogue(const std::string &path, int verbose, int *result = nullptr)
{
    int r = 0;
    std::string errors = errorsof([&] { r = readmibs(strdup(path.c_str()), verbose); });
    if (result) *result = r;
    return errors;
}

// Every definition of the catalogue keeps the record invariants.
void expect_sane_catalogue()
{
    for (mibdef_t *mib = first_mib(); mib; mib = next_mib()) {
        SCOPED_TRACE(mib->mibname);
        ASSERT_NE(mib->oidlisthead, nullptr);
        ASSERT_NE(mib->resultbuf, nullptr);
        EXPECT_EQ(mib->haveresult, 0);
        oidset_t *last = nullptr;
        for (oidset_t *set = mib->oidlisthead; set; set = set->next) {
            EXPECT_GE(set->oidcount, -1);
            EXPECT_LT(set->oidcount, set->oidsz);
            EXPECT_EQ(set->oidsz % 10, 0);
            last = set;
        }
        EXPECT_EQ(last, mib->oidlisttail);
        if (mib->idxlist) {
            EXPECT_EQ(mib->tabular, 1);
        }
    }
}

std::vector<std::string> catalogue_names()
{
    std::vector<std::string> names;
    for (mibdef_t *mib = first_mib(); mib; mib = next_mib()) names.push_back(mib->mibname);
    return names;
}

TEST(ReadMib, DefinitionsAreWalkedInCaseInsensitiveOrderAndFoundInAnyCase)
{
    readcatalogue(
        writefile("order.cfg",
                  "[b-mib]\nx .1.3.6.1.2\n[A-mib]\ny .1.3.6.1.3\n[IF-MIB]\nz .1.3.6.1.4\n"),
        0);
    expect_sane_catalogue();
    EXPECT_EQ(catalogue_names(), (std::vector<std::string>{"A-mib", "b-mib", "IF-MIB"}));
    ASSERT_NE(find_mib("if-mib"), nullptr);
    EXPECT_STREQ(find_mib("if-mib")->mibname, "IF-MIB");
    EXPECT_EQ(find_mib("c-mib"), nullptr);
    EXPECT_EQ(next_mib(), nullptr) << "a finished walk stays finished";
}

TEST(ReadMib, VariableLinesTakeNameOidAndOptionsInEveryAcceptedForm)
{
    struct Case {
        const char *line;
        bool kept;
        const char *dsname, *oid;
        rrdtype_t rrdtype;
        oidconversion_t conversion;
    } cases[] = {
        {"ifInOctets .1.3.6.1.2.1.2.2.1.10", true, "ifInOctets", ".1.3.6.1.2.1.2.2.1.10",
         RRD_NOTRACK, OID_CONVERT_NONE},
        {"name = IF-MIB::ifDescr", true, "name", "IF-MIB::ifDescr", RRD_NOTRACK, OID_CONVERT_NONE},
        {"  name\t\t.1.3", true, "name", ".1.3", RRD_NOTRACK, OID_CONVERT_NONE},
        {"name =.1.3 .1.4", true, "name", ".1.4", RRD_NOTRACK, OID_CONVERT_NONE},
        {"name=.1.3", false, nullptr, nullptr, RRD_NOTRACK, OID_CONVERT_NONE},
        {"name =", false, nullptr, nullptr, RRD_NOTRACK, OID_CONVERT_NONE},
        {"lonely", false, nullptr, nullptr, RRD_NOTRACK, OID_CONVERT_NONE},
        {"c .1.3 /rrd:counter /U32", true, "c", ".1.3", RRD_TRACK_COUNTER, OID_CONVERT_U32},
        {"g .1.3 /RRD:Gauge", true, "g", ".1.3", RRD_TRACK_GAUGE, OID_CONVERT_NONE},
        {"d .1.3 /rrd:DERIVE", true, "d", ".1.3", RRD_TRACK_DERIVE, OID_CONVERT_NONE},
        {"a .1.3 /rrd:absolute", true, "a", ".1.3", RRD_TRACK_ABSOLUTE, OID_CONVERT_NONE},
        {"w .1.3 /rrd:wrong /u3", true, "w", ".1.3", RRD_NOTRACK, OID_CONVERT_NONE},
        {"r .1.3 # a remark /u32", true, "r", ".1.3", RRD_NOTRACK, OID_CONVERT_U32},
        {"#hidden .1.3", false, nullptr, nullptr, RRD_NOTRACK, OID_CONVERT_NONE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        readcatalogue(writefile("var.cfg", std::string("[m]\n") + c.line + "\n"), 0);
        expect_sane_catalogue();
        mibdef_t *mib = find_mib("m");
        ASSERT_NE(mib, nullptr);
        oidset_t *set = mib->oidlisthead;
        if (!c.kept) {
            EXPECT_EQ(set->oidcount, -1);
            continue;
        }
        ASSERT_EQ(set->oidcount, 0);
        EXPECT_STREQ(set->oids[0].dsname, c.dsname);
        EXPECT_STREQ(set->oids[0].oid, c.oid);
        EXPECT_EQ(set->oids[0].rrdtype, c.rrdtype);
        EXPECT_EQ(set->oids[0].conversion, c.conversion);
    }
}

TEST(ReadMib, KeywordsArePrefixesSoTableSizeIsNoVariable)
{
    readcatalogue(
        writefile("kw.cfg", "[m]\ntableSize .1.3\nextraVar .1.4\nmibfile  \t/x/my.mib\nv .1.5\n"),
        0);
    mibdef_t *mib = find_mib("m");
    ASSERT_NE(mib, nullptr);
    EXPECT_EQ(mib->tabular, 1);
    EXPECT_STREQ(mib->mibfn, "/x/my.mib");
    ASSERT_EQ(mib->oidlisthead->oidcount, -1) << "extraVar started a new set";
    ASSERT_NE(mib->oidlisthead->next, nullptr);
    ASSERT_EQ(mib->oidlisthead->next->oidcount, 0);
    EXPECT_STREQ(mib->oidlisthead->next->oids[0].dsname, "v");
}

TEST(ReadMib, OidSetsGrowByTenAndExtraStartsTheNextRequestGroup)
{
    std::string text = "[big]\n";
    for (int i = 0; i < 11; i++)
        text += "v" + std::to_string(i) + " .1.3.6." + std::to_string(i) + "\n";
    text += "[split]\nextra\na .1.1\nb .1.2\nextra\nc .1.3\n[empty]\n";
    readcatalogue(writefile("sets.cfg", text), 0);
    expect_sane_catalogue();

    oidset_t *big = find_mib("big")->oidlisthead;
    EXPECT_EQ(big->oidsz, 20);
    ASSERT_EQ(big->oidcount, 10);
    for (int i = 0; i <= big->oidcount; i++)
        EXPECT_EQ(big->oids[i].dsname, "v" + std::to_string(i));
    EXPECT_EQ(big->next, nullptr);

    std::vector<int> counts;
    for (oidset_t *s = find_mib("split")->oidlisthead; s; s = s->next)
        counts.push_back(s->oidcount + 1);
    EXPECT_EQ(counts, (std::vector<int>{0, 2, 1}));

    mibdef_t *empty = find_mib("empty");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->oidlisthead->oidcount, -1);
    EXPECT_EQ(empty->oidlisthead->next, nullptr);
    EXPECT_EQ(empty->tabular, 0);
}

TEST(ReadMib, IndexLinesGiveMarkerKeyColumnAndTypeLastDeclaredFirstOrAreReported)
{
    std::string errors = readcatalogue(
        writefile("idx.cfg", "[ifmib]\nkeyidx (IF-MIB::ifDescr)\nvalidx\t[.1.3.6.1.2.1.4.20.1.2]\n"
                             "keyidx {.1.2.3\nkeyidx <.1.5>trailing\nkeyidx |.1.7|x\nvalidx   \n"),
        1);
    EXPECT_NE(errors.find("index line without a key column in [ifmib]: 'validx'"),
              std::string::npos)
        << errors;
    mibdef_t *mib = find_mib("ifmib");
    ASSERT_NE(mib, nullptr);
    EXPECT_EQ(mib->tabular, 1);
    struct Expect {
        char marker;
        mibidxtype_t type;
        const char *keyoid;
    } expect[] = {
        {'|', MIB_INDEX_IN_OID, ".1.7"},
        {'<', MIB_INDEX_IN_OID, ".1.5"},
        {'{', MIB_INDEX_IN_OID, ".1.2.3"},
        {'[', MIB_INDEX_IN_VALUE, ".1.3.6.1.2.1.4.20.1.2"},
        {'(', MIB_INDEX_IN_OID, "IF-MIB::ifDescr"},
    };
    mibidx_t *idx = mib->idxlist;
    for (const Expect &e : expect) {
        ASSERT_NE(idx, nullptr);
        EXPECT_EQ(idx->marker, e.marker);
        EXPECT_EQ(idx->idxtype, e.type);
        EXPECT_STREQ(idx->keyoid, e.keyoid);
        EXPECT_EQ(idx->rootoid, nullptr);
        idx = idx->next;
    }
    EXPECT_EQ(idx, nullptr);

    readcatalogue(writefile("idx2.cfg", "[bare]\nvalidx\nv .1.3\n[plain]\nv .1.3\n"), 0);
    ASSERT_NE(find_mib("bare"), nullptr);
    EXPECT_EQ(find_mib("bare")->idxlist, nullptr);
    EXPECT_EQ(find_mib("bare")->tabular, 1) << "an index line marks the section tabular";
    EXPECT_EQ(find_mib("plain")->tabular, 0);
}

TEST(ReadMib, StrayLinesAreReportedOnlyWhenVerbose)
{
    std::string text = "garbage before any section\n# comment\n\n[m]\nv .1.3\n";
    int before = mibproblems;
    EXPECT_EQ(readcatalogue(writefile("stray.cfg", text), 0).find("Unknown"), std::string::npos);
    EXPECT_EQ(mibproblems, before) << "what is not reported is no problem";
    std::string path = writefile("stray2.cfg", text);
    const std::string stray = "Unknown MIB definition line: 'garbage' (" + path + " line 1)\n";
    std::string errors = readcatalogue(path, 1);
    EXPECT_EQ(mibproblems, before + 1);
    EXPECT_NE(errors.find(stray), std::string::npos) << errors;
    EXPECT_EQ(errors.find(stray, errors.find(stray) + 1), std::string::npos)
        << "comments are no stray lines";
    ASSERT_NE(find_mib("m"), nullptr);
}

TEST(ReadMib, ADuplicateNameKeepsTheFirstDefinition)
{
    readcatalogue(writefile("dup.cfg", "[Dup]\nfirst .1.1\n[dup]\nsecond .1.2\n[other]\nx .1.3\n"),
                  0);
    expect_sane_catalogue();
    EXPECT_EQ(catalogue_names(), (std::vector<std::string>{"Dup", "other"}));
    EXPECT_STREQ(find_mib("DUP")->oidlisthead->oids[0].dsname, "first");
}

TEST(ReadMib, AMissingFileIsReportedAndLeavesAnEmptyCatalogue)
{
    readcatalogue(writefile("present.cfg", "[m]\nv .1.3\n"), 0);
    std::string missing = tmpdir() + "/no-such-file.cfg";
    int result = -1;
    std::string errors = readcatalogue(missing, 0, &result);
    EXPECT_EQ(result, 0);
    EXPECT_NE(errors.find("Cannot open configuration files " + missing + "\n"), std::string::npos)
        << errors;
    EXPECT_EQ(first_mib(), nullptr);
    EXPECT_EQ(find_mib("m"), nullptr);

    std::ofstream(missing) << "[late]\nv .1.3\n";
    readcatalogue(missing, 0, &result);
    EXPECT_EQ(result, 1) << "a file that appears later is read";
    EXPECT_NE(find_mib("late"), nullptr);
    unlink(missing.c_str());
}

TEST(ReadMib, AReloadReadsAgainOnlyWhenAFileChanged)
{
    std::string path = writefile("reload.cfg", "[one]\nv .1.3\n");
    int result = -1;
    readcatalogue(path, 0, &result);
    EXPECT_EQ(result, 1);
    mibdef_t *before = find_mib("one");
    ASSERT_NE(before, nullptr);

    EXPECT_EQ(readcatalogue(path, 0, &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(find_mib("one"), before) << "an unchanged file keeps the catalogue";

    std::ofstream(path, std::ios::app) << "[two]\nw .1.4\n";
    EXPECT_EQ(readcatalogue(path, 0, &result), "Re-loading MIBs\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(catalogue_names(), (std::vector<std::string>{"one", "two"}));
    expect_sane_catalogue();
}

TEST(ReadMib, TheDebugListingShowsSetsAndVariables)
{
    std::string dbg = tmpdir() + "/listing.dbg";
    set_debugfile(dbg.c_str(), 0);
    debug = 1;
    readcatalogue(writefile("listing.cfg", "[m]\na .1.1\nextra\nb .1.2\nc .1.3\n"), 0);
    debug = 0;
    set_debugfile("stdout", 0);
    std::ifstream in(dbg);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t m = text.find("[m]\n");
    size_t s1 = text.find("\t*** OID set, 1 entries ***\n", m);
    size_t a = text.find("\t\ta = .1.1\n", s1);
    size_t s2 = text.find("\t*** OID set, 2 entries ***\n", a);
    size_t c = text.find("\t\tc = .1.3\n", s2);
    EXPECT_TRUE(m != std::string::npos && s1 != std::string::npos && a != std::string::npos &&
                s2 != std::string::npos && c != std::string::npos)
        << text;
}

} // namespace
