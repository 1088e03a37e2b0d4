// The SQLite hives under real use: what one process writes others read, many
// writers at once lose nothing, a killed writer leaves whole changes, files get
// private modes, the machine hive is root's to change, and a hive that cannot
// serve says so and is left alone. Registry calls run
// in forked children, each pointed at hives in a fresh folder; the children
// report a failed check on standard error and in their exit status.
#include "tests/support/TestSupport.h"

#include <wincrypt.h>
#include <winreg.h>

#include "tests/support/ChildHives.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using orvane::test::Hives;
using orvane::test::InChild;
using orvane::test::StartChild;
using orvane::test::Wait;

// ChangeMeanwhile: a child runs `before`, another process then runs `change`,
// and the first child, still running, goes on with `after`; 0 when all passed.
int ChangeMeanwhile(const Hives& hives, const std::function<int()>& before,
                    const std::function<int()>& change, const std::function<int()>& after) {
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0)
        return -1;
    pid_t reader = StartChild(hives, [&] {
        const int rc = before();
        char c = 'r';
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
            return 1;
        return rc != 0 ? rc : after();
    });
    char c = 0;
    const int changed = read(ready[0], &c, 1) == 1 ? InChild(hives, change) : -1;
    const bool released = write(go[1], "g", 1) == 1;
    const int readerStatus = Wait(reader);
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
    return changed != 0 ? changed : !released ? -1 : readerStatus;
}

WString Name(const char* prefix, long n) {
    return W((std::string(prefix) + std::to_string(n)).c_str());
}

LSTATUS CreateKey(HKEY root, const WString& path, HKEY& h, DWORD* disposition = nullptr) {
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                           disposition);
}

LSTATUS SetDword(HKEY h, const WString& name, DWORD v) {
    return RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
}

LSTATUS GetDword(HKEY h, const WString& name, DWORD& v) {
    DWORD cb = sizeof(v), type = 0;
    LSTATUS rc =
        RegQueryValueExW(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb);
    return rc == ERROR_SUCCESS && (type != REG_DWORD || cb != 4) ? ERROR_INVALID_DATA : rc;
}

std::string IntegrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return result;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Bytes derived from n, so a torn or misplaced value shows.
std::vector<BYTE> Pattern(long n, size_t size) {
    std::vector<BYTE> out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = BYTE((i * 31 + size_t(n) * 7) ^ (i >> 8));
    return out;
}

} // namespace

TEST(RegistryHive, WhatOneProcessWritesAnotherReads) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    const WString loneSurrogate(1, WCHAR(0xD800)); // kept as given, not converted
    const std::vector<BYTE> big = Pattern(1, 200000);

    auto writeAll = [&] {
        HKEY h = nullptr;
        DWORD disposition = 0;
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Orvane\\Sub"), h, &disposition),
                 ERROR_SUCCESS);
        CHECK(disposition == REG_CREATED_NEW_KEY);
        CHECK_RC(SetDword(h, W("Count"), 3), ERROR_SUCCESS);
        CHECK_RC(RegSetValueExW(h, W("Big").c_str(), 0, REG_BINARY, big.data(), DWORD(big.size())),
                 ERROR_SUCCESS);
        CHECK_RC(SetDword(h, loneSurrogate, 9), ERROR_SUCCESS);
        RegCloseKey(h);
        for (const char* name : {"b", "A", "c"}) {
            CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Orvane\\List\\") + W(name), h),
                     ERROR_SUCCESS);
            RegCloseKey(h);
        }
        // The hive's root stays, whoever asks.
        CHECK_RC(RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("")), ERROR_ACCESS_DENIED);
        return 0;
    };
    ASSERT_EQ(InChild(hives, writeAll), 0);

    // A new process finds everything, in Windows' order.
    auto readAll = [&] {
        HKEY h = nullptr;
        CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("SOFTWARE\\ORVANE\\SUB"), 0, KEY_READ, &h),
                 ERROR_SUCCESS);
        DWORD v = 0;
        CHECK_RC(GetDword(h, W("count"), v), ERROR_SUCCESS);
        CHECK(v == 3);
        CHECK_RC(GetDword(h, loneSurrogate, v), ERROR_SUCCESS);
        CHECK(v == 9);
        std::vector<BYTE> got(big.size());
        DWORD cb = DWORD(got.size());
        CHECK_RC(RegQueryValueExW(h, TEXT("Big"), nullptr, nullptr, got.data(), &cb),
                 ERROR_SUCCESS);
        CHECK(got == big);
        WCHAR name[8];
        DWORD cch = 8;
        CHECK_RC(RegEnumValueW(h, 2, name, &cch, nullptr, nullptr, nullptr, nullptr),
                 ERROR_SUCCESS);
        CHECK(WString(name) == loneSurrogate); // in the order first set
        RegCloseKey(h);
        CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Orvane\\List"), 0, KEY_READ, &h),
                 ERROR_SUCCESS);
        std::string order;
        for (DWORD i = 0;; ++i) {
            cch = 8;
            LSTATUS rc = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS)
                break;
            CHECK_RC(rc, ERROR_SUCCESS);
            order += U8(name);
        }
        CHECK(order == "Abc");
        return 0;
    };
    ASSERT_EQ(InChild(hives, readAll), 0);

    // A reader already running sees what another process writes meanwhile.
    HKEY h = nullptr;
    DWORD v = 0;
    auto readThree = [&] {
        CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Orvane\\Sub"), 0, KEY_READ, &h),
                 ERROR_SUCCESS);
        CHECK_RC(GetDword(h, W("Count"), v), ERROR_SUCCESS);
        CHECK(v == 3);
        return 0;
    };
    auto writeFour = [&] {
        HKEY w = nullptr;
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Orvane\\Sub"), w), ERROR_SUCCESS);
        CHECK_RC(SetDword(w, W("Count"), 4), ERROR_SUCCESS);
        return 0;
    };
    auto readFour = [&] {
        CHECK_RC(GetDword(h, W("Count"), v), ERROR_SUCCESS);
        CHECK(v == 4);
        return 0;
    };
    EXPECT_EQ(ChangeMeanwhile(hives, readThree, writeFour, readFour), 0);
    EXPECT_EQ(IntegrityCheck(hives.user), "ok");
}

