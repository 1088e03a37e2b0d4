// POSIX stand-in for the C runtime's low-level I/O header: unbuffered descriptor
// calls with the runtime's underscore names, and binary mode (a no-op here,
// since POSIX streams never translate line ends).
#pragma once
#include <stdio.h>
#include <fcntl.h>

#ifndef _O_BINARY
#define _O_BINARY 0x8000
#endif
#ifndef _O_TEXT
#define _O_TEXT 0x4000
#endif

#ifdef __cplusplus
extern "C" {
#endif
int _read(int fd, void* buffer, unsigned int count);
int _write(int fd, const void* buffer, unsigned int count);
int _setmode(int fd, int mode);
int _close(int fd);
int _pipe(int* pfds, unsigned int psize, int textmode);
int _fileno(FILE* stream);
#ifdef __cplusplus
}
#endif
