// The path checks where POSIX differs: symbolic links (judged as written and
// as resolved), FIFOs, devices and sockets as sources, dangling links as
// destinations, and protected folders matched by whole path components.
#include "signing/FilePathCheck.h"

#include "tests/signing/SigningTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Symlink: makes link -> target and has the folder remove it.
void Symlink(ScratchFolder& dir, const std::string& target, const WString& link) {
    ASSERT_EQ(::symlink(target.c_str(), U8(link).c_str()), 0) << U8(link);
    dir.Forget(link);
}

// Some folder below /etc, for a link whose ".." leads back into /etc.
std::string FolderBelowEtc() {
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator("/etc", ec))
        if (e.is_directory(ec) && !e.is_symlink(ec))
            return e.path().string();
    return {};
}

TEST(PathLinks, ALinkIntoAProtectedFolderIsRefused) {
    ScratchFolder dir;
    ASSERT_NO_FATAL_FAILURE(Symlink(dir, "/etc", dir.Child(W("settings"))));
    ASSERT_NO_FATAL_FAILURE(Symlink(dir, "/usr/bin", dir.Child(W("programs"))));
    ASSERT_NO_FATAL_FAILURE(Symlink(dir, "/etc/hostname", dir.Child(W("host.txt"))));
    const std::string below = FolderBelowEtc();
    ASSERT_FALSE(below.empty());
    ASSERT_NO_FATAL_FAILURE(Symlink(dir, below, dir.Child(W("deep"))));
    struct Case {
        const char* path; // below the scratch folder
        DWORD kind;
    } const cases[] = {
        {"settings/hostname", FILE_PATH_SOURCE},     // a linked folder
        {"settings/new.p7s", FILE_PATH_DESTINATION}, //
        {"programs/new.p7s", FILE_PATH_DESTINATION}, //
        {"host.txt", FILE_PATH_SOURCE},              // a linked file
        // The kernel takes ".." from where the link led (/etc), while the
        // full path folds it as text to the scratch folder itself.
        {"deep/../hostname", FILE_PATH_SOURCE},
        {"deep/../new.p7s", FILE_PATH_DESTINATION},
    };
    for (const Case& c : cases) {
        const WString path = dir.Path() + W("/") + W(c.path);
        EXPECT_EQ(IsMaliciousFilePathName(path.c_str(), c.kind), VURO_E_MALICIOUS_PATH) << c.path;
    }
}

TEST(PathLinks, MergedUsrMakesBinASystemFolder) {
    std::error_code ec;
    if (!fs::is_symlink("/bin", ec) || fs::canonical("/bin", ec) != "/usr/bin")
        GTEST_SKIP() << "/bin is not a link to /usr/bin here";
    EXPECT_EQ(IsMaliciousFilePathName(TEXT("/bin/sh"), FILE_PATH_SOURCE), VURO_E_MALICIOUS_PATH);
    EXPECT_EQ(IsMaliciousFilePathName(TEXT("/bin/new.p7s"), FILE_PATH_DESTINATION),
              VURO_E_MALICIOUS_PATH);
}

TEST(PathLinks, AProtectedFolderReachedThroughALinkIsStillProtected) {
    // The user's start-up folder sits below a configuration folder that is
    // itself a link; a path written with the link's target is refused too.
    ScratchFolder dir;
    ASSERT_NO_FATAL_FAILURE(dir.AddFolder(dir.Child(W("real-config"))));
    ASSERT_NO_FATAL_FAILURE(dir.AddFolder(dir.Child(W("real-config/autostart"))));
    ASSERT_NO_FATAL_FAILURE(Symlink(dir, U8(dir.Child(W("real-config"))), dir.Child(W("config"))));
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::setenv("XDG_CONFIG_HOME", U8(dir.Child(W("config"))).c_str(), 1);
    const HRESULT viaTarget = IsMaliciousFilePathName(
        dir.Child(W("real-config/autostart/run.desktop")).c_str(), FILE_PATH_DESTINATION);
    const HRESULT viaLink = IsMaliciousFilePathName(
        dir.Child(W("config/autostart/run.desktop")).c_str(), FILE_PATH_DESTINATION);
    const HRESULT elsewhere = IsMaliciousFilePathName(dir.Child(W("real-config/other.p7s")).c_str(),
                                                      FILE_PATH_DESTINATION);
    if (saved != nullptr)
        ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(viaTarget, VURO_E_MALICIOUS_PATH);
    EXPECT_EQ(viaLink, VURO_E_MALICIOUS_PATH);
    EXPECT_EQ(elsewhere, VURO_OK);
}