TEST(RegistryHive, ConcurrentWritersLoseNothing) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    constexpr int kWriters = 8, kRounds = 200;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(StartChild(hives, [&, w] {
            close(gate[1]);
            char ch;
            CHECK(read(gate[0], &ch, 1) == 0); // all start together when the gate closes
            HKEY shared = nullptr;
            CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Stress\\Shared"), shared), ERROR_SUCCESS);
            for (int r = 0; r < kRounds; ++r) {
                WString key = W("Stress\\") + Name("P", w) + Name("\\K", r);
                WString value = Name("P", w) + Name(".", r);
                HKEY h = nullptr;
                CHECK_RC(CreateKey(HKEY_CURRENT_USER, key, h), ERROR_SUCCESS);
                CHECK_RC(SetDword(h, W("v"), DWORD(r)), ERROR_SUCCESS);
                RegCloseKey(h);
                CHECK_RC(SetDword(shared, value, DWORD(w * 1000 + r)), ERROR_SUCCESS);
                if (r % 2 == 1) { // odd rounds take back what they made
                    CHECK_RC(RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str()), ERROR_SUCCESS);
                    CHECK_RC(RegDeleteValueW(shared, value.c_str()), ERROR_SUCCESS);
                }
            }
            RegCloseKey(shared);
            return 0;
        }));
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : writers)
        EXPECT_EQ(Wait(pid), 0);

    auto verify = [&] {
        HKEY shared = nullptr;
        CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Stress\\Shared"), 0, KEY_READ, &shared),
                 ERROR_SUCCESS);
        DWORD values = 0;
        CHECK_RC(RegQueryInfoKeyW(shared, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  &values, nullptr, nullptr, nullptr, nullptr),
                 ERROR_SUCCESS);
        CHECK(values == kWriters * kRounds / 2);
        for (int w = 0; w < kWriters; ++w) {
            HKEY p = nullptr;
            CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, (W("Stress\\") + Name("P", w)).c_str(), 0,
                                   KEY_READ, &p),
                     ERROR_SUCCESS);
            DWORD subkeys = 0;
            CHECK_RC(RegQueryInfoKeyW(p, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr),
                     ERROR_SUCCESS);
            CHECK(subkeys == kRounds / 2);
            for (int r = 0; r < kRounds; r += 2) {
                HKEY h = nullptr;
                DWORD v = 0;
                CHECK_RC(RegOpenKeyExW(p, Name("K", r).c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
                CHECK_RC(GetDword(h, W("v"), v), ERROR_SUCCESS);
                CHECK(v == DWORD(r));
                RegCloseKey(h);
                CHECK_RC(GetDword(shared, Name("P", w) + Name(".", r), v), ERROR_SUCCESS);
                CHECK(v == DWORD(w * 1000 + r));
            }
            RegCloseKey(p);
        }
        return 0;
    };
    EXPECT_EQ(InChild(hives, verify), 0);
    EXPECT_EQ(IntegrityCheck(hives.user), "ok");
}

// Regression: the first writers of a new hive all switch it to WAL, and SQLite
// answered "busy" to all but one at once instead of waiting its turn.
TEST(RegistryHive, WritersMeetingOnANewHiveAllSucceed) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        TempDir dir("orvane-reg");
        Hives hives{dir / "user.db", dir / "machine.db"};
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> writers;
        for (int w = 0; w < 8; ++w) {
            writers.push_back(StartChild(hives, [&, w] {
                close(gate[1]);
                char ch;
                CHECK(read(gate[0], &ch, 1) == 0);
                HKEY h = nullptr;
                CHECK_RC(CreateKey(HKEY_CURRENT_USER, Name("W", w), h), ERROR_SUCCESS);
                return 0;
            }));
        }
        close(gate[0]);
        close(gate[1]);
        for (pid_t pid : writers)
            ASSERT_EQ(Wait(pid), 0) << "attempt " << attempt;
    }
}

