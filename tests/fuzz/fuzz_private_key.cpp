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
        const SecretBytes* numbers[] = {&key.modulus,    &key.privateExponent, &key.prime1,
                                        &key.prime2,     &key.exponent1,       &key.exponent2,
                                        &key.coefficient};
        for (const SecretBytes* number : numbers)
            if (number->size() > cbDer)
                std::abort();
    } else if (!key.modulus.empty()) {
        std::abort(); // nothing is kept after a refusal
    }

    SecretBytes blob;
    if (SUCCEEDED(getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(pbDer, cbDer, dwBits, blob)) &&
        (blob.size() != dwBits * 9 / 16 + 20 || blob[0] != PRIVATEKEYBLOB))
        std::abort();
    return 0;
}
