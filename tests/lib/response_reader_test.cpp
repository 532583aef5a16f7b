// Reading a server's answer without any network: bytes handed in directly and through a
// socketpair, with and without HTTP headers.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "internal/response_reader.h"

namespace {

struct Case {
    bool httpheaders;
    std::vector<std::string> chunks;
    std::string expected;
};

const std::vector<Case> cases = {
    {false, {"plain ", "answer"}, "plain answer"},
    {true, {"HTTP/1.0 200 OK\r\n\r\nbody"}, "body"},
    {true, {"HTTP/1.0 200 OK\r", "\n", "\r", "\nbo", "dy"}, "body"},
    {true, {"H\r\n", "\r\n", "x\r\n\r\nkept"}, "x\r\n\r\nkept"},
    {true, {"no header end at all"}, ""},
    {true, {"\r\n\r\n"}, ""},
};

TEST(ResponseReader, DeliveredBytesLoseTheirHttpHeaderBlockOnlyAndAreCollectedInOrder)
{
    for (const Case &c : cases) {
        ResponseReader reader(NULL, true, c.httpheaders);
        for (const std::string &chunk : c.chunks) reader.deliver(chunk.data(), chunk.size());
        std::string got = reader.text() ? reader.text() : "";
        EXPECT_EQ(got, c.expected) << "first chunk: " << c.chunks[0];
    }
}

TEST(ResponseReader, AnAnswerReadFromASocketpairIsAppendedAfterWhatTheHolderHas)
{
    for (const Case &c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        std::thread writer([&] {
            for (const std::string &chunk : c.chunks) {
                EXPECT_EQ(write(sv[1], chunk.data(), chunk.size()), (ssize_t)chunk.size());
            }
            close(sv[1]);
        });
        strbuffer_t *out = newstrbuffer(0);
        addtobuffer(out, "before:");
        size_t total = readresponse(sv[0], c.httpheaders, NULL, out);
        writer.join();
        close(sv[0]);

        size_t sent = 0;
        for (const std::string &chunk : c.chunks) sent += chunk.size();
        EXPECT_EQ(total, sent);
        EXPECT_EQ(std::string(out->s), "before:" + c.expected);
        freestrbuffer(out);
    }
}

TEST(ResponseReader, AStreamGetsTheBodyAndNothingIsCollected)
{
    char *streamed = NULL;
    size_t streamedlen = 0;
    FILE *fd = open_memstream(&streamed, &streamedlen);
    ASSERT_NE(fd, nullptr);
    {
        ResponseReader reader(fd, true, true);
        const std::string answer = "HTTP/1.0 200 OK\r\n\r\nto the stream";
        reader.deliver(answer.data(), answer.size());
        EXPECT_EQ(reader.text(), nullptr);
    }
    fclose(fd);
    EXPECT_EQ(std::string(streamed, streamedlen), "to the stream");
    free(streamed);
}

} // namespace