TEST(RegistryHive, KilledWriterLeavesWholeChanges) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    constexpr size_t kValueBytes = 256 * 1024;
    // Kill after a different number of finished changes each time, so the
    // signal lands at different points of a change.
    for (long killAfter : {3L, 11L, 24L}) {
        const WString crashKey = Name("Crash", killAfter); // one per run: its own "done"
        int progress[2];
        ASSERT_EQ(pipe(progress), 0);
        pid_t writer = StartChild(hives, [&] {
            close(progress[0]);
            for (long n = 0;; ++n) {
                HKEY h = nullptr;
                // One call makes four keys; the next sets a large value.
                CHECK_RC(CreateKey(HKEY_CURRENT_USER, crashKey + Name("\\", n) + W("\\a\\b\\c"), h),
                         ERROR_SUCCESS);
                std::vector<BYTE> data = Pattern(n, kValueBytes);
                CHECK_RC(
                    RegSetValueExW(h, TEXT("blob"), 0, REG_BINARY, data.data(), DWORD(data.size())),
                    ERROR_SUCCESS);
                RegCloseKey(h);
                CHECK(write(progress[1], &n, sizeof(n)) == sizeof(n));
            }
        });
        close(progress[1]);
        long done = -1, n = 0;
        for (long seen = 0; seen < killAfter && read(progress[0], &n, sizeof(n)) == sizeof(n);
             ++seen)
            done = n;
        kill(writer, SIGKILL);
        EXPECT_EQ(Wait(writer), 128 + SIGKILL);
        close(progress[0]);
        ASSERT_EQ(done, killAfter - 1) << "the writer stopped early";

        auto verify = [&] {
            HKEY crash = nullptr;
            CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, crashKey.c_str(), 0, KEY_READ, &crash),
                     ERROR_SUCCESS);
            for (DWORD i = 0;; ++i) {
                WCHAR name[32];
                DWORD cch = 32;
                LSTATUS rc =
                    RegEnumKeyExW(crash, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
                if (rc == ERROR_NO_MORE_ITEMS)
                    break;
                CHECK_RC(rc, ERROR_SUCCESS);
                long id = std::stol(U8(name));
                HKEY leaf = nullptr;
                // The keys of one call exist together or not at all.
                CHECK_RC(RegOpenKeyExW(crash, (WString(name) + W("\\a\\b\\c")).c_str(), 0, KEY_READ,
                                       &leaf),
                         ERROR_SUCCESS);
                DWORD cb = 0;
                rc = RegQueryValueExW(leaf, TEXT("blob"), nullptr, nullptr, nullptr, &cb);
                // A change reported done is there; the one cut short may be
                // absent.
                if (id <= done || rc != ERROR_FILE_NOT_FOUND) {
                    CHECK_RC(rc, ERROR_SUCCESS);
                    std::vector<BYTE> got(kValueBytes);
                    cb = DWORD(got.size());
                    CHECK_RC(
                        RegQueryValueExW(leaf, TEXT("blob"), nullptr, nullptr, got.data(), &cb),
                        ERROR_SUCCESS);
                    CHECK(cb == kValueBytes);
                    CHECK(got == Pattern(id, kValueBytes));
                }
                RegCloseKey(leaf);
            }
            return 0;
        };
        EXPECT_EQ(InChild(hives, verify), 0);
        EXPECT_EQ(IntegrityCheck(hives.user), "ok");
    }
}

TEST(RegistryHive, UserHiveAndFolderArePrivate) {
    struct Case {
        const char* what;
        bool setHive, setXdg;
        const char* xdg;      // XDG_DATA_HOME below the temporary folder, or as given
        const char* expected; // hive path below the temporary folder
    } cases[] = {
        {"ORVANE_USER_HIVE wins", true, true, "/xdg", "/own/deep/user.db"},
        {"XDG_DATA_HOME", false, true, "/xdg", "/xdg/orvane/user.db"},
        {"HOME", false, false, "", "/user-home/.local/share/orvane/user.db"},
        // Invalid: a relative XDG_DATA_HOME is ignored.
        {"relative XDG_DATA_HOME", false, true, "relative",
         "/user-home/.local/share/orvane/user.db"},
    };
    for (const Case& c : cases) {
        TempDir dir("orvane-reg");
        const std::string expected = dir.path + c.expected;
        Hives hives{c.setHive ? dir.path + "/own/deep/user.db" : std::string(), dir / "machine.db"};
        auto writeSomething = [&] {
            umask(0); // the modes must not depend on the caller's umask
            setenv("HOME", (dir / "user-home").c_str(), 1);
            if (!c.setXdg)
                unsetenv("XDG_DATA_HOME");
            else if (c.xdg[0] == '/')
                setenv("XDG_DATA_HOME", (dir.path + c.xdg).c_str(), 1);
            else
                setenv("XDG_DATA_HOME", c.xdg, 1);
            HKEY h = nullptr;
            CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software"), h), ERROR_SUCCESS);
            CHECK_RC(SetDword(h, W("v"), 1), ERROR_SUCCESS);
            return 0;
        };
        EXPECT_EQ(InChild(hives, writeSomething), 0) << c.what;
        EXPECT_EQ(ModeOf(expected), mode_t(0600)) << c.what;
        EXPECT_EQ(ModeOf(expected.substr(0, expected.rfind('/'))), mode_t(0700)) << c.what;
        // The journal (left by the child's exit) holds the hive's data, and is as private.
        EXPECT_EQ(ModeOf(expected + "-wal"), mode_t(0600)) << c.what;
    }
}

