// Framing over real pipes: pieces, prefixes that are not lengths, the end of
// input in every position, and the output limit.
#include "host/IOStream.h"

#include "foundation/ResultCodes.h"

#include <gtest/gtest.h>

#include <io.h>
#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class Pipe {
public:
    Pipe() {
        int fds[2];
        EXPECT_EQ(_pipe(fds, 1 << 20, _O_BINARY), 0);
        m_read = fds[0];
        m_write = fds[1];
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    int ReadEnd() const { return m_read; }
    int WriteEnd() const { return m_write; }
    void Write(const std::string& bytes) const {
        ASSERT_EQ(_write(m_write, bytes.data(), unsigned(bytes.size())), int(bytes.size()));
    }
    void CloseWrite() {
        if (m_write >= 0)
            _close(m_write);
        m_write = -1;
    }
    void CloseRead() {
        if (m_read >= 0)
            _close(m_read);
        m_read = -1;
    }
    std::string ReadAvailable(size_t max) const {
        std::string out(max, '\0');
        int n = _read(m_read, out.data(), unsigned(max));
        out.resize(n > 0 ? size_t(n) : 0);
        return out;
    }

private:
    int m_read = -1;
    int m_write = -1;
};

std::string Prefix(uint32_t n) {
    return std::string{char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF),
                       char((n >> 24) & 0xFF)};
}

// What a failed read must leave in the body.
const std::string kUntouched = "untouched";

struct ReadResult {
    int result;
    std::string msg;
};

ReadResult Read(int fd) {
    std::string msg = kUntouched; // overwritten on success
    const int result = ReadFromNativeMessaging(&msg, fd);
    return {result, msg};
}

} // namespace

TEST(Framing, PrefixesThatAreNotLengthsMeanNoMessage) {
    for (uint32_t prefix : {0u, 0xFFFFFFFFu}) {
        Pipe p;
        p.Write(Prefix(prefix) + "ignored");
        ReadResult r = Read(p.ReadEnd());
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.msg, "");
    }
    Pipe ended;
    ended.CloseWrite();
    ReadResult r = Read(ended.ReadEnd());
    EXPECT_EQ(r.result, 0) << "input already at its end";
    EXPECT_EQ(r.msg, "");
    // Nowhere to put the body: the frame is still read.
    Pipe discarded;
    discarded.Write(Prefix(2) + "{}" + Prefix(3) + "abc");
    EXPECT_EQ(ReadFromNativeMessaging(nullptr, discarded.ReadEnd()), 0);
    EXPECT_EQ(Read(discarded.ReadEnd()).msg, "abc");
}

