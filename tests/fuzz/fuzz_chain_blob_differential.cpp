// Differential: arbitrary bytes, from a heap copy of exactly the input's size,
// as the blob of a chain document's root entry and as the "Blob" value of a
// system store's certificate key. The chain import's certificate extraction
// (CertificateOfRootBlob) and the POSIX stand-in's store reader
// (ParseSerializedElement, what a system store makes of its registry value)
// must agree on the certificate, byte for byte, or both refuse. The import's
// own check (CheckRootBlob) must then accept the blob under exactly the
// thumbprint the store computes for what it read, and refuse it under any
// other: what the import files under an entry point is what the store finds
// there, so a withdrawn-table row naming that certificate reaches it.
#include "chain/ChainDocumentReader.h"
#include "crypt32/cert_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using namespace orvane::crypt32;

WString HexText(const std::vector<BYTE>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    WString text;
    for (BYTE b : bytes) {
        text.push_back(WCHAR(kDigits[b >> 4]));
        text.push_back(WCHAR(kDigits[b & 15]));
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto copy = std::make_unique<BYTE[]>(size == 0 ? 1 : size);
    if (size != 0)
        std::memcpy(copy.get(), data, size);
    const std::span<const BYTE> blob(copy.get(), size);

    UniqueCertContext chain;
    const bool chainTakes = CertificateOfRootBlob(blob, &chain) == S_OK;
    DWORD err = 0;
    const std::unique_ptr<CertObject> stored = ParseSerializedElement(blob, err);
    if (chainTakes != (stored != nullptr))
        std::abort();

    ROOT_ENTRY entry;
    if (!chainTakes) {
        // Refused: under no entry point at all.
        if (CheckRootBlob(blob, TEXT("0000000000000000000000000000000000000000"), &entry) == S_OK)
            std::abort();
        return 0;
    }
    // The same certificate: the same bytes, the whole of the store's.
    const PCCERT_CONTEXT pCert = chain.get();
    if (pCert->cbCertEncoded != stored->encoded.size() ||
        std::memcmp(pCert->pbCertEncoded, stored->encoded.data(), stored->encoded.size()) != 0)
        std::abort();
    // Accepted under the store's thumbprint of it, and under no other.
    const WString thumbprint = HexText(stored->Sha1());
    if (CheckRootBlob(blob, thumbprint.c_str(), &entry) != S_OK ||
        entry.strThumbprint != thumbprint || entry.cert.get() == nullptr ||
        entry.cert.get()->cbCertEncoded != stored->encoded.size())
        std::abort();
    WString other = thumbprint;
    other[0] = other[0] == TEXT('0') ? TEXT('1') : TEXT('0');
    ROOT_ENTRY refused;
    if (CheckRootBlob(blob, other.c_str(), &refused) == S_OK)
        std::abort();
    return 0;
}