TEST(RegistryHive, MachineHiveIsRootsToChange) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    const bool root = geteuid() == 0;
    if (root) {
        // Root, as an administrator, writes the machine hive; everyone may read it.
        auto makeHive = [&] {
            HKEY h = nullptr;
            CHECK_RC(CreateKey(HKEY_LOCAL_MACHINE, W("SOFTWARE\\Orvane"), h), ERROR_SUCCESS);
            CHECK_RC(SetDword(h, W("v"), 77), ERROR_SUCCESS);
            return 0;
        };
        ASSERT_EQ(InChild(hives, makeHive), 0);
        EXPECT_EQ(ModeOf(hives.machine), mode_t(0644));
        // The unprivileged user gets a folder of its own for its user hive.
        ASSERT_EQ(mkdir((dir / "nobody").c_str(), 0700), 0);
        ASSERT_EQ(chown((dir / "nobody").c_str(), kNobody, kNobody), 0);
        hives.user = dir / "nobody/user.db";
    }
    auto tryToChange = [&] {
        if (root) {
            CHECK(setgid(kNobody) == 0);
            CHECK(setuid(kNobody) == 0);
        }
        HKEY h = nullptr;
        DWORD v = 0;
        // Invalid: every way of changing the machine hive.
        CHECK_RC(CreateKey(HKEY_LOCAL_MACHINE, W("SOFTWARE\\Other"), h), ERROR_ACCESS_DENIED);
        CHECK(h == nullptr);
        CHECK_RC(SetDword(HKEY_LOCAL_MACHINE, W("v"), 1), ERROR_ACCESS_DENIED);
        CHECK_RC(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT(""), 0, KEY_WRITE, &h),
                 ERROR_ACCESS_DENIED);
        if (root) {
            CHECK_RC(
                RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Orvane"), 0, KEY_SET_VALUE, &h),
                ERROR_ACCESS_DENIED);
            CHECK_RC(RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Orvane")),
                     ERROR_ACCESS_DENIED);
            // Reading is allowed.
            CHECK_RC(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Orvane"), 0, KEY_READ, &h),
                     ERROR_SUCCESS);
            CHECK_RC(GetDword(h, W("v"), v), ERROR_SUCCESS);
            CHECK(v == 77);
            CHECK_RC(RegDeleteValueW(h, TEXT("v")), ERROR_ACCESS_DENIED);
            RegCloseKey(h);
        }
        // Missing keys read as missing, even when asking to write.
        CHECK_RC(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Absent"), 0, KEY_WRITE, &h),
                 ERROR_FILE_NOT_FOUND);
        CHECK_RC(RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Absent")), ERROR_FILE_NOT_FOUND);
        // The user's own hive stays writable.
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Mine"), h), ERROR_SUCCESS);
        CHECK_RC(SetDword(h, W("v"), 1), ERROR_SUCCESS);
        return 0;
    };
    EXPECT_EQ(InChild(hives, tryToChange), 0);
    if (!root) {
        EXPECT_FALSE(Exists(hives.machine)); // refused writes create nothing
        return;
    }
    EXPECT_EQ(IntegrityCheck(hives.machine), "ok");
    // The refusal is the rule of the machine hive, not merely its file's mode:
    // it holds when the unprivileged user owns the files.
    for (const char* suffix : {"", "-wal", "-shm"})
        ASSERT_EQ(chown((hives.machine + suffix).c_str(), kNobody, kNobody), 0) << suffix;
    auto tryAsOwner = [&] {
        CHECK(setgid(kNobody) == 0);
        CHECK(setuid(kNobody) == 0);
        HKEY h = nullptr;
        CHECK_RC(CreateKey(HKEY_LOCAL_MACHINE, W("SOFTWARE\\Other"), h), ERROR_ACCESS_DENIED);
        CHECK_RC(SetDword(HKEY_LOCAL_MACHINE, W("v"), 1), ERROR_ACCESS_DENIED);
        return 0;
    };
    EXPECT_EQ(InChild(hives, tryAsOwner), 0);
}

TEST(RegistryHive, MissingHivesReadAsEmptyAndStayMissing) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "u/user.db", dir / "m/machine.db"};
    auto readEverything = [&] {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            HKEY h = nullptr;
            DWORD cb = 0, subkeys = 1, values = 1;
            WCHAR name[8];
            DWORD cch = 8;
            CHECK_RC(RegOpenKeyExW(root,
                                   TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi"
                                        "\\GlobalLogger"),
                                   0, KEY_READ, &h),
                     ERROR_FILE_NOT_FOUND);
            CHECK_RC(RegQueryValueExW(root, TEXT("Start"), nullptr, nullptr, nullptr, &cb),
                     ERROR_FILE_NOT_FOUND);
            CHECK_RC(RegEnumKeyExW(root, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
                     ERROR_NO_MORE_ITEMS);
            CHECK_RC(RegEnumValueW(root, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
                     ERROR_NO_MORE_ITEMS);
            CHECK_RC(RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                      &values, nullptr, nullptr, nullptr, nullptr),
                     ERROR_SUCCESS);
            CHECK(subkeys == 0 && values == 0);
            CHECK_RC(RegOpenKeyExW(root, TEXT(""), 0, KEY_READ, &h), ERROR_SUCCESS);
            CHECK_RC(RegDeleteKeyW(root, TEXT("Absent")), ERROR_FILE_NOT_FOUND);
            CHECK_RC(RegDeleteValueW(root, TEXT("Absent")), ERROR_FILE_NOT_FOUND);
        }
        // Opening an existing key through RegCreateKeyExW changes nothing.
        HKEY h = nullptr;
        DWORD disposition = 0;
        CHECK_RC(RegCreateKeyExW(HKEY_CURRENT_USER, TEXT(""), 0, nullptr, 0, KEY_READ, nullptr, &h,
                                 &disposition),
                 ERROR_SUCCESS);
        CHECK(disposition == REG_OPENED_EXISTING_KEY);
        return 0;
    };
    EXPECT_EQ(InChild(hives, readEverything), 0);
    EXPECT_FALSE(Exists(dir / "m"));
    EXPECT_FALSE(Exists(dir / "u"));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// SystemText: FormatMessageW's text for code in English or Chinese.
