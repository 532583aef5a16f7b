// Fuzz target: the stacked configuration reader over a small file tree described by the input.
//
// Input: sections "=== NAME" (see fuzz_support.h). The text before the first section is the
// top-level file; a section whose name ends in "/" makes a directory, any other a file with
// the section's text. Names are made of letters, digits, ".", "_", "-" and "/", below the
// tree's directory. Directive lines inside the texts name files of the tree (or not).

#include <sys/stat.h>

#include <string>

#include "fuzz_support.h"
#include "stackio.h"
#include "strfunc.h"

using namespace fuzzsupport;

namespace {

// The name as a path below the tree, or "" when it has characters or parts not allowed.
std::string treepath(const std::string &name)
{
    if (name.empty() || name.size() > 200 || name[0] == '/') return "";
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-' || c == '/';
        if (!ok) return "";
    }
    if (name.find("..") != std::string::npos) return "";
    return name;
}

// Creates every directory leading to path (relative to base).
void makeparents(const std::string &base, const std::string &path)
{
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir((base + "/" + path.substr(0, slash)).c_str(), 0755);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    workdir();
    resetenvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    std::string tree = workdir() + "/tree";
    removetree(tree);
    mkdir(tree.c_str(), 0755);

    std::string top = tree + "/top.cfg";
    for (const auto &section : sections(std::string((const char *)data, size))) {
        if (section.first.empty()) {
            writefile(top, section.second);
            continue;
        }
        std::string path = treepath(section.first);
        if (path.empty()) continue;
        makeparents(tree, path);
        if (path.back() != '/') writefile(tree + "/" + path, section.second);
    }

    void *files = nullptr;
    strbuffer_t *line = newstrbuffer(0);
    if (FILE *fd = stackfopen((char *)top.c_str(), (char *)"r", &files)) {
        int count = 0;
        while (stackfgets(line, (char *)"import") && count++ < 100000) {
        }
        stackfclose(fd);
    }
    stackfmodified(files);
    stackfclist(&files);
    freestrbuffer(line);
    removetree(tree);
    endrun();
    return 0;
}
