// The providers over PKCS#11 tokens: one TokenProvider for each token seen
// in this process, its names, its containers (listing, finding a pair,
// deleting) and Acquire, and the table that the slot scan behind
// Pkcs11Providers keeps up to date.
//
// Names: "Orvane PKCS#11: " and the token's label (trailing blanks trimmed; a
// blank label is replaced by the serial). When two present tokens share a
// label, both are listed as "<name> (<serial>)"; that long form is always
// accepted when acquiring, and it is the name certificate key links carry.
#include "../personal_store.h"
#include "token_objects.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace orvane::platform::csp {
namespace pkcs11_detail {
namespace {

const std::u16string kNamePrefix = u"Orvane PKCS#11: ";

std::u16string Trimmed(const CK_UTF8CHAR* text, size_t size) {
    while (size > 0 && (text[size - 1] == ' ' || text[size - 1] == 0))
        --size;
    return platform::ToUtf16(reinterpret_cast<const char*>(text), size);
}

} // namespace

TokenProvider::TokenProvider(const pkcs11::Module& module, CK_SLOT_ID slot, std::u16string label,
                             std::u16string serial)
    : token_(module, slot, label), serial_(std::move(serial)) {
    const std::u16string shown = label.empty() ? serial_ : label;
    longName_ = kNamePrefix + shown + u" (" + serial_ + u")";
    name_ = kNamePrefix + shown;
}

Status TokenProvider::FindPair(Token::Session& s, const std::u16string& container, DWORD keySpec,
                               CK_OBJECT_HANDLE& publicKey, Bytes& id, const Bytes* except) {
    const CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    const CK_KEY_TYPE type = CKK_RSA;
    const std::string label = Utf8(container);
    std::vector<CK_OBJECT_HANDLE> found;
    if (Status st = pkcs11::Find(
            s,
            {Attribute(CKA_CLASS, cls), Attribute(CKA_KEY_TYPE, type), Attribute(CKA_LABEL, label)},
            found))
        return st;
    for (CK_OBJECT_HANDLE h : found) {
        const bool exchange = pkcs11::Flag(s, h, CKA_ENCRYPT) || pkcs11::Flag(s, h, CKA_WRAP);
        if (exchange != (keySpec == AT_KEYEXCHANGE))
            continue;
        if (Status st = pkcs11::Value(s, h, CKA_ID, id))
            return st;
        if (except != nullptr && id == *except)
            continue;
        publicKey = h;
        return 0;
    }
    id.clear();
    return Err(NTE_NO_KEY);
}

Status TokenProvider::Containers(std::vector<std::u16string>& names) {
    names.clear();
    Status st = token_.Run([&](Token::Session& s) -> Status {
        const CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        std::vector<CK_OBJECT_HANDLE> found;
        if (Status e = pkcs11::Find(s, {Attribute(CKA_CLASS, cls)}, found))
            return e;
        for (CK_OBJECT_HANDLE h : found) {
            Bytes label;
            if (Status e = pkcs11::Value(s, h, CKA_LABEL, label))
                return e;
            std::u16string name = Trimmed(label.data(), label.size());
            if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
        }
        return 0;
    });
    if (st != 0)
        return st;
    for (const std::u16string& r : token_.reserved)
        if (std::find(names.begin(), names.end(), r) == names.end())
            names.push_back(r);
    return 0;
}

Status TokenProvider::DeleteContainer(const std::u16string& container, bool silent) {
    const std::string label = Utf8(container);
    bool any = false;
    Status st = token_.Run([&](Token::Session& s) -> Status {
        auto destroy = [&](CK_OBJECT_CLASS cls) -> Status {
            std::vector<CK_OBJECT_HANDLE> found;
            if (Status e = pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_LABEL, label)},
                                        found))
                return e;
            for (CK_OBJECT_HANDLE h : found) {
                if (Status e = s.Check(s.f->C_DestroyObject(s.h, h)))
                    return e;
                any = true;
            }
            return 0;
        };
        std::vector<CK_OBJECT_HANDLE> publicKeys;
        const CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
        if (Status e = pkcs11::Find(
                s, {Attribute(CKA_CLASS, publicClass), Attribute(CKA_LABEL, label)}, publicKeys))
            return e;
        if (publicKeys.empty())
            return destroy(CKO_CERTIFICATE); // nothing private to find
        // Private keys are private objects: only a user sees them to destroy them.
        if (Status e = token_.Login(s, {nullptr, silent}))
            return e;
        for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE})
            if (Status e = destroy(cls))
                return e;
        return 0;
    });
    if (st != 0)
        return st;
    auto& reserved = token_.reserved;
    const auto r = std::find(reserved.begin(), reserved.end(), container);
    if (r != reserved.end()) {
        reserved.erase(r);
        any = true;
    }
    if (!any)
        return Err(NTE_BAD_KEYSET);
    UnregisterFromPersonalStore(longName_, container);
    return 0;
}