std::string SystemText(DWORD code, bool chinese = false) {
    WCHAR buf[2048] = {};
    const LANGID lang = chinese ? MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)
                                : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, lang, buf, 2048, nullptr);
    return n == 0 ? std::string() : U8(buf);
}

// MakeHive: a hive with some data in it, its log folded back (the writer
// ended normally).
void MakeHive(const Hives& hives) {
    auto write = [&] {
        HKEY h = nullptr;
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Orvane"), h), ERROR_SUCCESS);
        for (long i = 0; i < 40; ++i) {
            std::vector<BYTE> v = Pattern(i, 3000);
            CHECK_RC(
                RegSetValueExW(h, Name("v", i).c_str(), 0, REG_BINARY, v.data(), DWORD(v.size())),
                ERROR_SUCCESS);
        }
        std::exit(0);
    };
    ASSERT_EQ(InChild(hives, write), 0);
    ASSERT_FALSE(Exists(hives.user + "-wal"));
}

// Regression: an unusable user hive read as one without certificates (the
// listing answered an empty list), a non-empty SQLite file of another program
// was adopted and altered, and later calls failed without a word. Every call
// now fails with the hive's error, the error's text names the file, and the
// file is left exactly as it was.
TEST(RegistryHive, UnusableHivesFailEveryCallNamingTheFileAndStayUntouched) {
    struct Case {
        const char* what;
        std::function<void(const Hives&)> make;
        LSTATUS expected;
        const char* cause; // a word of the English cause line
    } cases[] = {
        // Invalid: not a database at all.
        {"random bytes",
         [](const Hives& h) {
             std::ofstream(h.user, std::ios::binary) << std::string(8192, '\x5A');
         },
         ERROR_BADDB, "not a registry hive"},
        // Invalid: zeros, as a new hive looks while its first page is written;
        // SQLite's own read, under its locks, refuses it.
        {"zeros",
         [](const Hives& h) { std::ofstream(h.user, std::ios::binary) << std::string(8192, '\0'); },
         ERROR_BADDB, "not a registry hive"},
        // Invalid: a hive cut short.
        {"truncated",
         [](const Hives& h) {
             MakeHive(h);
             ASSERT_EQ(truncate(h.user.c_str(), 8192), 0);
         },
         ERROR_BADDB, "damaged"},
        // Invalid: another program's database.
        {"foreign database",
         [](const Hives& h) {
             sqlite3* db = nullptr;
             sqlite3_open(h.user.c_str(), &db);
             sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1)", nullptr, nullptr,
                          nullptr);
             sqlite3_close(db);
         },
         ERROR_BADDB, "not a registry hive"},
        // Invalid: a hive from a newer release, whose layout this one cannot know.
        {"newer schema",
         [](const Hives& h) {
             sqlite3* db = nullptr;
             sqlite3_open(h.user.c_str(), &db);
             sqlite3_exec(db, "CREATE TABLE future(x); PRAGMA user_version=2", nullptr, nullptr,
                          nullptr);
             sqlite3_close(db);
         },
         ERROR_REVISION_MISMATCH, "newer release"},
    };
    for (const Case& c : cases) {
        TempDir dir("orvane-reg");
        Hives hives{dir / "user.db", dir / "machine.db"};
        c.make(hives);
        chmod(hives.user.c_str(), 0600);
        const std::string original = ReadFile(hives.user);
        ASSERT_FALSE(original.empty()) << c.what;
        auto useHive = [&] {
            HKEY h = nullptr;
            CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software"), 0, KEY_READ, &h),
                     c.expected);
            WCHAR name[64];
            DWORD cch = 64;
            CHECK_RC(
                RegEnumKeyExW(HKEY_CURRENT_USER, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
                c.expected);
            CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software"), h), c.expected);
            CHECK_RC(SetDword(HKEY_CURRENT_USER, W("v"), 1), c.expected);
            // Listing the personal certificates fails too, rather than finding none.
            HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                          TEXT("My"));
            CHECK(my == nullptr);
            CHECK_RC(GetLastError(), c.expected);
            // The text of the error names the file, in both languages.
            const std::string english = SystemText(HRESULT_FROM_WIN32(c.expected));
            CHECK(english.find(hives.user) != std::string::npos);
            CHECK(english.find(c.cause) != std::string::npos);
            CHECK(english.substr(english.size() - 2) == "\r\n");
            CHECK(SystemText(DWORD(c.expected), true).find(hives.user) != std::string::npos);
            // The words go with that error only.
            CHECK(SystemText(DWORD(ERROR_ACCESS_DENIED)).find(hives.user) == std::string::npos);
            return 0;
        };
        EXPECT_EQ(InChild(hives, useHive), 0) << c.what;
        EXPECT_EQ(ReadFile(hives.user), original) << c.what;
    }
}

