// Fuzz target: the stacked configuration reader over a small file tree described by the input.
//
// Input: sections "=== NAME" (see fuzz_support.h). The text before the first section is the
// top-level file; a section whose name ends in "/" makes a directory, any other a file with
// the section's text. Names are made of letters, digits, ".", "_", "-" and "/", below the
// tree's directory. Directive lines inside the texts name files of the tree (or not).
//
// Checked: every line returned is a logical line (backslash continuations joined) of some file
// written, or the empty line of an empty directory; and a top-level file without directive
// lines reads as exactly its own logical lines, in order.

#include <string.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "stackio.h"
#include "strfunc.h"

using namespace fuzzsupport;

namespace {

const size_t MAXLINES = 100000; // a bound on what one reading returns, against include loops

// The name as a path below the tree, or "" when it has characters or parts not allowed.
std::string treepath(const std::string &name)
{
    if (name.empty() || name.size() > 200 || name[0] == '/') return "";
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-' || c == '/';
        if (!ok) return "";
    }
    if (name.find("..") != std::string::npos) return "";
    return name;
}

// Creates every directory leading to path (relative to base).
void makeparents(const std::string &base, const std::string &path)
{
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir((base + "/" + path.substr(0, slash)).c_str(), 0755);
    }
}

bool isspacechar(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The lines the reader should give for text: each keeps its newline; a line whose last
// character other than white space is a backslash continues on the next one, the backslash
// and what follows it dropped; a last line without newline comes as it is, unless empty.
std::vector<std::string> logicallines(const std::string &text)
{
    std::vector<std::string> result;
    std::string line;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) {
            line.append(text, pos, std::string::npos);
            break;
        }
        size_t end = eol;
        while (end > pos && isspacechar(text[end - 1])) end--;
        if (end > pos && text[end - 1] == '\\') {
            line.append(text, pos, end - 1 - pos);
        }
        else {
            line.append(text, pos, eol + 1 - pos);
            result.push_back(line);
            line.clear();
        }
        pos = eol + 1;
    }
    if (!line.empty()) result.push_back(line);
    return result;
}

// Whether the reader could take the line for a directive (generously: no separator needed).
bool directivelike(const std::string &line)
{
    size_t p = line.find_first_not_of(" \t");
    if (p == std::string::npos) return false;
    if (line.compare(p, 8, "optional") == 0) {
        p = line.find_first_not_of(" \t", p + 8);
        if (p == std::string::npos) return false;
    }
    for (const char *word : {"include", "source", ".", "directory", "import"}) {
        if (line.compare(p, strlen(word), word) == 0) return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setup(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    std::string tree = workdir() + "/tree";
    removetree(tree);
    mkdir(tree.c_str(), 0755);

    std::string top = tree + "/top.cfg";
    std::set<std::string> known = {""};
    for (const auto &section : sections(std::string((const char *)data, size))) {
        for (const std::string &line : logicallines(section.second)) known.insert(line);
        if (section.first.empty()) {
            writefile(top, section.second);
            continue;
        }
        std::string path = treepath(section.first);
        if (path.empty()) continue;
        makeparents(tree, path);
        if (path.back() != '/') writefile(tree + "/" + path, section.second);
    }
    std::vector<std::string> toplines = logicallines(readfile(top));
    bool plain = true;
    for (const std::string &line : toplines) plain = plain && !directivelike(line);

    void *files = nullptr;
    strbuffer_t *line = newstrbuffer(0);
    std::vector<std::string> got;
    if (FILE *fd = stackfopen((char *)top.c_str(), (char *)"r", &files)) {
        while (got.size() < MAXLINES && stackfgets(line, (char *)"import")) {
            got.emplace_back(line->s, (size_t)line->used);
            if (known.count(got.back()) == 0) __builtin_trap();
        }
        stackfclose(fd);
    }
    if (plain && got.size() < MAXLINES && got != toplines) __builtin_trap();
    stackfmodified(files);
    stackfclist(&files);
    freestrbuffer(line);
    removetree(tree);
    endrun();
    return 0;
}
