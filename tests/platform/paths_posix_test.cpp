// What the stand-in's paths, folders and files do where only POSIX has the
// case: symbolic links, FIFOs, and the special folders' mapping.
#include "tests/support/TestSupport.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A scratch folder of its own, removed with its entries.
class Scratch {
public:
    Scratch() {
        char tmpl[] = "/tmp/orvane-paths-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        EXPECT_NE(made, nullptr);
        m_path = made != nullptr ? made : "/nonexistent";
    }
    ~Scratch() {
        for (const std::string& e : m_entries)
            ::unlink((m_path + "/" + e).c_str());
        ::rmdir(m_path.c_str());
    }
    std::string Child(const std::string& name) {
        m_entries.push_back(name);
        return m_path + "/" + name;
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::vector<std::string> m_entries;
};

TEST(PosixFullPath, LinksAreNotFollowed) {
    Scratch dir;
    ASSERT_EQ(::symlink("/etc", dir.Child("link").c_str()), 0);
    const WString in = W((dir.Path() + "/link/..").c_str());
    WCHAR out[MAX_PATH] = {};
    const DWORD cch = GetFullPathNameW(in.c_str(), MAX_PATH, out, nullptr);
    // Text folding: the link's own folder, not the parent of /etc.
    EXPECT_EQ(U8(WString(out, cch)), dir.Path());
}

TEST(PosixPathFileExists, ALinkExistsEvenWhenItsTargetDoesNot) {
    Scratch dir;
    ASSERT_EQ(::symlink((dir.Path() + "/nowhere").c_str(), dir.Child("dangling").c_str()), 0);
    EXPECT_TRUE(PathFileExistsW(W((dir.Path() + "/dangling").c_str()).c_str()));
    SetLastError(0);
    EXPECT_FALSE(PathFileExistsW(W((dir.Path() + "/nowhere").c_str()).c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    SetLastError(0);
    EXPECT_FALSE(PathFileExistsW(W((dir.Path() + "/nowhere/x").c_str()).c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(PosixCreateFile, AFifoOpensWithoutAWriterAndIsAPipe) {
    Scratch dir;
    const std::string fifo = dir.Child("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto opened = std::async(std::launch::async, [&] {
        return CreateFileW(W(fifo.c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    });
    if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        const int writer = ::open(fifo.c_str(), O_WRONLY);
        ADD_FAILURE() << "opening the FIFO waited for a writer";
        CloseHandle(opened.get());
        ::close(writer);
        return;
    }
    HANDLE h = opened.get();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_PIPE));
    CloseHandle(h);
    // Writing needs a reader: refused at once, not awaited.
    SetLastError(0);
    HANDLE w =
        CreateFileW(W(fifo.c_str()).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(w, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(PosixCreateFile, ReadsBlockAgainOnceOpen) {
    // The non-blocking open must not leak into reads: a regular file reads
    // all it holds, and a FIFO read waits for its writer's data.
    Scratch dir;
    const std::string fifo = dir.Child("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    HANDLE h = CreateFileW(W(fifo.c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    auto reader = std::async(std::launch::async, [&] {
        char buffer[4] = {};
        DWORD read = 0;
        const BOOL ok = ReadFile(h, buffer, 4, &read, nullptr);
        return ok ? std::string(buffer, read) : std::string("failed");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(::write(writer, "ab", 2), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(::write(writer, "cd", 2), 2);
    EXPECT_EQ(reader.get(), "abcd"); // waited for all four bytes
    ::close(writer);
    CloseHandle(h);
}

TEST(PosixSpecialFolders, MappingAndTheXdgRule) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved != nullptr ? saved : "";
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    struct Case {
        const char* xdg; // null: unset
        int csidl;
        std::string expected;
    } const cases[] = {
        {nullptr, CSIDL_SYSTEM, "/usr/bin"},
        {nullptr, CSIDL_SYSTEMX86, "/usr/lib"},
        {nullptr, CSIDL_WINDOWS, "/etc"},
        {nullptr, CSIDL_COMMON_STARTUP, "/etc/xdg/autostart"},
        {"/srv/cfg", CSIDL_STARTUP, "/srv/cfg/autostart"},
        {"relative/cfg", CSIDL_STARTUP, home + "/.config/autostart"}, // ignored: not absolute
        {nullptr, CSIDL_STARTUP, home + "/.config/autostart"},
    };
    for (const Case& c : cases) {
        if (c.xdg != nullptr)
            ::setenv("XDG_CONFIG_HOME", c.xdg, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        WCHAR path[MAX_PATH] = {};
        EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, c.csidl, FALSE)) << c.csidl;
        EXPECT_EQ(U8(path), c.expected) << c.csidl << " " << (c.xdg ? c.xdg : "(unset)");
    }
    // fCreate makes the user's folder.
    Scratch dir;
    ::setenv("XDG_CONFIG_HOME", (dir.Path() + "/cfg").c_str(), 1);
    WCHAR path[MAX_PATH] = {};
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_STARTUP, TRUE));
    struct stat st {};
    EXPECT_EQ(::stat(U8(path).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ::rmdir(U8(path).c_str());
    ::rmdir((dir.Path() + "/cfg").c_str());
    if (saved != nullptr)
        ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
