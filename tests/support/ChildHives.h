// Registry and store calls in forked children pointed at hives of the test's
// own, for the POSIX tests that need several processes (writers at once, a
// killed writer, an unprivileged user). The parent never opens the hives
// through the registry; a child reports a failed check on standard error
// and in its exit status.
#pragma once

#include <windows.h>

#include "tests/support/PosixTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// CHECK, CHECK_RC: a child's checks; a failure names the place, the last
// error or the result, and ends the child's body with status 1.
#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s (last error %#lx)\n", __FILE__,          \
                         __LINE__, #cond, static_cast<unsigned long>(GetLastError()));             \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

#define CHECK_RC(expr, expected)                                                                   \
    do {                                                                                           \
        long rc_ = long(expr);                                                                     \
        if (rc_ != long(expected)) {                                                               \
            std::fprintf(stderr, "%s:%d: %s returned %ld, expected %ld\n", __FILE__, __LINE__,     \
                         #expr, rc_, long(expected));                                              \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

namespace orvane::test {

// Hives: the files a child's registry calls go to; an empty path leaves the
// variable unset, so the built-in place counts.
struct Hives {
    std::string user;
    std::string machine;
    // In: user.db and machine.db in the folder.
    static Hives In(const TempDir& dir) { return {dir / "user.db", dir / "machine.db"}; }
};

inline void PointAt(const Hives& hives) {
    if (hives.user.empty())
        unsetenv("ORVANE_USER_HIVE");
    else
        setenv("ORVANE_USER_HIVE", hives.user.c_str(), 1);
    if (hives.machine.empty())
        unsetenv("ORVANE_MACHINE_HIVE");
    else
        setenv("ORVANE_MACHINE_HIVE", hives.machine.c_str(), 1);
}

// StartChild: a forked child pointed at the hives runs body and exits with
// its result.
inline pid_t StartChild(const Hives& hives, const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        PointAt(hives);
        const int status = body();
        std::fflush(nullptr);
        _exit(status);
    }
    return pid;
}

// Wait: the child's exit status, or 128 + the signal that ended it.
inline int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int InChild(const Hives& hives, const std::function<int()>& body) {
    return Wait(StartChild(hives, body));
}

} // namespace orvane::test
