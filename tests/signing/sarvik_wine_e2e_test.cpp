// npSarvik end to end on Windows (under Wine on Xvfb): two RSA certificates
// with keys in Wine's provider and personal store, the real library loaded
// and scripted through npshell's script loop, the selection dialog driven
// from a helper thread (the user picks the second row, then cancels once),
// and the messages written to ORVANE_SIGN_E2E_OUT for OpenSSL to verify on
// the Linux side (sarvik_wine_e2e.sh).
#include "tests/signing/SigningTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/npshell/Browser.h"
#include "tools/npshell/PluginLibrary.h"
#include "tools/npshell/Shell.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr int kCertificateList = 1001;
DWORD g_scriptThread = 0;

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// WaitForDialog: the selection dialog once the script's thread shows it.
HWND WaitForDialog() {
    for (int i = 0; i < 300; ++i) {
        HWND found = nullptr;
        EnumThreadWindows(
            g_scriptThread,
            [](HWND h, LPARAM l) -> BOOL {
                WCHAR cls[64] = {};
                GetClassNameW(h, cls, 64);
                if (IsWindowVisible(h) && W("#32770") == WString(cls) &&
                    GetDlgItem(h, kCertificateList) != nullptr) {
                    *reinterpret_cast<HWND*>(l) = h;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&found));
        if (found != nullptr) {
            Pause(200);
            return found;
        }
        Pause(50);
    }
    return nullptr;
}

// The value of a printed result line: METHOD -> ok "VALUE".
std::string ValueOf(const std::string& line) {
    const size_t open = line.find('"');
    const size_t close = line.rfind('"');
    return open == std::string::npos || close <= open ? std::string()
                                                      : line.substr(open + 1, close - open - 1);
}

// WindowsPath: a path of the Linux side as Wine's drive Z: shows it.
WString WindowsPath(const std::string& unixPath) {
    WString w = W(("Z:" + unixPath).c_str());
    for (WCHAR& c : w)
        if (c == '/')
            c = '\\';
    return w;
}

class SarvikWine : public ::testing::Test {
protected:
    void SetUp() override {
        const char* out = std::getenv("ORVANE_SIGN_E2E_OUT");
        ASSERT_NE(out, nullptr) << "ORVANE_SIGN_E2E_OUT names the folder for the messages";
        m_out = out;
        std::string error;
        m_library = npshell::PluginLibrary::Load(ORVANE_NPSARVIK_PATH, &error);
        ASSERT_TRUE(m_library) << error;
        NPNetscapeFuncs browser = npshell::Browser::Instance().Functions();
        m_funcs.size = uint16_t(sizeof(m_funcs));
        ASSERT_EQ(m_library->Initialize(&browser, &m_funcs), NPERR_NO_ERROR);
        const std::string mime = m_library->MIMEDescription();
        m_shell = std::make_unique<npshell::Shell>(
            m_funcs, mime, mime.substr(0, mime.find(':')),
            std::vector<std::pair<std::string, std::string>>{}, m_printed, m_errors);
        g_scriptThread = GetCurrentThreadId();
    }
    void TearDown() override {
        if (m_shell) {
            m_shell->DestroyAll();
            m_shell.reset();
        }
        if (m_library)
            m_library->Shutdown();
        EXPECT_EQ(npshell::Browser::Instance().LiveObjects(), 0u);
    }
    // Run: one script line; its printed result line.
    std::string Run(const std::string& line) {
        m_printed.str(std::string());
        EXPECT_TRUE(m_shell->RunLine(line, ++m_line)) << line << "\n"
                                                      << m_printed.str() << m_errors.str();
        std::string printed = m_printed.str();
        if (!printed.empty() && printed.back() == '\n')
            printed.pop_back();
        return printed;
    }
    // RunWithDialog: a line that opens the dialog, which act then answers.
    std::string RunWithDialog(const std::string& line, void (*act)(HWND)) {
        std::atomic<bool> done{false};
        std::thread helper([&] {
            HWND dialog = WaitForDialog();
            EXPECT_NE(dialog, nullptr) << "the dialog did not show";
            if (dialog != nullptr)
                act(dialog);
            for (int i = 0; i < 100 && !done; ++i)
                Pause(100);
            if (!done && dialog != nullptr)
                PostMessageW(dialog, WM_CLOSE, 0, 0); // never hang on a failure
        });
        std::string printed = Run(line);
        done = true;
        helper.join();
        return printed;
    }

    // Out: a file of the output folder, as this program opens it.
    std::string Out(const char* name) const { return U8(WindowsPath(m_out + "/" + name)); }

    std::string m_out;
    NPPluginFuncs m_funcs{};
    std::unique_ptr<npshell::PluginLibrary> m_library;
    std::unique_ptr<npshell::Shell> m_shell;
    std::ostringstream m_printed, m_errors;
    int m_line = 0;
};

TEST_F(SarvikWine, PickInTheDialogAndSign) {
    const WString marker = UniqueMarker();
    LinkedCertificate alpha, beta;
    orvane::test::CertificateFields later;
    later.notAfter = "20410615120000";
    ASSERT_NO_FATAL_FAILURE(alpha.Create(marker + W(" Alpha"), AT_SIGNATURE));
    ASSERT_NO_FATAL_FAILURE(beta.Create(marker + W(" Beta"), AT_SIGNATURE, later));
    const std::string select =
        "VURO_SelectUserCert(\"" + U8(marker) + "\", \"\", \"\", \"\", false)";

    // The user picks the second row (the list is in name order: Beta) and
    // presses OK.
    const std::string chosen = RunWithDialog(select + " => ok", [](HWND dialog) {
        SendMessageW(GetDlgItem(dialog, kCertificateList), LB_SETCURSEL, 1, 0);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    });
    EXPECT_EQ(ValueOf(chosen), "Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_NE(Run("VURO_GetCertInfo(\"ValidToDate\") => ok ~\"2041-06-1\"").find("2041-06-1"),
              std::string::npos);
    Run("VURO_GetCertInfo(\"certtype\") => ok \"RSA\"");

    // A text and a file, for OpenSSL on the Linux side.
    const std::string text = "Signed under Wine, " + U8(marker);
    const std::string signature = ValueOf(Run("VURO_SignData(\"" + text + "\", \"sha-1\") => ok"));
    ASSERT_FALSE(signature.empty());
    std::ofstream(Out("text.b64")) << signature;
    std::ofstream(Out("text.txt"), std::ios::binary) << text;
    std::ofstream(Out("signer.der"), std::ios::binary)
        .write(reinterpret_cast<const char*>(beta.Encoded().data()),
               std::streamsize(beta.Encoded().size()));
    const WString document = WindowsPath(m_out + "/document.txt");
    std::ofstream(Out("document.txt"), std::ios::binary) << "A document signed under Wine.\n";
    const std::string documentArg = U8(document);
    std::string escaped;
    for (char c : documentArg)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    Run("VURO_SignFile(\"" + escaped + "\", \"SHA-1\") => ok \"" + escaped + ".p7s\"");
    // Again: the signature file is there and stays as it is.
    Run("VURO_SignFile(\"" + escaped + "\", \"SHA-1\") => failed null");
    Run("VURO_GetLastErrorDesc() => ok ~\"(0x800700b7)\"");

    // Cancelled: nothing is selected afterwards.
    RunWithDialog(select.substr(0, select.size() - 6) + "true) => failed null", [](HWND dialog) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
    });
    Run("VURO_GetLastErrorDesc() => ok ~\"(0xa0071002)\"");
    Run("VURO_SignData(\"x\", \"SHA-1\") => failed null");
    Run("VURO_GetLastErrorDesc() => ok ~\"(0xa0072001)\"");
}

} // namespace
