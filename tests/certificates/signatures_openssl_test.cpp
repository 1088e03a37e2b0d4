// SM2 signatures made in the stand-in SM2 token through the shared helper,
// written as DER and verified by OpenSSL with SM3 and the default signer
// identity. OpenSSL refuses a signature whose INTEGERs are not in their
// minimal form, so hundreds of signatures (a non-minimal half turns up about
// once in 256) also check that the form is minimal every time.
#include "tests/support/OpensslKeys.h"

#include "certificates/Signatures.h"
#include "der/Der.h"
#include "foundation/Handles.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

using orvane::checks::Pkey;
using orvane::checks::Sm2PublicFromBlob;
using orvane::checks::VerifySignature;
using orvane::signatures::FailedStep;
using orvane::signatures::SignatureLayout;
using Vec = std::vector<BYTE>;

const WCHAR kSm2Csp[] = u"Orvane Soft SM2 Token CSP v1.0";
constexpr ALG_ID kSm2Sign = 0x3E00;
constexpr ALG_ID kSm3 = 0x800F;
TEST(Sm2ProviderSignature, VerifiesWithOpenSslEveryTime) {
    const WString container = W("OrvaneSignaturesSm2-") + W(std::to_string(getpid()).c_str());
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), kSm2Csp, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    UniqueKey key;
    ASSERT_TRUE(CryptGenKey(prov.get(), kSm2Sign, 256u << 16, key.put()));
    DWORD cbBlob = 0;
    ASSERT_TRUE(CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &cbBlob));
    Vec blob(cbBlob);
    ASSERT_TRUE(CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob));
    Pkey pub = Sm2PublicFromBlob(blob);
    ASSERT_TRUE(pub);

    int failures = 0;
    for (int i = 0; i < 600 && failures < 3; ++i) {
        // Messages of every length around the helper's 16384-byte pieces.
        const std::string text = "message " + std::to_string(i);
        Vec message(text.begin(), text.end());
        if (i % 100 == 0)
            message.resize(16384 + size_t(i), 0x5A);
        Vec rs;
        FailedStep failed;
        ASSERT_EQ(orvane::signatures::HashAndSignInProvider(prov.get(), AT_SIGNATURE, kSm3,
                                                            SignatureLayout::kSm2Halves, message,
                                                            rs, failed),
                  S_OK)
            << failed.pszStep;
        ASSERT_EQ(rs.size(), 64u);
        orvane::der::DerWriter w;
        ASSERT_EQ(orvane::signatures::WriteSm2Signature(w, rs), S_OK);
        if (!VerifySignature(pub.get(), true, message, w.Encoding())) {
            ++failures;
            ADD_FAILURE() << "signature " << i << " does not verify";
        }
        if (i == 0) {
            // The check can fail: another message.
            message.push_back('.');
            EXPECT_FALSE(VerifySignature(pub.get(), true, message, w.Encoding()));
        }
    }
    prov.reset();
    HCRYPTPROV hDelete = 0;
    CryptAcquireContextW(&hDelete, container.c_str(), kSm2Csp, PROV_RSA_FULL, 0xFFFF0002u);
}

} // namespace
