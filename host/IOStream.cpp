#include "host/IOStream.h"

#include "foundation/Trace.h"

#include <io.h>
#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#define TRACE_MODULE "IOStream"

namespace {

// The body buffer starts at most this large and grows as bytes actually
// arrive, so a prefix that announces megabytes costs memory only for what is
// really sent.
constexpr size_t kInitialCapacity = size_t(1) << 20;

// The piece in which a refused body is read and dropped.
constexpr size_t kDiscardPiece = size_t(1) << 16;

// Reads exactly cb bytes unless the stream ends first. Returns the count read,
// or -1 with errno set.
long ReadFully(int fd, unsigned char* pb, size_t cb) {
    size_t done = 0;
    while (done < cb) {
        int n = _read(fd, pb + done, static_cast<unsigned int>(cb - done));
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return long(done);
}

// DiscardBody: reads and drops cb bytes. Returns 0, the C runtime's errno
// when a read fails, or ERROR_HANDLE_EOF when the input ends first.
int DiscardBody(int fd, size_t cb) {
    std::unique_ptr<unsigned char[]> pbPiece(new (std::nothrow) unsigned char[kDiscardPiece]);
    if (!pbPiece)
        return -1;
    while (cb > 0) {
        const size_t cbWant = cb < kDiscardPiece ? cb : kDiscardPiece;
        const int n = _read(fd, pbPiece.get(), static_cast<unsigned int>(cbWant));
        if (n < 0)
            return errno;
        if (n == 0)
            return ERROR_HANDLE_EOF;
        cb -= size_t(n);
    }
    return 0;
}

// Sizes the body buffer (new bytes zero); false when memory runs out.
bool TryResize(std::string& str, size_t cb) {
    try {
        str.resize(cb);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace

int SetTranslationMode() {
    TraceHelper trace(TEXT("SetTranslationMode"));
    int nResult = _setmode(_fileno(stdin), _O_BINARY);
    if (-1 == nResult) {
        TRACE_FAILED("SetTranslationMode", "_setmode(stdin)", -1, "-1 == nResult");
        return -1;
    }
    TRACE_OK("SetTranslationMode", "_setmode(stdin)");
    nResult = _setmode(_fileno(stdout), _O_BINARY);
    if (-1 == nResult) {
        TRACE_FAILED("SetTranslationMode", "_setmode(stdout)", -1, "-1 == nResult");
        return -1;
    }
    TRACE_OK("SetTranslationMode", "_setmode(stdout)");
    return 0;
}

int ReadFromNativeMessaging(std::string* pstrInputMsg, int fd) {
    TraceHelper trace(TEXT("ReadFromNativeMessaging"));
    unsigned char abyLength[4] = {0, 0, 0, 0};
    // A pipe may deliver even the prefix in pieces: complete it. Input that is
    // already at its end leaves it zero, which means "no message".
    long nPrefix = ReadFully(fd, abyLength, sizeof(abyLength));
    if (nPrefix < 0) {
        int nErr = errno;
        TRACE_FAILED("ReadFromNativeMessaging", "read(length)", nErr, "-1 == nReadSize");
        return nErr;
    }
    if (nPrefix != 0 && nPrefix != 4) {
        TRACE_FAILED("ReadFromNativeMessaging", "read(length)", ERROR_HANDLE_EOF, "4 != nReadSize");
        return ERROR_HANDLE_EOF;
    }
    const uint32_t uLength = uint32_t(abyLength[0]) | uint32_t(abyLength[1]) << 8 |
                             uint32_t(abyLength[2]) << 16 | uint32_t(abyLength[3]) << 24;
    TraceValueNumber("nMsgLength", long(uLength));
    if (uLength == 0 || uLength == 0xFFFFFFFFu) {
        if (pstrInputMsg != nullptr)
            pstrInputMsg->clear();
        return 0;
    }
    if (uLength > kMaxInputMessage) {
        // Read past it, so that the conversation goes on with the next frame.
        const int nDiscarded = DiscardBody(fd, uLength);
        if (nDiscarded != 0) {
            TRACE_FAILED("ReadFromNativeMessaging", "read(body)", nDiscarded, "discard");
            return nDiscarded;
        }
        TRACE_FAILED("ReadFromNativeMessaging", "Check length", int(VURO_E_DATA_LENGTH_LIMIT),
                     "nMsgLength > kMaxInputMessage");
        return VURO_E_DATA_LENGTH_LIMIT;
    }

    std::string strInputMsg;
    if (TRACE_IF(!TryResize(strInputMsg, uLength < kInitialCapacity ? uLength : kInitialCapacity),
                 "ReadFromNativeMessaging", "New memory", -1))
        return -1;
    size_t cbReceived = 0;
    while (cbReceived < uLength) {
        if (cbReceived == strInputMsg.size()) {
            const size_t cbNew =
                strInputMsg.size() * 2 < uLength ? strInputMsg.size() * 2 : size_t(uLength);
            if (TRACE_IF(!TryResize(strInputMsg, cbNew), "ReadFromNativeMessaging", "New memory",
                         -1))
                return -1;
        }
        int n = _read(fd, strInputMsg.data() + cbReceived,
                      static_cast<unsigned int>(strInputMsg.size() - cbReceived));
        if (n < 0) {
            int nErr = errno;
            TRACE_FAILED("ReadFromNativeMessaging", "read(body)", nErr, "-1 == nReadSize");
            return nErr;
        }
        if (n == 0) {
            // The sender is gone: the missing bytes will never come.
            TRACE_FAILED("ReadFromNativeMessaging", "read(body)", ERROR_HANDLE_EOF,
                         "0 == nReadSize");
            return ERROR_HANDLE_EOF;
        }
        cbReceived += size_t(n);
    }
    TRACE_OK("ReadFromNativeMessaging", "read");
    if (pstrInputMsg != nullptr)
        *pstrInputMsg = std::move(strInputMsg);
    return 0;
}

int WriteToNativeMessaging(const char* pszOutputMsg, int fd) {
    TraceHelper trace(TEXT("WriteToNativeMessaging"));
    const size_t cbMsg = std::strlen(pszOutputMsg);
    if (cbMsg > kMaxOutputMessage) {
        std::unique_ptr<unsigned char[]> pbyWriteBuf(new (std::nothrow) unsigned char[4]);
        if (!pbyWriteBuf) {
            TRACE_FAILED("WriteToNativeMessaging", "New memory", -1, "!pbyWriteBuf");
            return -1;
        }
        std::memset(pbyWriteBuf.get(), 0xFF, 4);
        // The marker is best effort: the frame fails either way.
        static_cast<void>(_write(fd, pbyWriteBuf.get(), 4));
        TRACE_FAILED("WriteToNativeMessaging", "write", -1, "nMsgLength > 1048576");
        return -1;
    }
    const size_t cbWriteBuf = cbMsg + 4;
    std::unique_ptr<unsigned char[]> pbyWriteBuf(new (std::nothrow) unsigned char[cbWriteBuf]);
    if (!pbyWriteBuf) {
        TRACE_FAILED("WriteToNativeMessaging", "New memory", -1, "!pbyWriteBuf");
        return -1;
    }
    pbyWriteBuf[0] = static_cast<unsigned char>(cbMsg & 0xFF);
    pbyWriteBuf[1] = static_cast<unsigned char>((cbMsg >> 8) & 0xFF);
    pbyWriteBuf[2] = static_cast<unsigned char>((cbMsg >> 16) & 0xFF);
    pbyWriteBuf[3] = static_cast<unsigned char>((cbMsg >> 24) & 0xFF);
    std::memcpy(pbyWriteBuf.get() + 4, pszOutputMsg, cbMsg);
    int nWriteSize = _write(fd, pbyWriteBuf.get(), static_cast<unsigned int>(cbWriteBuf));
    if (nWriteSize != int(cbWriteBuf)) {
        TRACE_FAILED("WriteToNativeMessaging", "write", -1, "nWriteSize != nWriteBufSize");
        return -1;
    }
    TRACE_OK("WriteToNativeMessaging", "write");
    return 0;
}
