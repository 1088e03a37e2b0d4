// Feeds arbitrary bytes, from a heap copy of exactly the input's size, to the
// two readers of stored certificates: CertCreateCertificateContext (and the
// name texts of whatever parses) and the serialized-element reader behind
// system stores (and the key-provider link inside it). An element that reads
// must survive writing and reading again unchanged.
#include "crypt32/cert_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace orvane::crypt32;

void Names(PCCERT_CONTEXT c) {
    for (DWORD type : {DWORD(CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG),
                       DWORD(CERT_SIMPLE_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG)}) {
        const DWORD need =
            CertNameToStrW(X509_ASN_ENCODING, &c->pCertInfo->Subject, type, nullptr, 0);
        std::vector<WCHAR> text(need);
        if (CertNameToStrW(X509_ASN_ENCODING, &c->pCertInfo->Subject, type, text.data(), need) !=
                need ||
            text[need - 1] != 0)
            std::abort();
    }
    WCHAR small[4];
    CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, small, 4);
    if (small[3] != 0 && std::char_traits<char16_t>::length(small) > 3)
        std::abort();
}

void Certificate(const BYTE* data, size_t size) {
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, data, DWORD(size));
    if (c == nullptr)
        return;
    if (c->cbCertEncoded > size || std::memcmp(c->pbCertEncoded, data, c->cbCertEncoded) != 0)
        std::abort();
    Names(c);
    CertFreeCertificateContext(c);
}

void Element(const BYTE* data, size_t size) {
    SerializedElement element;
    if (!ReadSerializedElement({data, size}, element))
        return;
    if (auto it = element.props.find(CERT_KEY_PROV_INFO_PROP_ID); it != element.props.end()) {
        size_t need = 0;
        if (KeyProvInfoToBlock(it->second, nullptr, need)) {
            auto block = std::make_unique<BYTE[]>(need);
            size_t got = 0;
            if (!KeyProvInfoToBlock(it->second, block.get(), got) || got != need)
                std::abort();
        }
    }
    const std::vector<BYTE> again = WriteSerializedElement(element.certificate, element.props);
    SerializedElement reread;
    if (!ReadSerializedElement(again, reread) ||
        reread.certificate.size() != element.certificate.size() ||
        std::memcmp(reread.certificate.data(), element.certificate.data(),
                    element.certificate.size()) != 0 ||
        reread.props != element.props)
        std::abort();
    DWORD err = 0;
    ParseCertificate(element.certificate, err);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto copy = std::make_unique<BYTE[]>(size == 0 ? 1 : size);
    if (size != 0)
        std::memcpy(copy.get(), data, size);
    Certificate(copy.get(), size);
    Element(copy.get(), size);
    return 0;
}
