#include "modules.h"

#include <p11-kit/p11-kit.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits.h>
#include <memory>
#include <mutex>
#include <stdlib.h>
#include <thread>

namespace orvane::platform::csp::pkcs11 {

void Debug(const std::string& line) {
    const char* on = std::getenv("ORVANE_PKCS11_DEBUG");
    if (on != nullptr && on[0] != 0)
        std::fprintf(stderr, "orvane pkcs11: %s\n", line.c_str());
}

namespace {

std::chrono::milliseconds InitTimeLimit() {
    const char* text = std::getenv("ORVANE_PKCS11_INIT_TIMEOUT_MS");
    if (text != nullptr && text[0] != 0) {
        char* end = nullptr;
        const unsigned long ms = std::strtoul(text, &end, 10);
        if (end != text && *end == 0 && ms > 0 && ms <= 600000)
            return std::chrono::milliseconds(ms);
    }
    return std::chrono::milliseconds(5000);
}

// RealPath: the module file's canonical path; a registry entry may name the
// file relative to p11-kit's module folder.
std::string RealPath(const std::string& name) {
    std::string full = name;
    if (!name.empty() && name[0] != '/')
        full = std::string(ORVANE_P11_MODULE_PATH) + "/" + name;
    char resolved[PATH_MAX];
    return realpath(full.c_str(), resolved) != nullptr ? std::string(resolved) : full;
}

std::string ModuleFile(CK_FUNCTION_LIST* module) {
    char* name = p11_kit_module_get_filename(module);
    std::string file = name != nullptr ? name : "";
    std::free(name);
    return RealPath(file);
}

bool TrustPolicy(CK_FUNCTION_LIST* module) {
    char* value = p11_kit_config_option(module, "trust-policy");
    const bool yes =
        value != nullptr && (std::strcmp(value, "yes") == 0 || std::strcmp(value, "true") == 0);
    std::free(value);
    return yes;
}

// Starting: C_Initialize in a worker thread of its own; the future says how
// it ended. Every module starts at once, so modules that hang cost one time
// limit together, not one each.
struct Starting {
    std::future<CK_RV> done;
    std::thread worker;
};

Starting Start(CK_FUNCTION_LIST* module) {
    auto result = std::make_shared<std::promise<CK_RV>>();
    Starting s;
    s.done = result->get_future();
    s.worker = std::thread([module, result] {
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        result->set_value(module->C_Initialize(&args));
    });
    return s;
}

// Finish: a worker that answered in time is joined, so that what the module
// left in its thread-local state (OpenSSL's error queue, the loader's error
// text) is freed before the process can exit; one still inside C_Initialize
// is let go with its module, which is never used or unloaded.
bool Finish(Starting& s, std::chrono::steady_clock::time_point deadline) {
    if (s.done.wait_until(deadline) != std::future_status::ready) {
        s.worker.detach();
        return false;
    }
    s.worker.join();
    return true;
}

std::string Hex(CK_RV rv) {
    char hex[20];
    std::snprintf(hex, sizeof hex, "0x%lX", static_cast<unsigned long>(rv));
    return hex;
}

std::vector<Module> Load() {
    std::vector<CK_FUNCTION_LIST*> candidates;
    // The registries' modules: loaded, not yet initialised.
    if (CK_FUNCTION_LIST** listed = p11_kit_modules_load(nullptr, 0)) {
        for (CK_FUNCTION_LIST** m = listed; *m != nullptr; ++m) {
            if (TrustPolicy(*m)) {
                Debug("skipped " + ModuleFile(*m) + ": a trust-policy module");
                p11_kit_module_release(*m);
                continue;
            }
            candidates.push_back(*m);
        }
        std::free(listed); // the array only; the modules are released one by one
    }
    if (const char* extra = std::getenv("ORVANE_PKCS11_MODULES")) {
        std::string list = extra;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t colon = std::min(list.find(':', start), list.size());
            const std::string path = list.substr(start, colon - start);
            start = colon + 1;
            if (path.empty())
                continue;
            if (CK_FUNCTION_LIST* m = p11_kit_module_load(path.c_str(), 0))
                candidates.push_back(m);
            else
                Debug("skipped " + path + ": cannot be loaded (" +
                      std::string(p11_kit_message() ? p11_kit_message() : "") + ")");
        }
    }

    // Each module file once, in order.
    std::vector<Module> unique;
    for (CK_FUNCTION_LIST* m : candidates) {
        const std::string path = ModuleFile(m);
        if (std::any_of(unique.begin(), unique.end(),
                        [&](const Module& kept) { return kept.path == path; }))
            p11_kit_module_release(m);
        else
            unique.push_back({path, m});
    }
    std::vector<Starting> started;
    for (const Module& m : unique)
        started.push_back(Start(m.functions));
    const auto deadline = std::chrono::steady_clock::now() + InitTimeLimit();
    std::vector<Module> modules;
    for (size_t i = 0; i < unique.size(); ++i) {
        if (!Finish(started[i], deadline)) {
            Debug("skipped " + unique[i].path + ": C_Initialize did not return in time");
            continue; // still in use by its thread: neither released nor used
        }
        const CK_RV rv = started[i].done.get();
        if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            modules.push_back(unique[i]);
        } else {
            Debug("skipped " + unique[i].path + ": C_Initialize failed with " + Hex(rv));
            p11_kit_module_release(unique[i].functions);
        }
    }
    return modules;
}

} // namespace

const std::vector<Module>& Modules() {
    static const std::vector<Module> modules = Load();
    return modules;
}

} // namespace orvane::platform::csp::pkcs11