Status TokenProvider::Acquire(const std::u16string& container, DWORD flags,
                              std::unique_ptr<Context>& context) {
    if ((flags & ~(CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT)) != 0)
        return Err(NTE_BAD_FLAGS);
    const bool silent = (flags & CRYPT_SILENT) != 0;
    if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
        // A verify context still needs the token, to say what it offers.
        if (Status s = token_.Run([](Token::Session&) { return Status(); }))
            return s;
        context = std::make_unique<TokenContext>(*this, u"", silent);
        return 0;
    }
    std::u16string name = container;
    if ((flags & CRYPT_DELETEKEYSET) != 0)
        return name.empty() ? Err(NTE_BAD_KEYSET_PARAM) : DeleteContainer(name, silent);
    std::vector<std::u16string> names;
    if (Status s = Containers(names))
        return s;
    if (name.empty()) { // the default container: the first there is
        if ((flags & CRYPT_NEWKEYSET) != 0 || names.empty())
            return Err((flags & CRYPT_NEWKEYSET) != 0 ? NTE_BAD_KEYSET_PARAM : NTE_BAD_KEYSET);
        name = names.front();
    }
    if (Utf8(name).size() > 255)
        return Err(NTE_BAD_KEYSET_PARAM);
    const bool exists = std::find(names.begin(), names.end(), name) != names.end();
    if ((flags & CRYPT_NEWKEYSET) != 0) {
        if (exists)
            return Err(NTE_EXISTS);
        token_.reserved.push_back(name);
    } else if (!exists) {
        return Err(NTE_BAD_KEYSET);
    }
    context = std::make_unique<TokenContext>(*this, name, silent);
    return 0;
}

namespace {

// --- the table ------------------------------------------------------------------

struct Table {
    std::mutex mutex;
    // Every token seen in this process, by module, serial and label; never removed.
    std::map<std::string, std::unique_ptr<TokenProvider>> known;
    std::vector<Provider*> present;
};

Table& TheTable() {
    static Table table;
    return table;
}

void Scan(Table& table) {
    std::vector<TokenProvider*> present;
    std::vector<std::u16string> labels;
    const auto& modules = pkcs11::Modules();
    for (size_t m = 0; m < modules.size(); ++m) {
        CK_FUNCTION_LIST* f = modules[m].functions;
        CK_ULONG count = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count > 1024)
            continue;
        std::vector<CK_SLOT_ID> slots(count);
        if (f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
            continue;
        slots.resize(count);
        std::sort(slots.begin(), slots.end());
        for (CK_SLOT_ID slot : slots) {
            CK_TOKEN_INFO info{};
            if (f->C_GetTokenInfo(slot, &info) != CKR_OK ||
                (info.flags & CKF_TOKEN_INITIALIZED) == 0)
                continue;
            const std::u16string label = Trimmed(info.label, sizeof info.label);
            const std::u16string serial = Trimmed(info.serialNumber, sizeof info.serialNumber);
            const std::string key = std::to_string(m) + "\n" + Utf8(serial) + "\n" + Utf8(label);
            auto& entry = table.known[key];
            if (!entry)
                entry = std::make_unique<TokenProvider>(modules[m], slot, label, serial);
            entry->token().Seen(slot);
            present.push_back(entry.get());
            labels.push_back(label.empty() ? serial : label);
        }
    }
    for (auto& [key, provider] : table.known)
        if (std::find(present.begin(), present.end(), provider.get()) == present.end())
            provider->token().Gone();
    table.present.clear();
    for (size_t i = 0; i < present.size(); ++i) {
        const auto same = std::count(labels.begin(), labels.end(), labels[i]);
        present[i]->ListShort(same == 1);
        table.present.push_back(present[i]);
    }
}

} // namespace
} // namespace pkcs11_detail

std::vector<Provider*> Pkcs11Providers(ProviderScan scan) {
    pkcs11_detail::Table& table = pkcs11_detail::TheTable();
    std::lock_guard<std::mutex> hold(table.mutex);
    if (scan == ProviderScan::Refresh)
        pkcs11_detail::Scan(table);
    return table.present;
}

} // namespace orvane::platform::csp