TEST(PathLinks, ADanglingLinkIsAnExistingDestination) {
    ScratchFolder dir;
    ASSERT_NO_FATAL_FAILURE(Symlink(dir, U8(dir.Child(W("nowhere.p7s"))), dir.Child(W("out.p7s"))));
    EXPECT_EQ(IsMaliciousFilePathName(dir.Child(W("out.p7s")).c_str(), FILE_PATH_DESTINATION),
              HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    // What it points at does not exist either way; the link is what counts.
    EXPECT_EQ(IsMaliciousFilePathName(dir.Child(W("nowhere.p7s")).c_str(), FILE_PATH_DESTINATION),
              VURO_OK);
}

TEST(PathSources, NonRegularFilesAreRefusedWithoutWaiting) {
    ScratchFolder dir;
    const WString fifo = dir.Child(W("pipe.txt"));
    ASSERT_EQ(::mkfifo(U8(fifo).c_str(), 0600), 0);
    dir.Forget(fifo);
    const WString socketPath = dir.Child(W("socket.txt"));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string socketUtf8 = U8(socketPath);
    ASSERT_LT(socketUtf8.size(), sizeof(addr.sun_path));
    socketUtf8.copy(addr.sun_path, socketUtf8.size());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    dir.Forget(socketPath);

    // Nobody writes to the FIFO: a blocking open would never return.
    auto fifoResult = std::async(std::launch::async, [&] {
        return IsMaliciousFilePathName(fifo.c_str(), FILE_PATH_SOURCE);
    });
    if (fifoResult.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // Let the check go before reporting it.
        const int writer = ::open(U8(fifo).c_str(), O_WRONLY);
        ADD_FAILURE() << "the check waited on the FIFO";
        fifoResult.wait();
        ::close(writer);
    } else {
        EXPECT_EQ(fifoResult.get(), VURO_E_MALICIOUS_PATH);
    }
    EXPECT_EQ(IsMaliciousFilePathName(TEXT("/dev/null"), FILE_PATH_SOURCE), VURO_E_MALICIOUS_PATH);
    // A socket cannot even be opened as a file; refused all the same.
    EXPECT_TRUE(FAILED(IsMaliciousFilePathName(socketPath.c_str(), FILE_PATH_SOURCE)));
    ::close(sock);
}

TEST(PathText, ProtectedFoldersAreMatchedByWholeComponents) {
    // A protected folder's name inside a harmless path ("~/Documents/etc")
    // is no protected folder; the folder itself and all below it are, however
    // the path is written.
    ScratchFolder dir;
    for (const char* folder : {"Documents", "Documents/etc", "Etcetera", "usr", "usr/binaries"})
        ASSERT_NO_FATAL_FAILURE(dir.AddFolder(dir.Child(W(folder))));
    ASSERT_NO_FATAL_FAILURE(dir.WriteFile(dir.Child(W("Documents/etc/contract.txt")), 10));
    ASSERT_NO_FATAL_FAILURE(dir.WriteFile(dir.Child(W("usr/binaries/tool.txt")), 10));
    ASSERT_NO_FATAL_FAILURE(Symlink(dir, "/usr", dir.Child(W("system"))));
    const std::string scratch = U8(dir.Path());
    std::string climbToRoot = "/"; // more ".." than the scratch folder is deep
    for (char c : scratch)
        if (c == '/')
            climbToRoot += "../";
    struct Case {
        std::string path;
        DWORD kind;
        HRESULT expected;
    } const cases[] = {
        // Look-alikes: a protected folder's name or a longer one.
        {scratch + "/Documents/etc/contract.txt", FILE_PATH_SOURCE, VURO_OK},
        {scratch + "/Documents/etc/contract.txt.p7s", FILE_PATH_DESTINATION, VURO_OK},
        {scratch + "/Etcetera/new.p7s", FILE_PATH_DESTINATION, VURO_OK},
        {scratch + "/usr/binaries/tool.txt", FILE_PATH_SOURCE, VURO_OK},
        {scratch + "/usr/bin/new.p7s", FILE_PATH_DESTINATION, VURO_OK},
        {"/etcetera/new.p7s", FILE_PATH_DESTINATION, VURO_OK},
        {"/usr/binaries/new.p7s", FILE_PATH_DESTINATION, VURO_OK},
        {"/home/etc/new.p7s", FILE_PATH_DESTINATION, VURO_OK},
        // The protected folders themselves and what lies below them.
        {"/etc/hostname", FILE_PATH_SOURCE, VURO_E_MALICIOUS_PATH},
        {"/etc/new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        {"/etc/ssl/new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        {"/usr/bin/new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        {"/usr/lib/some/deep/new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        {"/etc/xdg/autostart/run.desktop", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        // Written another way: doubled separators, "." and "..".
        {"//etc//new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        {"/usr//bin/./new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        {"/usr/share/../bin/new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        {scratch + climbToRoot + "etc/new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        // Through a link to /usr.
        {scratch + "/system/bin/new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
        {scratch + "/system//lib/new.p7s", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
    };
    for (const Case& c : cases) {
        const WString path = W(c.path.c_str());
        EXPECT_EQ(IsMaliciousFilePathName(path.c_str(), c.kind), c.expected)
            << c.path << (c.kind == FILE_PATH_SOURCE ? " as source" : " as destination");
    }
}

} // namespace