// Regression: a hive this user may not read, or may read but not change (a
// read-only file where no log can be made beside it, as on a read-only file
// system), read as one without keys. Now a call that cannot be served fails,
// and its text names the file and why.
TEST(RegistryHive, HiveThisUserCannotReadOrChangeSaysWhy) {
    if (geteuid() != 0)
        GTEST_SKIP() << "another user's files need root to make";
    struct Case {
        const char* what;
        mode_t mode;
        uid_t owner;
        bool readable;
    } cases[] = {
        // Invalid: another user's private hive.
        {"unreadable", 0600, 0, false},
        // A hive of ours, read-only, in a folder we cannot write.
        {"read-only", 0400, kNobody, true},
    };
    for (const Case& c : cases) {
        TempDir dir("orvane-reg");
        Hives hives{dir / "user.db", dir / "machine.db"};
        MakeHive(hives);
        ASSERT_EQ(chown(hives.user.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(chmod(hives.user.c_str(), c.mode), 0);
        const std::string original = ReadFile(hives.user);
        auto use = [&] {
            CHECK(setgid(kNobody) == 0);
            CHECK(setuid(kNobody) == 0);
            HKEY h = nullptr;
            LSTATUS rc =
                RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Orvane"), 0, KEY_READ, &h);
            if (c.readable && rc == ERROR_SUCCESS) {
                DWORD cb = 0;
                CHECK_RC(RegQueryValueExW(h, TEXT("v1"), nullptr, nullptr, nullptr, &cb),
                         ERROR_SUCCESS);
                CHECK(cb == 3000);
            } else {
                CHECK(rc != ERROR_SUCCESS);
                CHECK(SystemText(DWORD(rc)).find(hives.user) != std::string::npos);
            }
            // Changing it fails, and says where.
            rc = SetDword(HKEY_CURRENT_USER, W("v"), 1);
            CHECK(rc == ERROR_ACCESS_DENIED);
            const std::string text = SystemText(DWORD(rc));
            CHECK(text.find(hives.user) != std::string::npos);
            CHECK(text.find(c.readable ? "read-only" : "may not read") != std::string::npos);
            return 0;
        };
        EXPECT_EQ(InChild(hives, use), 0) << c.what;
        EXPECT_EQ(ReadFile(hives.user), original) << c.what;
    }
}

// Regression: a user hive created 0644 stayed so, and its log was created
// 0644 too: private keys readable by every user. The user's own files are
// made private on opening; another user's are refused, untouched.
TEST(RegistryHive, ExposedUserHiveIsMadePrivateOrRefused) {
    {
        TempDir dir("orvane-reg");
        Hives hives{dir / "user.db", dir / "machine.db"};
        MakeHive(hives);
        // What a hive left by a crash looks like, with modes as umask 022 gave them.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(hives.user.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA wal_autocheckpoint=0; UPDATE vals SET type=type", nullptr, nullptr,
                     nullptr);
        for (const char* suffix : {"", "-wal", "-shm"})
            ASSERT_EQ(chmod((hives.user + suffix).c_str(), 0644), 0) << suffix;
        auto read = [&] {
            HKEY h = nullptr;
            CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Orvane"), 0, KEY_READ, &h),
                     ERROR_SUCCESS);
            return 0;
        };
        EXPECT_EQ(InChild(hives, read), 0);
        for (const char* suffix : {"", "-wal", "-shm"})
            EXPECT_EQ(ModeOf(hives.user + suffix), mode_t(0600)) << suffix;
        sqlite3_close(db);
    }
    if (geteuid() != 0)
        GTEST_SKIP() << "files of another user need root to make";
    struct Case {
        const char* what;
        const char* foreign; // the file that belongs to someone else
    } cases[] = {
        // Invalid: the hive, or its log, is another user's and readable by all.
        {"another user's hive", ""},
        {"another user's log", "-wal"},
    };
    for (const Case& c : cases) {
        TempDir dir("orvane-reg");
        Hives hives{dir / "user.db", dir / "machine.db"};
        MakeHive(hives);
        {
            std::ofstream(hives.user + "-wal", std::ios::binary); // an empty log
        }
        for (const char* suffix : {"", "-wal"})
            ASSERT_EQ(chmod((hives.user + suffix).c_str(), 0600), 0);
        const std::string foreign = hives.user + c.foreign;
        ASSERT_EQ(chmod(foreign.c_str(), 0644), 0);
        ASSERT_EQ(chown(foreign.c_str(), kNobody, kNobody), 0);
        const std::string original = ReadFile(hives.user);
        auto refuse = [&] {
            HKEY h = nullptr;
            CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Orvane"), 0, KEY_READ, &h),
                     ERROR_ACCESS_DENIED);
            const std::string text = SystemText(ERROR_ACCESS_DENIED);
            CHECK(text.find(hives.user) != std::string::npos);
            CHECK(text.find("another user") != std::string::npos);
            return 0;
        };
        EXPECT_EQ(InChild(hives, refuse), 0) << c.what;
        EXPECT_EQ(ModeOf(foreign), mode_t(0644)) << c.what;
        EXPECT_EQ(ReadFile(hives.user), original) << c.what;
    }
}

