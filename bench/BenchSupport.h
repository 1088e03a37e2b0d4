// What the benchmarks share: registry hives of their own, and certificates
// the size of a typical personal one to fill stores with.
#pragma once

#include "bench/RatioReporter.h"
#include "tests/support/OpensslCertificates.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <stdlib.h>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace orvane::bench {

// ScratchHives: a fresh folder of the process's own below the temporary one
// (mkdtemp, named for the benchmark), whose user.db and machine.db the
// registry opens instead of the user's; made before any registry call,
// removed at the end. Ok() is false when no folder could be made, and then
// neither variable is set.
class ScratchHives {
public:
    explicit ScratchHives(const std::string& name) {
        std::string pattern =
            (std::filesystem::temp_directory_path(m_ec) / ("orvane-" + name + "-XXXXXX")).string();
        if (m_ec || mkdtemp(pattern.data()) == nullptr)
            return;
        m_dir = pattern;
        setenv("ORVANE_USER_HIVE", UserHive().c_str(), 1);
        setenv("ORVANE_MACHINE_HIVE", (m_dir / "machine.db").c_str(), 1);
    }
    ~ScratchHives() {
        if (Ok())
            std::filesystem::remove_all(m_dir, m_ec);
    }
    ScratchHives(const ScratchHives&) = delete;
    ScratchHives& operator=(const ScratchHives&) = delete;

    bool Ok() const { return !m_dir.empty(); }
    const std::filesystem::path& Dir() const { return m_dir; }
    std::string UserHive() const { return (m_dir / "user.db").string(); }

private:
    std::error_code m_ec;
    std::filesystem::path m_dir;
};

// RunInScratchHives: the main of a ratio benchmark whose registry work must
// stay in hives of its own (ScratchHives named name): 1 when none could be
// made, since the registry would then open the user's; else RunWithRatios.
inline int RunInScratchHives(const std::string& name, int argc, char** argv,
                             std::vector<RatioTarget> targets) {
    const ScratchHives hives(name);
    if (!hives.Ok())
        return 1;
    return RunWithRatios(argc, argv, std::move(targets));
}

// MakeCertificates: n self-signed P-256 certificates (O=Orvane,
// CN=<prefix> <i>, serials from 0x1000, valid for a year from now) as DER.
inline std::vector<std::vector<unsigned char>> MakeCertificates(size_t n,
                                                                const std::string& cnPrefix) {
    std::vector<std::vector<unsigned char>> out;
    const checks::Pkey key(EVP_EC_gen("P-256"));
    if (!key)
        return out;
    for (size_t i = 0; i < n; ++i) {
        checks::CertificateDescription desc;
        desc.key = key.get();
        desc.subject = {{"O", "Orvane"}, {"CN", cnPrefix + " " + std::to_string(i)}};
        desc.serial = checks::SerialOf(0x1000 + i);
        desc.notBefore = 0;
        checks::Bytes der = checks::MakeCertificate(desc);
        if (!der.empty())
            out.emplace_back(der.begin(), der.end());
    }
    return out;
}

// CountEachIteration: calls count() once an iteration, the timed work; the
// first time it does not give n the benchmark stops with "wrong count". The
// items processed are n an iteration.
template <typename Count> void CountEachIteration(benchmark::State& state, size_t n, Count count) {
    for (auto _ : state) {
        if (count() != n) {
            state.SkipWithError("wrong count");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(n));
}

// RunQuietly: runs args (looked up on PATH) to its end with its standard
// output, and with quietErrors its standard error too, sent to /dev/null.
// The exit status; -1 when it could not start or did not exit by itself.
inline int RunQuietly(const std::vector<std::string>& args, bool quietErrors) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (quietErrors)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace orvane::bench
