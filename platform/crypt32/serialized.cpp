// Serialized certificate elements (the "Blob" of a stored certificate) and the
// serialized form of the key-provider link. Every read goes through Cursor.
#include "crypt32/cert_internal.h"

#include "der/SerializedProperties.h"

#include <cstring>

namespace orvane::crypt32 {
namespace {

// Cursor: a bounded little-endian reader that advances only when a read succeeds.
class Cursor {
public:
    explicit Cursor(std::span<const BYTE> data) : data_(data) {}
    bool Dword(DWORD& v) {
        if (data_.size() < 4)
            return false;
        v = DWORD(data_[0]) | DWORD(data_[1]) << 8 | DWORD(data_[2]) << 16 | DWORD(data_[3]) << 24;
        data_ = data_.subspan(4);
        return true;
    }
    bool Bytes(size_t n, std::span<const BYTE>& out) {
        if (data_.size() < n)
            return false;
        out = data_.first(n);
        data_ = data_.subspan(n);
        return true;
    }
    bool Empty() const { return data_.empty(); }

private:
    std::span<const BYTE> data_;
};

void PutDword(std::vector<BYTE>& out, DWORD v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(BYTE(v >> (8 * i)));
}

void PutDwordAt(std::vector<BYTE>& out, size_t at, DWORD v) {
    for (int i = 0; i < 4; ++i)
        out[at + size_t(i)] = BYTE(v >> (8 * i));
}

DWORD GetDwordAt(std::span<const BYTE> data, size_t at) {
    Cursor c(data.subspan(at));
    DWORD v = 0;
    c.Dword(v);
    return v;
}

void PutWide(std::vector<BYTE>& out, LPCWSTR s) {
    for (; *s != 0; ++s) {
        out.push_back(BYTE(*s & 0xff));
        out.push_back(BYTE(*s >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

// WideAt: the characters of the terminated UTF-16LE string at off (0 means
// none), or false when it runs past the value.
bool WideAt(std::span<const BYTE> data, DWORD off, bool& present, std::u16string& out) {
    out.clear();
    present = off != 0;
    if (!present)
        return true;
    for (size_t i = off;; i += 2) {
        if (i + 1 >= data.size())
            return false;
        char16_t ch = char16_t(data[i] | data[i + 1] << 8);
        if (ch == 0)
            return true;
        out.push_back(ch);
    }
}

constexpr size_t kKeyProvHeader = 7 * 4;
constexpr size_t kKeyProvParam = 4 * 4;

size_t AlignUp(size_t n, size_t a) {
    return (n + a - 1) / a * a;
}

} // namespace

bool ReadSerializedElement(std::span<const BYTE> blob, SerializedElement& out) {
    out = {};
    // The certificate by the rules every reader of these records shares
    // (der/SerializedProperties.h): whole 32-bit ids and lengths, exactly one
    // record 32 holding exactly one DER element.
    der::Bytes certificate;
    if (der::ReadSerializedCertificate(blob, certificate) != 0)
        return false;
    der::SerializedPropertyReader records(blob);
    while (!records.AtEnd()) {
        der::SerializedProperty record;
        if (records.Next(record) != 0)
            return false;
        if (record.id != CERT_CERT_PROP_ID && IsPersistedProperty(record.id))
            out.props[record.id].assign(record.value.begin(), record.value.end());
        // Anything else (hashes, key contexts, ids we do not know) is skipped.
    }
    out.certificate = certificate;
    return true;
}

std::unique_ptr<CertObject> ParseSerializedElement(std::span<const BYTE> blob, DWORD& err) {
    SerializedElement element;
    if (!ReadSerializedElement(blob, element)) {
        err = DWORD(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }
    auto obj = ParseCertificate(element.certificate, err);
    if (obj)
        obj->props = std::move(element.props);
    return obj;
}

std::vector<BYTE> WriteSerializedElement(std::span<const BYTE> certificate,
                                         const std::map<DWORD, std::vector<BYTE>>& props) {
    std::vector<BYTE> out;
    size_t total = 12 + certificate.size();
    for (const auto& [id, value] : props)
        if (IsPersistedProperty(id))
            total += 12 + value.size();
    out.reserve(total);
    // Properties first, the certificate last, as Windows writes them.
    for (const auto& [id, value] : props) {
        if (!IsPersistedProperty(id))
            continue;
        PutDword(out, id);
        PutDword(out, 1);
        PutDword(out, DWORD(value.size()));
        out.insert(out.end(), value.begin(), value.end());
    }
    PutDword(out, CERT_CERT_PROP_ID);
    PutDword(out, 1);
    PutDword(out, DWORD(certificate.size()));
    out.insert(out.end(), certificate.begin(), certificate.end());
    return out;
}

std::vector<BYTE> SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info) {
    std::vector<BYTE> out(kKeyProvHeader, 0);
    PutDwordAt(out, 8, info.dwProvType);
    PutDwordAt(out, 12, info.dwFlags);
    PutDwordAt(out, 16, info.rgProvParam != nullptr ? info.cProvParam : 0);
    PutDwordAt(out, 24, info.dwKeySpec);
    if (info.pwszContainerName != nullptr) {
        PutDwordAt(out, 0, DWORD(out.size()));
        PutWide(out, info.pwszContainerName);
    }
    if (info.pwszProvName != nullptr) {
        PutDwordAt(out, 4, DWORD(out.size()));
        PutWide(out, info.pwszProvName);
    }
    const DWORD cParams = info.rgProvParam != nullptr ? info.cProvParam : 0;
    if (cParams != 0) {
        PutDwordAt(out, 20, DWORD(out.size()));
        const size_t table = out.size();
        out.resize(out.size() + kKeyProvParam * cParams, 0);
        for (DWORD i = 0; i < cParams; ++i) {
            const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
            const size_t at = table + kKeyProvParam * i;
            PutDwordAt(out, at, p.dwParam);
            PutDwordAt(out, at + 8, p.cbData);
            PutDwordAt(out, at + 12, p.dwFlags);
            if (p.cbData != 0 && p.pbData != nullptr) {
                PutDwordAt(out, at + 4, DWORD(out.size()));
                out.insert(out.end(), p.pbData, p.pbData + p.cbData);
            }
        }
    }
    return out;
}

bool KeyProvInfoToBlock(std::span<const BYTE> s, BYTE* out, size_t& size) {
    if (s.size() < kKeyProvHeader)
        return false;
    std::u16string container, provider;
    bool hasContainer = false, hasProvider = false;
    if (!WideAt(s, GetDwordAt(s, 0), hasContainer, container) ||
        !WideAt(s, GetDwordAt(s, 4), hasProvider, provider))
        return false;
    const DWORD cParams = GetDwordAt(s, 16);
    const DWORD offParams = GetDwordAt(s, 20);
    if (cParams != 0 && (offParams > s.size() || (s.size() - offParams) / kKeyProvParam < cParams))
        return false;
    // Block: the structure, the parameter array, the strings, the parameter data.
    size_t need = sizeof(CRYPT_KEY_PROV_INFO);
    const size_t paramsAt = AlignUp(need, alignof(CRYPT_KEY_PROV_PARAM));
    need = paramsAt + sizeof(CRYPT_KEY_PROV_PARAM) * cParams;
    const size_t containerAt = AlignUp(need, alignof(WCHAR));
    need = containerAt + (hasContainer ? (container.size() + 1) * sizeof(WCHAR) : 0);
    const size_t providerAt = need;
    need += hasProvider ? (provider.size() + 1) * sizeof(WCHAR) : 0;
    std::vector<size_t> dataAt(cParams);
    for (DWORD i = 0; i < cParams; ++i) {
        const size_t at = offParams + kKeyProvParam * i;
        const DWORD off = GetDwordAt(s, at + 4), cb = GetDwordAt(s, at + 8);
        if (cb != 0 && (off == 0 || off > s.size() || s.size() - off < cb))
            return false;
        dataAt[i] = need;
        need += cb;
    }
    if (out == nullptr) {
        size = need;
        return true;
    }
    std::memset(out, 0, need);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(out);
    info->dwProvType = GetDwordAt(s, 8);
    info->dwFlags = GetDwordAt(s, 12);
    info->cProvParam = cParams;
    info->dwKeySpec = GetDwordAt(s, 24);
    if (cParams != 0)
        info->rgProvParam = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(out + paramsAt);
    if (hasContainer) {
        info->pwszContainerName = reinterpret_cast<LPWSTR>(out + containerAt);
        std::memcpy(info->pwszContainerName, container.c_str(), (container.size() + 1) * 2);
    }
    if (hasProvider) {
        info->pwszProvName = reinterpret_cast<LPWSTR>(out + providerAt);
        std::memcpy(info->pwszProvName, provider.c_str(), (provider.size() + 1) * 2);
    }
    for (DWORD i = 0; i < cParams; ++i) {
        const size_t at = offParams + kKeyProvParam * i;
        CRYPT_KEY_PROV_PARAM& p = info->rgProvParam[i];
        p.dwParam = GetDwordAt(s, at);
        p.cbData = GetDwordAt(s, at + 8);
        p.dwFlags = GetDwordAt(s, at + 12);
        if (p.cbData != 0) {
            p.pbData = out + dataAt[i];
            std::memcpy(p.pbData, s.data() + GetDwordAt(s, at + 4), p.cbData);
        }
    }
    size = need;
    return true;
}

} // namespace orvane::crypt32
