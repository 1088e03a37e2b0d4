// The C runtime's underscore names over POSIX descriptors.
#include <windows.h>
#include <io.h>

#include <cerrno>
#include <strings.h>
#include <unistd.h>

extern "C" int _read(int fd, void* buffer, unsigned int count) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, count);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<int>(n);
    }
}

extern "C" int _write(int fd, const void* buffer, unsigned int count) {
    // The runtime's _write writes everything or fails; POSIX write may stop short
    // on a pipe, so keep going until the whole buffer is out.
    const char* p = static_cast<const char*>(buffer);
    unsigned int done = 0;
    while (done < count) {
        ssize_t n = ::write(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done ? static_cast<int>(done) : -1;
        }
        done += static_cast<unsigned int>(n);
    }
    return static_cast<int>(done);
}

// POSIX streams never translate line ends: binary mode is the only mode.
extern "C" int _setmode(int fd, int mode) {
    if (fcntl(fd, F_GETFD) == -1) {
        errno = EBADF;
        return -1;
    }
    (void)mode;
    return _O_BINARY;
}

extern "C" int _close(int fd) {
    return ::close(fd);
}
extern "C" int _fileno(FILE* stream) {
    return ::fileno(stream);
}
extern "C" int _stricmp(const char* a, const char* b) {
    return ::strcasecmp(a, b);
}
extern "C" int _strnicmp(const char* a, const char* b, size_t n) {
    return ::strncasecmp(a, b, n);
}

// Pipe buffer size and text mode have no POSIX counterpart worth honouring.
extern "C" int _pipe(int* pfds, unsigned int, int) {
    return ::pipe(pfds);
}
