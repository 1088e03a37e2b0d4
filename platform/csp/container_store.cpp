// ContainerStore over the registry API: see container_store.h.
#include "container_store.h"

#include "blob.h"
#include "storage/hive.h"

#include <winreg.h>

#include <cstring>

namespace orvane::platform::csp {
namespace {

// RegKey: closes on every path.
struct RegKey {
    HKEY h = nullptr;
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (h != nullptr)
            RegCloseKey(h);
    }
};

Status FromRegistry(LSTATUS rc, Status missing) {
    if (rc == ERROR_SUCCESS)
        return 0;
    return rc == ERROR_FILE_NOT_FOUND ? missing : static_cast<Status>(rc);
}

} // namespace

bool ContainerStore::ValidName(const std::u16string& name) {
    return !name.empty() && name.size() <= 255 && name.find(u'\\') == std::u16string::npos;
}

Status ContainerStore::Create(const std::u16string& name) const {
    RegKey key;
    DWORD disposition = 0;
    LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, Path(name).c_str(), 0, nullptr, 0,
                                 KEY_READ | KEY_WRITE, nullptr, &key.h, &disposition);
    if (rc != ERROR_SUCCESS)
        return static_cast<Status>(rc);
    return disposition == REG_CREATED_NEW_KEY ? Status() : Err(NTE_EXISTS);
}

Status ContainerStore::Exists(const std::u16string& name) const {
    RegKey key;
    return FromRegistry(RegOpenKeyExW(HKEY_CURRENT_USER, Path(name).c_str(), 0, KEY_READ, &key.h),
                        Err(NTE_BAD_KEYSET));
}

Status ContainerStore::Delete(const std::u16string& name) const {
    // Containers hold values only, so one RegDeleteKeyW removes all.
    RegKey parent;
    LSTATUS rc =
        RegOpenKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, KEY_READ | KEY_WRITE, &parent.h);
    if (rc != ERROR_SUCCESS)
        return FromRegistry(rc, Err(NTE_BAD_KEYSET));
    return FromRegistry(RegDeleteKeyW(parent.h, name.c_str()), Err(NTE_BAD_KEYSET));
}

Status ContainerStore::List(std::vector<std::u16string>& names) const {
    // All names in one read of the hive, rather than one call per index.
    using namespace orvane::platform::storage;
    names.clear();
    DWORD err = ReadHive(HiveKind::CurrentUser, [&](HiveTxn& txn) -> DWORD {
        names.clear();
        KeyId key = kRootKey;
        std::u16string_view rest = root_;
        while (!rest.empty()) {
            const size_t end = rest.find(u'\\');
            const std::u16string_view part = rest.substr(0, end);
            rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
            if (part.empty())
                continue;
            if (DWORD e = txn.FindChild(key, part, key); e != ERROR_SUCCESS)
                return e == ERROR_FILE_NOT_FOUND ? DWORD(ERROR_SUCCESS) : e; // none yet
        }
        return txn.ChildNames(key, [&](std::u16string_view name) { names.emplace_back(name); });
    });
    return static_cast<Status>(err);
}

Status ContainerStore::Read(const std::u16string& name, const char16_t* value,
                            SecureBytes& data) const {
    RegKey key;
    LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, Path(name).c_str(), 0, KEY_READ, &key.h);
    if (rc != ERROR_SUCCESS)
        return FromRegistry(rc, Err(NTE_BAD_KEYSET));
    for (;;) {
        DWORD type = 0, size = 0;
        rc = RegQueryValueExW(key.h, value, nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return FromRegistry(rc, Err(NTE_NO_KEY));
        data.Wipe();
        data.assign(size, 0);
        rc = RegQueryValueExW(key.h, value, nullptr, &type, data.data(), &size);
        if (rc == ERROR_MORE_DATA) // changed by another process meanwhile
            continue;
        if (rc != ERROR_SUCCESS)
            return FromRegistry(rc, Err(NTE_NO_KEY));
        data.resize(size);
        return 0;
    }
}

