// Helpers for the POSIX-only tests that work with real processes and files.
#pragma once

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The unprivileged user a root test drops to when checking access rules.
constexpr uid_t kNobody = 65534;

// TempDir: a fresh folder every user may enter (an unprivileged child must reach
// the hives inside), removed with its contents at the end.
struct TempDir {
    std::string path;
    explicit TempDir(const char* prefix = "orvane-test") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
            chmod(path.c_str(), 0755);
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const char* name) const { return path + "/" + name; }
};