// Regression: the connection was never closed, so the hive file stayed empty
// and everything lived in its log: a copy of user.db held nothing. The log
// is folded back when the process ends and when the hive goes idle.
TEST(RegistryHive, HiveFileAloneHoldsEverythingAfterExitAndWhenIdle) {
    auto holds = [](const std::string& file, DWORD expected) {
        // The file alone, as a backup copy of it would be read.
        sqlite3* db = nullptr;
        DWORD found = 0;
        const std::string uri = "file:" + file + "?immutable=1";
        if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT data FROM vals WHERE name='Marker'", -1, &s,
                                   nullptr) == SQLITE_OK &&
                sqlite3_step(s) == SQLITE_ROW && sqlite3_column_bytes(s, 0) == 4)
                std::memcpy(&found, sqlite3_column_blob(s, 0), 4);
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
        return found == expected;
    };
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    // A process that ends normally.
    auto writeAndExit = [&] {
        HKEY h = nullptr;
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Orvane"), h), ERROR_SUCCESS);
        CHECK_RC(SetDword(h, W("Marker"), 7), ERROR_SUCCESS);
        std::exit(0);
    };
    ASSERT_EQ(InChild(hives, writeAndExit), 0);
    EXPECT_FALSE(Exists(hives.user + "-wal"));
    EXPECT_TRUE(holds(hives.user, 7));

    // A process that goes on living, idle: its copy is whole before it ends
    // (_exit: no end-of-process folding).
    const std::string backup = dir / "backup.db";
    auto writeAndIdle = [&] {
        HKEY h = nullptr;
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Orvane"), h), ERROR_SUCCESS);
        CHECK_RC(SetDword(h, W("Marker"), 8), ERROR_SUCCESS);
        CHECK(!holds(hives.user, 8)); // in the log for now
        for (int waited = 0; Exists(hives.user + "-wal") && waited < 20000; waited += 50)
            usleep(50000);
        CHECK(!Exists(hives.user + "-wal"));
        std::ifstream in(hives.user, std::ios::binary);
        std::ofstream(backup, std::ios::binary) << in.rdbuf();
        // And the hive is still at the process's service.
        DWORD v = 0;
        CHECK_RC(GetDword(h, W("Marker"), v), ERROR_SUCCESS);
        CHECK(v == 8);
        return 0;
    };
    ASSERT_EQ(InChild(hives, writeAndIdle), 0);
    EXPECT_TRUE(holds(backup, 8));
}

// Regression: a hive held by another process past the wait failed with
// 0x800700AA and no words. The error now has its text and names the file.
TEST(RegistryHive, HiveLockedPastTheWaitAnswersBusyWithItsText) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    MakeHive(hives);
    // Another process holds the hive for itself, readers shut out too.
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(hives.user.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder,
                           "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                           " UPDATE vals SET type=type",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    auto waitAndGiveUp = [&] {
        setenv("ORVANE_HIVE_WAIT_MS", "200", 1);
        HKEY h = nullptr;
        CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Orvane"), 0, KEY_READ, &h),
                 ERROR_BUSY);
        CHECK_RC(SetDword(HKEY_CURRENT_USER, W("v"), 1), ERROR_BUSY);
        const std::string english = SystemText(0x800700AA);
        CHECK(english.rfind("The requested resource is in use.\r\n", 0) == 0);
        CHECK(english.find(hives.user) != std::string::npos);
        CHECK(SystemText(ERROR_BUSY, true).rfind("请求的资源在使用中。\r\n", 0) == 0);
        return 0;
    };
    EXPECT_EQ(InChild(hives, waitAndGiveUp), 0);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    // Once let go, the hive serves again, unharmed.
    auto useAgain = [&] {
        HKEY h = nullptr;
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Orvane"), h), ERROR_SUCCESS);
        CHECK_RC(SetDword(h, W("after"), 1), ERROR_SUCCESS);
        return 0;
    };
    EXPECT_EQ(InChild(hives, useAgain), 0);
    EXPECT_EQ(IntegrityCheck(hives.user), "ok");
}

// An enumeration in one process sees what another process changed between
// its calls, though it reads a page of names at a time.
TEST(RegistryHive, EnumerationSeesAnotherProcessesChangeBetweenCalls) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    auto make = [&] {
        for (const char* name : {"a", "b", "c", "d"}) {
            HKEY h = nullptr;
            CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\List\\") + W(name), h),
                     ERROR_SUCCESS);
            RegCloseKey(h);
        }
        return 0;
    };
    ASSERT_EQ(InChild(hives, make), 0);
    HKEY h = nullptr;
    auto at = [&](DWORD i) {
        WCHAR name[8];
        DWORD cch = 8;
        LSTATUS rc = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        return rc == ERROR_SUCCESS ? U8(name) : std::string("none");
    };
    auto readTwo = [&] {
        CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\List"), 0, KEY_READ, &h),
                 ERROR_SUCCESS);
        CHECK(at(0) == "a" && at(1) == "b");
        return 0;
    };
    auto remove = [&] {
        CHECK_RC(RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("Software\\List\\a")), ERROR_SUCCESS);
        return 0;
    };
    auto readOn = [&] {
        CHECK(at(1) == "c"); // "a" is gone: b c d
        CHECK(at(3) == "none");
        return 0;
    };
    EXPECT_EQ(ChangeMeanwhile(hives, readTwo, remove, readOn), 0);
}

