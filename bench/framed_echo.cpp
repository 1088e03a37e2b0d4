// The anchor of the host round-trip benchmark: the least a framed
// native-messaging program can do, reading each frame and writing it back.
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

bool ReadExactly(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t got = read(fd, p, n);
        if (got <= 0)
            return false;
        p += got;
        n -= size_t(got);
    }
    return true;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t put = write(fd, p, n);
        if (put <= 0)
            return false;
        p += put;
        n -= size_t(put);
    }
    return true;
}

} // namespace

int main() {
    std::string frame;
    for (;;) {
        unsigned char prefix[4];
        if (!ReadExactly(0, reinterpret_cast<char*>(prefix), 4))
            return 0;
        uint32_t n = uint32_t(prefix[0]) | uint32_t(prefix[1]) << 8 | uint32_t(prefix[2]) << 16 |
                     uint32_t(prefix[3]) << 24;
        if (n == 0 || n == 0xFFFFFFFFu)
            return 0;
        frame.resize(4 + n);
        std::memcpy(frame.data(), prefix, 4);
        if (!ReadExactly(0, frame.data() + 4, n))
            return 1;
        if (!WriteAll(1, frame.data(), frame.size()))
            return 1;
    }
}