TEST(Framing, BodyArrivingInPiecesIsAssembled) {
    Pipe p;
    const std::string body = "{\"function\":\"x\",\r\n\"params\":[]}";
    std::thread writer([&] {
        const std::string frame = Prefix(uint32_t(body.size())) + body;
        // Even the prefix arrives split.
        const size_t cuts[] = {0, 2, 7, 20, frame.size()};
        for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
            p.Write(frame.substr(cuts[i], cuts[i + 1] - cuts[i]));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    ReadResult r = Read(p.ReadEnd());
    writer.join();
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.msg, body); // CR LF untouched
}

TEST(Framing, EndOfInputInsideAFrameFailsInsteadOfWaiting) {
    {
        Pipe p;
        p.Write(Prefix(10) + "abc");
        p.CloseWrite();
        ReadResult r = Read(p.ReadEnd());
        EXPECT_EQ(r.result, ERROR_HANDLE_EOF);
        EXPECT_EQ(r.msg, kUntouched);
    }
    {
        Pipe p;
        p.Write(std::string("\x05\x00", 2)); // half a prefix
        p.CloseWrite();
        EXPECT_EQ(Read(p.ReadEnd()).result, ERROR_HANDLE_EOF);
    }
}

TEST(Framing, HugeAnnouncedLengthCostsOnlyWhatArrives) {
    // The bound announced, 5 bytes sent: the read ends with a failure at the
    // end of input rather than first allocating and zeroing megabytes.
    Pipe p;
    p.Write(Prefix(uint32_t(kMaxInputMessage)) + "hello");
    p.CloseWrite();
    EXPECT_EQ(Read(p.ReadEnd()).result, ERROR_HANDLE_EOF);
}

TEST(Framing, FramesAboveTheBoundAreReadPastAndRefused) {
    // Each oversized frame is consumed whole, so the frame after it is read
    // as the next message; at the end of input inside one, the read fails.
    struct {
        uint32_t announced;
        size_t sent;
        int expected;
    } const cases[] = {
        {uint32_t(kMaxInputMessage) + 1, kMaxInputMessage + 1, int(VURO_E_DATA_LENGTH_LIMIT)},
        {uint32_t(3 * kMaxInputMessage), 3 * kMaxInputMessage, int(VURO_E_DATA_LENGTH_LIMIT)},
        {0x80000000u, 100, ERROR_HANDLE_EOF},
        {0xFFFFFFFEu, 0, ERROR_HANDLE_EOF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.announced);
        Pipe p;
        std::thread writer([&] {
            p.Write(Prefix(c.announced) + std::string(c.sent, '[') + Prefix(2) + "{}");
            p.CloseWrite();
        });
        ReadResult r = Read(p.ReadEnd());
        EXPECT_EQ(r.result, c.expected);
        EXPECT_EQ(r.msg, kUntouched);
        if (c.expected == int(VURO_E_DATA_LENGTH_LIMIT)) {
            ReadResult next = Read(p.ReadEnd());
            ASSERT_EQ(next.result, 0);
            EXPECT_EQ(next.msg, "{}");
        }
        p.CloseRead();
        writer.join();
    }
}

TEST(Framing, MultiMegabyteBodyGrowsPastTheFirstBuffer) {
    Pipe p;
    std::string body(3 * 1024 * 1024 + 17, 'x');
    for (size_t i = 0; i < body.size(); i += 4099)
        body[i] = char('a' + i % 26);
    std::thread writer([&] { p.Write(Prefix(uint32_t(body.size())) + body); });
    ReadResult r = Read(p.ReadEnd());
    writer.join();
    ASSERT_EQ(r.result, 0);
    ASSERT_EQ(r.msg.size(), body.size());
    EXPECT_TRUE(r.msg == body);
}

TEST(Framing, WritesPrefixAndBodyUpToTheLimit) {
    {
        Pipe p;
        ASSERT_EQ(WriteToNativeMessaging("", p.WriteEnd()), 0);
        EXPECT_EQ(p.ReadAvailable(16), std::string(4, '\0'));
    }
    {
        Pipe p;
        ASSERT_EQ(WriteToNativeMessaging("a\r\nb", p.WriteEnd()), 0);
        EXPECT_EQ(p.ReadAvailable(16), Prefix(4) + "a\r\nb");
    }
    {
        Pipe p;
        const std::string limit(kMaxOutputMessage, 'y');
        int result = -2;
        std::thread writer([&] { result = WriteToNativeMessaging(limit.c_str(), p.WriteEnd()); });
        std::string got;
        while (got.size() < limit.size() + 4) {
            std::string piece = p.ReadAvailable(1 << 16);
            ASSERT_FALSE(piece.empty());
            got += piece;
        }
        writer.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(got.substr(0, 4), std::string("\x00\x00\x10\x00", 4));
        EXPECT_EQ(got.size(), limit.size() + 4);
    }
    {
        Pipe p;
        const std::string over(kMaxOutputMessage + 1, 'z');
        EXPECT_EQ(WriteToNativeMessaging(over.c_str(), p.WriteEnd()), -1);
        p.CloseWrite();
        EXPECT_EQ(p.ReadAvailable(16), "\xFF\xFF\xFF\xFF");
        EXPECT_EQ(p.ReadAvailable(16), "") << "the response itself is never written";
    }
}
