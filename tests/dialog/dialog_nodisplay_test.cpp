// Without a display the dialog cannot be shown: it says so with 1406 at once,
// and the entry point turns that into 0x8007057E, the code the signing agent
// answers by trying once more with another owner.
#include "dialog/CertificateDialogs.h"
#include "tests/dialog/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

using namespace dialog_test;

TEST(DialogWithoutDisplay, ReportsThatNoWindowCanBeCreated) {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    UniqueCertContext alice = MakeNamedCertificate("Alice", 1);
    UniqueCertContext bob = MakeNamedCertificate("bob", 2);
    ASSERT_TRUE(alice && bob);
    const SELECT_CERTIFICATE_OPTIONS options{0, nullptr, TRUE, 1, nullptr};

    struct Case {
        std::vector<PCCERT_CONTEXT> candidates;
    } cases[] = {{{alice.get(), bob.get()}}, {{alice.get()}}}; // two, and one with always-show
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        PCCERT_CONTEXT pSelected = nullptr;
        EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&options, c.candidates, &pSelected),
                  HRESULT(0x8007057E));
        EXPECT_EQ(pSelected, nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }

    UniqueStore store = MemoryStore({alice.get()});
    SELECT_CERTIFICATE_DIALOG_PARAMS params{};
    params.hCertStore = store.get();
    PCCERT_CONTEXT pSelected = nullptr;
    DWORD dwError = 0;
    EXPECT_EQ(RunSelectCertificateDialog(&params, &pSelected, &dwError), -1);
    EXPECT_EQ(dwError, 1406u);
    EXPECT_EQ(pSelected, nullptr);
}

TEST(DialogWithoutDisplay, AnUnreachableDisplayIsNoDisplay) {
    // A display that does not answer: the toolkit cannot start.
    ::setenv("DISPLAY", ":97531", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    UniqueCertContext alice = MakeNamedCertificate("Alice", 1);
    ASSERT_TRUE(alice);
    const SELECT_CERTIFICATE_OPTIONS options{0, nullptr, TRUE, 1, nullptr};
    PCCERT_CONTEXT pSelected = nullptr;
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&options, {alice.get()}, &pSelected),
              HRESULT(0x8007057E));
    EXPECT_EQ(pSelected, nullptr);
    ::unsetenv("DISPLAY");
}
