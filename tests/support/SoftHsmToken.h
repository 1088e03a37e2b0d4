// SoftHSM2 tokens for the tests of the PKCS#11 providers, and the independent
// readers of what lands on them (OpenSC's pkcs11-tool, GnuTLS's p11tool).
//
// A process has one scratch SoftHSM2 configuration (SoftHsmSetup, before the
// first provider call: a PKCS#11 module is initialised once per process and
// reads its configuration then); each test makes tokens of its own in it.
#pragma once
#include <string>
#include <vector>

namespace orvane::tests {

// SoftHsmSetup: the process's scratch configuration, its token folder, and
// the environment the providers read (SOFTHSM2_CONF, the fixed PIN prompt).
// ORVANE_TEST_SOFTHSM_MECHANISMS, when set, is SoftHSM2's slots.mechanisms
// value (tokens that lack some). missing() is empty when the tools are there,
// else the reason to skip.
class SoftHsmSetup {
public:
    static SoftHsmSetup& Get();
    const std::string& missing() const { return missing_; }
    const std::string& folder() const { return folder_; }
    const std::string& module() const { return module_; }
    ~SoftHsmSetup();

private:
    SoftHsmSetup();
    std::string missing_, folder_, module_;
};

// Run: a command's standard output and error together, and its exit status.
struct ToolResult {
    int status = -1;
    std::string output;
};
ToolResult Run(const std::vector<std::string>& argv);

// SoftHsmToken: one initialised token with a user PIN; removed with its folder
// at the end (a token folder removed early is a token taken away).
class SoftHsmToken {
public:
    SoftHsmToken(const std::string& label, const std::string& userPin = "1234");
    ~SoftHsmToken();
    SoftHsmToken(const SoftHsmToken&) = delete;
    SoftHsmToken& operator=(const SoftHsmToken&) = delete;

    bool ok() const { return !serial_.empty(); }
    const std::string& label() const { return label_; }
    const std::string& serial() const { return serial_; }
    const std::string& pin() const { return pin_; }
    // Remove: deletes the token's folder, as if the token were pulled out.
    void Remove();

    // Pkcs11Tool: pkcs11-tool on this token (--token-label), logged in with
    // the user PIN when login is set.
    ToolResult Pkcs11Tool(std::vector<std::string> args, bool login = false) const;
    // P11Tool: p11tool --provider <module> with args (the token's URL is
    // "pkcs11:token=<label>").
    ToolResult P11Tool(std::vector<std::string> args, bool login = false) const;

private:
    std::string label_, pin_, serial_, folder_;
};

} // namespace orvane::tests
