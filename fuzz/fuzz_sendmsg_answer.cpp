// Fuzz target: the messaging client's reading of a server's answer. The first byte chooses
// whether HTTP headers are expected and how the answer is cut into reads; the rest is the
// answer. Whatever the cuts, the text passed on must be exactly the bytes after the first
// "\r\n\r\n" (or all of them without headers), whether the reads come from a buffer, a
// stream or one end of a socketpair.

#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "internal/response_reader.h"

using namespace fuzzsupport;

namespace {

std::string expectedbody(const std::string &answer, bool httpheaders)
{
    if (!httpheaders) return answer;
    size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// The text as the client's response holders keep it: up to its first zero byte.
std::string uptozero(const std::string &s)
{
    return s.substr(0, s.find('\0'));
}

// Delivers answer in reads whose lengths follow from seed (1 to 8 bytes, or all at once).
void deliverincuts(ResponseReader &reader, const std::string &answer, unsigned seed)
{
    unsigned maxcut = seed % 9;
    size_t pos = 0;
    while (pos < answer.size()) {
        size_t n = maxcut == 0 ? answer.size() : 1 + (seed = seed * 1103515245u + 12345u) % maxcut;
        if (n > answer.size() - pos) n = answer.size() - pos;
        reader.deliver(answer.data() + pos, n);
        pos += n;
    }
}

void checkstream(const std::string &answer, bool httpheaders, unsigned seed)
{
    char *streamed = NULL;
    size_t streamedlen = 0;
    FILE *out = open_memstream(&streamed, &streamedlen);
    if (!out) return;
    {
        ResponseReader reader(out, false, httpheaders);
        deliverincuts(reader, answer, seed);
        if (reader.text() != NULL) __builtin_trap();
    }
    fclose(out);
    if (std::string(streamed, streamedlen) != expectedbody(answer, httpheaders)) __builtin_trap();
    free(streamed);
}

void checkcollected(const std::string &answer, bool httpheaders, unsigned seed)
{
    ResponseReader reader(NULL, true, httpheaders);
    deliverincuts(reader, answer, seed);
    std::string body = uptozero(expectedbody(answer, httpheaders));
    const char *text = reader.text();
    if (std::string(text ? text : "") != body) __builtin_trap();
}

// The whole answer written into a socketpair, then read back as the client reads a server.
void checksocket(const std::string &answer, bool httpheaders)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    size_t written = 0;
    while (written < answer.size()) {
        ssize_t n = write(fds[1], answer.data() + written, answer.size() - written);
        if (n <= 0) break;
        written += (size_t)n;
    }
    close(fds[1]);
    strbuffer_t *out = newstrbuffer(0);
    size_t got = readresponse(fds[0], httpheaders, NULL, out);
    close(fds[0]);
    if (written == answer.size()) {
        if (got != answer.size()) __builtin_trap();
        std::string text = out->s ? std::string(out->s, out->used) : std::string();
        if (text != uptozero(expectedbody(answer, httpheaders))) __builtin_trap();
    }
    freestrbuffer(out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    bool httpheaders = data[0] & 1;
    unsigned seed = data[0] >> 1;
    std::string answer((const char *)data + 1, size - 1);

    beginrun();
    checkstream(answer, httpheaders, seed);
    checkcollected(answer, httpheaders, seed);
    // Small answers fit the socket's buffer, so writing them all before reading cannot block.
    if (answer.size() <= 65536) checksocket(answer, httpheaders);
    endrun();
    return 0;
}
