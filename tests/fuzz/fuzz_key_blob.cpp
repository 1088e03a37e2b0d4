// Imports arbitrary bytes as a key blob into a verify context of the Enhanced
// software provider: the PUBLICKEYBLOB, PRIVATEKEYBLOB and SIMPLEBLOB parsers.
// The first byte chooses whether an exchange key pair is offered to decrypt a
// SIMPLEBLOB; the rest is the blob, in a heap copy of exactly its size so that
// any read past it is an overread for AddressSanitizer. An accepted RSA blob
// is a fixed point: exporting the key gives back the blob's header and numbers
// (all but the reserved word, which an import ignores and an export zeroes).
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Session {
    HCRYPTPROV prov = 0;
    HCRYPTKEY exchange = 0;
    Session() {
        if (!CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                  CRYPT_VERIFYCONTEXT) ||
            !CryptGenKey(prov, AT_KEYEXCHANGE, (512 << 16) | CRYPT_EXPORTABLE, &exchange))
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Session session;
    if (size < 1)
        return 0;
    const HCRYPTKEY wrap = (data[0] & 1) != 0 ? session.exchange : 0;
    std::unique_ptr<BYTE[]> blob(new BYTE[size - 1]);
    std::memcpy(blob.get(), data + 1, size - 1);
    HCRYPTKEY key = 0;
    if (!CryptImportKey(session.prov, blob.get(), static_cast<DWORD>(size - 1), wrap,
                        CRYPT_EXPORTABLE, &key))
        return 0;
    const BYTE type = blob[0];
    if (type == PUBLICKEYBLOB || type == PRIVATEKEYBLOB) {
        DWORD length = 0;
        if (!CryptExportKey(key, 0, type, 0, nullptr, &length))
            std::abort();
        std::vector<BYTE> out(length);
        if (!CryptExportKey(key, 0, type, 0, out.data(), &length) || length > size - 1 ||
            std::memcmp(out.data(), blob.get(), 2) != 0 ||
            std::memcmp(out.data() + 4, blob.get() + 4, length - 4) != 0)
            std::abort();
    }
    CryptDestroyKey(key);
    return 0;
}