Status ContainerStore::Write(const std::u16string& name, const char16_t* value,
                             std::span<const BYTE> data) const {
    RegKey key;
    LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, Path(name).c_str(), 0, KEY_WRITE, &key.h);
    if (rc != ERROR_SUCCESS)
        return FromRegistry(rc, Err(NTE_BAD_KEYSET));
    return static_cast<Status>(
        RegSetValueExW(key.h, value, 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size())));
}

Status ContainerStore::Remove(const std::u16string& name, const char16_t* value) const {
    RegKey key;
    LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, Path(name).c_str(), 0, KEY_WRITE, &key.h);
    if (rc != ERROR_SUCCESS)
        return FromRegistry(rc, Err(NTE_BAD_KEYSET));
    return FromRegistry(RegDeleteValueW(key.h, value), 0);
}

Status WholeCertificate(std::span<const BYTE> data) {
    if (data.empty() || data[0] != 0x30)
        return Err(CRYPT_E_ASN1_BADTAG);
    if (data.size() > 0xFFFFFFFFu)
        return Err(NTE_BAD_DATA);
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, data.data(), DWORD(data.size()));
    const bool whole = cert != nullptr && cert->cbCertEncoded == data.size();
    CertFreeCertificateContext(cert);
    return whole ? Status() : Err(NTE_BAD_DATA);
}

Bytes AnsiZ(const std::u16string& text) {
    Bytes out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<BYTE>(c) : static_cast<BYTE>('?'));
    out.push_back(0);
    return out;
}

Bytes EnumAlgsEntry(const AlgInfo& a) {
    PROV_ENUMALGS_EX e{};
    e.aiAlgid = a.alg;
    e.dwDefaultLen = a.defaultLen;
    e.dwMinLen = a.minLen;
    e.dwMaxLen = a.maxLen;
    e.dwNameLen = static_cast<DWORD>(std::strlen(a.name) + 1);
    std::memcpy(e.szName, a.name, e.dwNameLen);
    e.dwLongNameLen = static_cast<DWORD>(std::strlen(a.longName) + 1);
    std::memcpy(e.szLongName, a.longName, e.dwLongNameLen);
    const auto* p = reinterpret_cast<const BYTE*>(&e);
    return Bytes(p, p + sizeof e);
}

Status ContainerCursor::Current(const ListContainers& list, DWORD flags, Bytes& out) {
    if ((flags & CRYPT_FIRST) != 0 || !listed_) {
        if (Status s = list(names_))
            return s;
        listed_ = true;
        next_ = 0;
    }
    if (next_ >= names_.size())
        return ERROR_NO_MORE_ITEMS;
    out = AnsiZ(names_[next_]);
    return 0;
}

Status ContextParams::Get(const ListContainers& list, DWORD param, DWORD flags, Bytes& out) {
    switch (param) {
    case PP_NAME:
        out = AnsiZ(providerName_);
        return 0;
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        out = AnsiZ(container_);
        return 0;
    case PP_IMPTYPE:
        out = DwordBytes(implementation_);
        return 0;
    case PP_ENUMCONTAINERS:
        return cursor_.Current(list, flags, out);
    case PP_ENUMALGS_EX:
        if ((flags & CRYPT_FIRST) != 0)
            nextAlg_ = 0;
        if (nextAlg_ >= algs_.size())
            return ERROR_NO_MORE_ITEMS;
        out = EnumAlgsEntry(algs_[nextAlg_]);
        return 0;
    default:
        return Err(NTE_BAD_TYPE);
    }
}

void ContextParams::Consume(DWORD param) {
    if (param == PP_ENUMCONTAINERS)
        cursor_.Consume();
    else if (param == PP_ENUMALGS_EX)
        ++nextAlg_;
}

} // namespace orvane::platform::csp
