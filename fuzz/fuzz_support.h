/*
 * Helpers shared by the fuzz targets: a private work directory, files written from the input,
 * the process environment put back after every run, and input split into named sections.
 *
 * During a run every target reads files only inside its work directory: the fuzz build wraps
 * fopen and opendir so that a directive naming /dev/zero, /proc or "/" is refused like a missing file
 * (the readers then report it), instead of letting the fuzzer wander through the machine.
 */
#ifndef ZARVO_FUZZ_SUPPORT_H
#define ZARVO_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace fuzzsupport {

/* The target's work directory (a fresh directory under $TMPDIR or /tmp, removed at exit). */
const std::string &workdir();

/* Writes text to the file path, creating it or replacing its contents. */
void writefile(const std::string &path, const std::string &text);

/* Removes path and everything below it; a missing path is fine. */
void removetree(const std::string &path);

/* Records the process environment on the first call; every later call sets it back to that
 * record, so that settings a run stored do not reach the next run. */
void resetenvironment();

/* Begins a run: from here on, files outside the work directory cannot be opened (libFuzzer's
 * own reading of its corpus happens outside runs). */
void beginrun();

/* Ends a run: the error channel's collected text is released, the environment reset and
 * the confinement lifted. */
void endrun();

/* Once at start: makes the work directory, applies the options below, then records the
 * environment that every run is set back to. */
enum {
    SETUP_HOME_IN_WORKDIR = 1, /* ZARVOHOME names the work directory */
    SETUP_UTC = 2,             /* the time zone is UTC, so that runs agree on dates */
};
void setup(unsigned options);

/* Reads a result so that the sanitizers check its memory; null is fine. */
void touch(const char *text);
void touch(long long value);

/* The whole contents of a file, or "" when it cannot be read (not confined to the work directory). */
std::string readfile(const std::string &path);

/* The input split at every "\n" (the newline dropped); the text after the last one, even
 * empty, is the last line. */
std::vector<std::string> lines(const std::string &input);

/* The input split at lines "=== NAME": pairs of NAME and the text up to the next such line.
 * Text before the first such line comes with the name "". */
std::vector<std::pair<std::string, std::string>> sections(const std::string &input);

} // namespace fuzzsupport

#endif
