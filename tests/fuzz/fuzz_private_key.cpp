// Arbitrary bytes as the PKCS#1 private key an envelope decrypts to. The
// decoder and the private-key blob either refuse them or hand out exactly the
// numbers the key length calls for; neither reads outside the input.
#include "enrolment/ImportHelpers.h"
#include "enrolment/SoftKeyDecrypt.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // The first two bytes choose the key length in bits (multiples of 16 are
    // the interesting ones, so most inputs pick one).
    const DWORD dwBits = (DWORD(data[0]) << 8 | data[1]) & 0x3FF0;
    const BYTE* pbDer = data + 2;
    const DWORD cbDer = DWORD(size - 2);

    PKCS1_PRIVATE_KEY key;
    if (SUCCEEDED(DecodePrivateKey(pbDer, cbDer, &key))) {
        const DWORD lengths[] = {key.cbModulus,    key.cbPrivateExponent, key.cbPrime1,
                                 key.cbPrime2,     key.cbExponent1,       key.cbExponent2,
                                 key.cbCoefficient};
        for (DWORD cb : lengths)
            if (cb > cbDer)
                std::abort();
    } else if (key.pbModulus != nullptr) {
        std::abort(); // nothing is kept after a refusal
    }

    BYTE* pbBlob = nullptr;
    DWORD cbBlob = 0;
    if (SUCCEEDED(
            getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(pbDer, cbDer, dwBits, &pbBlob, &cbBlob))) {
        if (pbBlob == nullptr || cbBlob != dwBits * 9 / 16 + 20 || pbBlob[0] != PRIVATEKEYBLOB)
            std::abort();
        WipeAndDeleteArray(pbBlob, cbBlob);
    }
    return 0;
}
