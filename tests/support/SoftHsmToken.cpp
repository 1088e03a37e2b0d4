#include "tests/support/SoftHsmToken.h"

#include <windows.h>
#include <wincrypt.h>

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

extern char** environ;

namespace orvane::tests {
namespace {

namespace fs = std::filesystem;

bool OnPath(const char* tool) {
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= rest.size()) {
        const size_t colon = std::min(rest.find(':', start), rest.size());
        const fs::path candidate = fs::path(rest.substr(start, colon - start)) / tool;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = colon + 1;
    }
    return false;
}

std::set<std::string> TokenFolders(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_directory())
            names.insert(entry.path().string());
    return names;
}

} // namespace

ToolResult Run(const std::vector<std::string>& argv) {
    ToolResult result;
    int fds[2];
    if (argv.empty() || pipe2(fds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc == 0) {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
            result.output.append(buffer, static_cast<size_t>(n));
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            result.status = WEXITSTATUS(status);
    }
    close(fds[0]);
    return result;
}

SoftHsmSetup& SoftHsmSetup::Get() {
    static SoftHsmSetup setup;
    return setup;
}

SoftHsmSetup::SoftHsmSetup() {
    const char* limited = std::getenv("ORVANE_TEST_SOFTHSM_MECHANISMS");
    const std::string mechanisms = limited != nullptr ? limited : "";
    for (const char* tool : {"softhsm2-util", "pkcs11-tool", "p11tool"})
        if (!OnPath(tool))
            missing_ += std::string(missing_.empty() ? "" : ", ") + tool;
    for (const char* m : {ORVANE_SOFTHSM2_MODULE, "/usr/lib/softhsm/libsofthsm2.so"})
        if (module_.empty() && m[0] != 0 && access(m, R_OK) == 0)
            module_ = m;
    if (module_.empty())
        missing_ += std::string(missing_.empty() ? "" : ", ") + "libsofthsm2.so";
    if (!missing_.empty()) {
        missing_ = "SoftHSM2 or the PKCS#11 tools are not installed (" + missing_ + ")";
        return;
    }
    std::string pattern = (fs::temp_directory_path() / "orvane-softhsm-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        missing_ = "no scratch folder";
        return;
    }
    folder_ = pattern;
    fs::create_directory(folder_ + "/tokens");
    const std::string conf = folder_ + "/softhsm2.conf";
    std::ofstream(conf) << "directories.tokendir = " << folder_ << "/tokens\n"
                        << "objectstore.backend = file\nlog.level = ERROR\n"
                        << "slots.removable = true\n"
                        << (mechanisms.empty() ? "" : "slots.mechanisms = " + mechanisms + "\n");
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    setenv("ORVANE_PIN_PROMPT", ORVANE_SOURCE_DIR "/tests/pkcs11/fixed_pin_prompt.sh", 1);
    // The prompt is started only where a window could be shown; the fixed
    // one never opens one, so any display name will do.
    setenv("DISPLAY", ":0", 0);
    unsetenv("ORVANE_TEST_PIN"); // a prompt cancels unless a test says otherwise
}

SoftHsmSetup::~SoftHsmSetup() {
    if (!folder_.empty()) {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

// InitToken: the token made through the module this process already uses.
// SoftHSM2 reads its token folder once, when a process initialises it, so a
// token made by another process would stay unseen here; made through the
// same module, it appears at the next look at the slots, as a token plugged
// in would. The module is the one the providers loaded (the same file is the
// same library in a process): it is never finalised here.
static std::string InitToken(const std::string& module, const std::string& label,
                             const std::string& userPin) {
    void* library = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return "";
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST* f = nullptr;
    if (getList == nullptr || getList(&f) != CKR_OK)
        return "";
    const CK_RV init = f->C_Initialize(nullptr);
    if (init != CKR_OK && init != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        return "";
    auto slots = [&] {
        CK_ULONG count = 0;
        std::vector<CK_SLOT_ID> ids;
        if (f->C_GetSlotList(CK_FALSE, nullptr, &count) == CKR_OK) {
            ids.resize(count);
            if (f->C_GetSlotList(CK_FALSE, ids.data(), &count) != CKR_OK)
                count = 0;
            ids.resize(count);
        }
        return ids;
    };
    std::set<std::string> serialsBefore;
    CK_SLOT_ID free = ~CK_SLOT_ID(0);
    for (CK_SLOT_ID id : slots()) {
        CK_TOKEN_INFO info{};
        if (f->C_GetTokenInfo(id, &info) != CKR_OK)
            continue;
        if ((info.flags & CKF_TOKEN_INITIALIZED) == 0)
            free = id;
        else
            serialsBefore.insert(std::string(reinterpret_cast<char*>(info.serialNumber), 16));
    }
    CK_UTF8CHAR padded[32];
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, label.data(), std::min(label.size(), sizeof padded));
    std::string so = "12345678";
    if (free == ~CK_SLOT_ID(0) || f->C_InitToken(free, reinterpret_cast<CK_UTF8CHAR*>(so.data()),
                                                 so.size(), padded) != CKR_OK)
        return "";
    // The token has a slot of its own now; find it by its new serial.
    for (CK_SLOT_ID id : slots()) {
        CK_TOKEN_INFO info{};
        if (f->C_GetTokenInfo(id, &info) != CKR_OK || (info.flags & CKF_TOKEN_INITIALIZED) == 0)
            continue;
        const std::string serial(reinterpret_cast<char*>(info.serialNumber), 16);
        if (serialsBefore.count(serial) != 0)
            continue;
        CK_SESSION_HANDLE session = 0;
        std::string pin = userPin;
        const bool ok =
            f->C_OpenSession(id, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) ==
                CKR_OK &&
            f->C_Login(session, CKU_SO, reinterpret_cast<CK_UTF8CHAR*>(so.data()), so.size()) ==
                CKR_OK &&
            f->C_InitPIN(session, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()) == CKR_OK;
        f->C_Logout(session);
        f->C_CloseSession(session);
        return ok ? serial.substr(0, serial.find_last_not_of(' ') + 1) : "";
    }
    return "";
}

SoftHsmToken::SoftHsmToken(const std::string& label, const std::string& userPin)
    : label_(label), pin_(userPin) {
    SoftHsmSetup& setup = SoftHsmSetup::Get();
    if (!setup.missing().empty())
        return;
    // The providers load their modules first, as they would in a host.
    DWORD type = 0, size = 0;
    (void)CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &size);
    const auto before = TokenFolders(setup.folder() + "/tokens");
    serial_ = InitToken(setup.module(), label, userPin);
    for (const std::string& f : TokenFolders(setup.folder() + "/tokens"))
        if (before.count(f) == 0)
            folder_ = f;
    if (folder_.empty())
        serial_.clear();
}

SoftHsmToken::~SoftHsmToken() {
    Remove();
}

void SoftHsmToken::Remove() {
    if (!folder_.empty()) {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

ToolResult SoftHsmToken::Pkcs11Tool(std::vector<std::string> args, bool login) const {
    std::vector<std::string> argv = {"pkcs11-tool", "--module", SoftHsmSetup::Get().module(),
                                     "--token-label", label_};
    if (login) {
        argv.push_back("--login");
        argv.push_back("--pin");
        argv.push_back(pin_);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

ToolResult SoftHsmToken::P11Tool(std::vector<std::string> args, bool login) const {
    std::vector<std::string> argv = {"p11tool", "--provider", SoftHsmSetup::Get().module()};
    if (login) {
        argv.push_back("--login");
        argv.push_back("--set-pin=" + pin_);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

} // namespace orvane::tests
