// POSIX stand-in for the few C runtime names the system uses that glibc spells
// differently (Windows' <string.h> declares these).
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t n);
#ifdef __cplusplus
}
#endif
