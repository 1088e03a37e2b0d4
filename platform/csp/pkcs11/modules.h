// The PKCS#11 modules a process uses: those p11-kit lists (its system and
// user registries; modules marked as trust-policy sources hold trust anchors,
// not keys, and are left out) followed by the paths in ORVANE_PKCS11_MODULES
// (colon-separated), each module file once by its real path.
//
// Each is loaded and initialised once per process. Initialisation runs in a
// worker thread per module, all at once, with one time limit (5 s;
// ORVANE_PKCS11_INIT_TIMEOUT_MS sets another), so a module that hangs there
// cannot hang its caller: it is skipped for the rest of the process, as is
// one that fails. The stand-in has
// no trace of its own, so what is skipped, and why, is one line on standard
// error when ORVANE_PKCS11_DEBUG is set, and nothing otherwise.
#pragma once
#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

namespace orvane::platform::csp::pkcs11 {

struct Module {
    std::string path; // the module file's real path
    CK_FUNCTION_LIST* functions = nullptr;
};

// Modules: the initialised modules, in the order above; loaded at the first
// call. The entries live for the process.
const std::vector<Module>& Modules();

// Debug: one line on standard error when ORVANE_PKCS11_DEBUG is set.
void Debug(const std::string& line);

} // namespace orvane::platform::csp::pkcs11