// A process keeps its hive open, cached and mapped between calls. Another
// process rewrites what the first has read and grows the file to twice its
// size, then ends, folding its log into the file: the first process reads
// the new bytes, the old values' and the added ones alike, never its copy.
TEST(RegistryHive, ReaderHoldingTheHiveSeesAnotherProcessesRewriteAndGrowth) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    constexpr long kValues = 48;
    constexpr size_t kBytes = 40000; // several pages each: about 2 MB a round
    auto put = [](HKEY h, long from, long to, long seed) {
        for (long i = from; i < to; ++i) {
            const std::vector<BYTE> data = Pattern(seed + i, kBytes);
            CHECK_RC(RegSetValueExW(h, Name("v", i).c_str(), 0, REG_BINARY, data.data(),
                                    DWORD(data.size())),
                     ERROR_SUCCESS);
        }
        return 0;
    };
    HKEY h = nullptr;
    // check: every value from..to holds Pattern(seed + i).
    auto check = [&](long from, long to, long seed) {
        std::vector<BYTE> got(kBytes);
        for (long i = from; i < to; ++i) {
            DWORD cb = DWORD(got.size()), type = 0;
            CHECK_RC(RegQueryValueExW(h, Name("v", i).c_str(), nullptr, &type, got.data(), &cb),
                     ERROR_SUCCESS);
            CHECK(type == REG_BINARY && cb == kBytes && got == Pattern(seed + i, kBytes));
        }
        return 0;
    };
    ASSERT_EQ(InChild(hives,
                      [&] {
                          HKEY w = nullptr;
                          CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Big"), w),
                                   ERROR_SUCCESS);
                          return put(w, 0, kValues, 0);
                      }),
              0);
    const auto sizeBefore = std::filesystem::file_size(hives.user);
    auto readAll = [&] {
        CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\Big"), 0, KEY_READ, &h),
                 ERROR_SUCCESS);
        return check(0, kValues, 0);
    };
    auto rewriteAndGrow = [&] {
        HKEY w = nullptr;
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Big"), w), ERROR_SUCCESS);
        return put(w, 0, 2 * kValues, 1000);
    };
    auto readAgain = [&] {
        DWORD values = 0;
        CHECK_RC(RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                  nullptr, nullptr, nullptr, nullptr),
                 ERROR_SUCCESS);
        CHECK(values == 2 * kValues);
        return check(0, 2 * kValues, 1000);
    };
    EXPECT_EQ(ChangeMeanwhile(hives, readAll, rewriteAndGrow, readAgain), 0);
    EXPECT_GT(std::filesystem::file_size(hives.user), sizeBefore + kValues * kBytes);
    EXPECT_EQ(IntegrityCheck(hives.user), "ok");
}

TEST(RegistryHive, FullDiskFailsTheWholeCallAndKeepsTheHive) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    auto fillDisk = [&] {
        HKEY h = nullptr;
        CHECK_RC(CreateKey(HKEY_CURRENT_USER, W("Software\\Orvane"), h), ERROR_SUCCESS);
        CHECK_RC(SetDword(h, W("before"), 1), ERROR_SUCCESS);
        // No file may grow past 1 MiB from here on.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1 << 20, 1 << 20};
        CHECK(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        std::vector<BYTE> big = Pattern(5, 4 << 20);
        CHECK_RC(RegSetValueExW(h, TEXT("big"), 0, REG_BINARY, big.data(), DWORD(big.size())),
                 ERROR_DISK_FULL);
        HKEY deep = nullptr;
        CHECK_RC(RegQueryValueExW(h, TEXT("big"), nullptr, nullptr, nullptr, nullptr),
                 ERROR_FILE_NOT_FOUND);
        DWORD v = 0;
        CHECK_RC(GetDword(h, W("before"), v), ERROR_SUCCESS);
        CHECK(v == 1);
        // Smaller changes still fit.
        CHECK_RC(CreateKey(h, W("after\\deep"), deep), ERROR_SUCCESS);
        CHECK_RC(SetDword(deep, W("after"), 2), ERROR_SUCCESS);
        return 0;
    };
    EXPECT_EQ(InChild(hives, fillDisk), 0);
    EXPECT_EQ(IntegrityCheck(hives.user), "ok");
}

TEST(RegistryHive, ThreadsShareOneProcessesHive) {
    TempDir dir("orvane-reg");
    Hives hives{dir / "user.db", dir / "machine.db"};
    auto hammer = [&] {
        constexpr int kThreads = 4, kRounds = 100;
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int r = 0; r < kRounds; ++r) {
                    HKEY h = nullptr;
                    DWORD v = 0;
                    WString key = W("Threads\\") + Name("T", t) + Name("\\", r);
                    if (CreateKey(HKEY_CURRENT_USER, key, h) != ERROR_SUCCESS ||
                        SetDword(h, W("v"), DWORD(r)) != ERROR_SUCCESS ||
                        GetDword(h, W("v"), v) != ERROR_SUCCESS || v != DWORD(r) ||
                        RegCloseKey(h) != ERROR_SUCCESS ||
                        RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str()) != ERROR_SUCCESS)
                        ++failures;
                }
            });
        }
        for (std::thread& th : threads)
            th.join();
        CHECK(failures == 0);
        for (int t = 0; t < kThreads; ++t) {
            HKEY h = nullptr;
            DWORD subkeys = 1;
            CHECK_RC(RegOpenKeyExW(HKEY_CURRENT_USER, (W("Threads\\") + Name("T", t)).c_str(), 0,
                                   KEY_READ, &h),
                     ERROR_SUCCESS);
            CHECK_RC(RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr),
                     ERROR_SUCCESS);
            CHECK(subkeys == 0);
            RegCloseKey(h);
        }
        return 0;
    };
    EXPECT_EQ(InChild(hives, hammer), 0);
}
