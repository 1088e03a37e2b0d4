// Per-thread last error, as kernel32 keeps it in the thread environment block.
#include <windows.h>

#include <pthread.h>
#include <unistd.h>
#include <sys/syscall.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" DWORD GetLastError(void) {
    return t_lastError;
}
extern "C" void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}
extern "C" DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
extern "C" DWORD GetCurrentThreadId(void) {
    return static_cast<DWORD>(syscall(SYS_gettid));
}
