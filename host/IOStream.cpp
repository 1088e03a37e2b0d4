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

int ReadFromNativeMessaging(char** ppszInputMsg, int fd, int* pnMsgLength) {
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
        if (ppszInputMsg != nullptr)
            *ppszInputMsg = nullptr;
        if (pnMsgLength != nullptr)
            *pnMsgLength = 0;
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

    size_t cbCapacity = uLength < kInitialCapacity ? uLength : kInitialCapacity;
    std::unique_ptr<char[]> pszInputMsg(new (std::nothrow) char[cbCapacity + 1]);
    if (!pszInputMsg) {
        TRACE_FAILED("ReadFromNativeMessaging", "New memory", -1, "!pszInputMsg");
        return -1;
    }
    std::memset(pszInputMsg.get(), 0, cbCapacity + 1);
    size_t cbReceived = 0;
    while (cbReceived < uLength) {
        if (cbReceived == cbCapacity) {
            size_t cbNew = cbCapacity * 2 < uLength ? cbCapacity * 2 : uLength;
            std::unique_ptr<char[]> pszGrown(new (std::nothrow) char[cbNew + 1]);
            if (!pszGrown) {
                TRACE_FAILED("ReadFromNativeMessaging", "New memory", -1, "!pszInputMsg");
                return -1;
            }
            std::memcpy(pszGrown.get(), pszInputMsg.get(), cbReceived);
            std::memset(pszGrown.get() + cbReceived, 0, cbNew + 1 - cbReceived);
            pszInputMsg = std::move(pszGrown);
            cbCapacity = cbNew;
        }
        int n = _read(fd, pszInputMsg.get() + cbReceived,
                      static_cast<unsigned int>(cbCapacity - cbReceived));
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
    if (pnMsgLength != nullptr)
        *pnMsgLength = int(uLength);
    if (ppszInputMsg != nullptr)
        *ppszInputMsg = pszInputMsg.release();
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
        _write(fd, pbyWriteBuf.get(), 4);
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
