// A module without the list's pictures: the dialog closes before it is
// shown and the caller gets the resource loader's error, not a Cancel.
#include "dialog/CertificateDialogs.h"
#include "tests/dialog/DialogTestSupport.h"
#include "tests/dialog/GtkDriver.h"

#include <gtest/gtest.h>

using namespace dialog_test;

TEST(GtkDialogWithoutPictures, InitialisationFailureReachesTheCaller) {
    GtkDriver::PrepareToolkit(96);
    UniqueCertContext alice = MakeNamedCertificate("Alice", 1);
    UniqueCertContext bob = MakeNamedCertificate("bob", 2);
    ASSERT_TRUE(alice && bob);
    const SELECT_CERTIFICATE_OPTIONS options{0, nullptr, TRUE, 1, nullptr};
    HRESULT hr = S_OK;
    PCCERT_CONTEXT pSelected = nullptr;
    bool bShown = false;
    GtkDriver::RunWithScript(
        [&] {
            hr = CustomCryptUIDlgSelectCertificate(&options, {alice.get(), bob.get()}, &pSelected);
        },
        [&] {
            bShown = GtkDriver::WaitUntil(
                [] { return GtkDriver::FindWidget("certificate-rows") != nullptr; }, 1000);
        });
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(pSelected, nullptr);
    EXPECT_FALSE(bShown);
}
