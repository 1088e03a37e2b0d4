// FilterCertificates over certificates decoded from the input, with a filter
// made from it too. Layout: a header byte of flags, the filter's texts as
// length-prefixed UTF-8 pieces (subject, issuer, providers, key identifier,
// serial, algorithm prefix), a key-usage byte and an 8-byte reference time,
// then certificates, each a 2-byte big-endian length and that many bytes of
// DER (each copied to a heap buffer of exactly its size). The result must be
// a subsequence of the input in its order, the same on a second run, and
// every survivor must pass the checks it was chosen by.
#include "selection/CertificateFilter.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Reader {
    const uint8_t* p;
    size_t left;
    bool Byte(uint8_t& b) {
        if (left == 0)
            return false;
        b = *p++;
        --left;
        return true;
    }
    bool Bytes(size_t n, std::vector<uint8_t>& out) {
        if (n > left)
            return false;
        out.assign(p, p + n);
        p += n;
        left -= n;
        return true;
    }
};

WString Utf16(const std::vector<uint8_t>& utf8) {
    // Code units straight from the bytes (the texts need not be valid UTF-8
    // for the filter: a page may send any code units).
    WString out;
    for (uint8_t b : utf8)
        out.push_back(WCHAR(b));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The private-key check may look into the personal store: never the user's.
    char dir[] = "/tmp/orvane-fuzz-filter-XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        std::abort();
    ::setenv("ORVANE_USER_HIVE", (std::string(dir) + "/user.db").c_str(), 1);
    ::setenv("ORVANE_MACHINE_HIVE", (std::string(dir) + "/machine.db").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r{data, size};
    uint8_t flags = 0;
    if (!r.Byte(flags))
        return 0;
    WString texts[5];
    std::string prefix;
    std::vector<uint8_t> piece;
    for (int i = 0; i < 6; ++i) {
        uint8_t len = 0;
        if (!r.Byte(len) || !r.Bytes(len, piece))
            return 0;
        if (i < 5)
            texts[i] = Utf16(piece);
        else
            prefix.assign(piece.begin(), piece.end());
    }
    uint8_t usage = 0;
    std::vector<uint8_t> time;
    if (!r.Byte(usage) || !r.Bytes(8, time))
        return 0;
    FILETIME at{};
    std::memcpy(&at, time.data(), sizeof at);

    CERTIFICATE_FILTER filter{};
    // Each flag bit says whether a field is set (an unset text is null).
    filter.pwszSubjectDN = (flags & 0x01) ? texts[0].c_str() : nullptr;
    filter.pwszIssuerDN = (flags & 0x02) ? texts[1].c_str() : nullptr;
    filter.pwszCSPName = (flags & 0x04) ? texts[2].c_str() : nullptr;
    filter.pwszSubjectKeyID = (flags & 0x08) ? texts[3].c_str() : nullptr;
    filter.pwszSerialNumber = (flags & 0x10) ? texts[4].c_str() : nullptr;
    filter.pszSignatureAlg = (flags & 0x20) ? prefix.c_str() : nullptr;
    filter.pftTime = (flags & 0x40) ? &at : nullptr;
    filter.fPrivateKey = (flags & 0x80) ? 1 : 0;
    filter.dwKeyUsage = usage;

    CertificateList in;
    while (r.left >= 2) {
        uint8_t hi = 0, lo = 0;
        r.Byte(hi);
        r.Byte(lo);
        std::vector<uint8_t> der;
        if (!r.Bytes(size_t(hi) << 8 | lo, der))
            break;
        std::unique_ptr<BYTE[]> exact(new BYTE[der.size() ? der.size() : 1]);
        if (!der.empty())
            std::memcpy(exact.get(), der.data(), der.size());
        PCCERT_CONTEXT c =
            CertCreateCertificateContext(X509_ASN_ENCODING, exact.get(), DWORD(der.size()));
        if (c != nullptr)
            in.emplace_back(c);
    }

    CertificateList out, again;
    if (FilterCertificates(&filter, out, in) != VURO_OK ||
        FilterCertificates(&filter, again, in) != VURO_OK)
        std::abort();
    if (out.size() != again.size())
        std::abort();
    size_t next = 0;
    FilterConditions conditions;
    if (PrepareFilter(&filter, &conditions) != VURO_OK)
        std::abort();
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i].get() != again[i].get())
            std::abort();
        // In input order, each taken at most once.
        while (next < in.size() && in[next].get() != out[i].get())
            ++next;
        if (next == in.size())
            std::abort();
        ++next;
        if (CheckCertificateFields(out[i].get(), conditions) != VURO_OK)
            std::abort();
    }
    // A filter of no conditions passes everything that decoded.
    CertificateList all;
    if (FilterCertificates(nullptr, all, in) != VURO_OK || all.size() != in.size())
        std::abort();
    return 0;
}
