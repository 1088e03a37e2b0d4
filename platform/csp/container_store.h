// ContainerStore: the key containers of one family of providers, one registry
// key each below HKEY_CURRENT_USER\<root>, so they live in the user hive and
// survive the process. Values of a container key are the provider's own
// (private-key blobs, flags, certificates). Each call is one registry
// transaction, so two processes working in different containers never meet.
#pragma once
#include "crypto.h"

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace orvane::platform::csp {

class ContainerStore {
public:
    explicit ContainerStore(std::u16string root) : root_(std::move(root)) {}

    // Create: a new, empty container; NTE_EXISTS when it is there already.
    Status Create(const std::u16string& name) const;
    // Exists: 0, or NTE_BAD_KEYSET when there is no such container.
    Status Exists(const std::u16string& name) const;
    // Delete: the container and all its values; NTE_BAD_KEYSET when absent.
    Status Delete(const std::u16string& name) const;
    // List: every container name, in the registry's order.
    Status List(std::vector<std::u16string>& names) const;
    // Read: one value; NTE_NO_KEY when the container lacks it.
    Status Read(const std::u16string& name, const char16_t* value, SecureBytes& data) const;
    Status Write(const std::u16string& name, const char16_t* value,
                 std::span<const BYTE> data) const;
    Status Remove(const std::u16string& name, const char16_t* value) const;

    // ValidName: a name the store can hold as one registry key.
    static bool ValidName(const std::u16string& name);

private:
    std::u16string Path(const std::u16string& name) const { return root_ + u"\\" + name; }
    std::u16string root_;
};

// WholeCertificate: 0 when data is exactly one certificate the stand-in can
// read; CRYPT_E_ASN1_BADTAG when it does not even start as one, NTE_BAD_DATA
// for anything else (a part of one, one with bytes after it, a damaged one).
// What a provider keeps as a key's certificate (KP_CERTIFICATE) passes here
// first, so nothing else is ever stored as one.
Status WholeCertificate(std::span<const BYTE> data);

// AnsiZ: a provider parameter's text, ANSI with its terminating zero
// (characters outside ASCII become '?').
Bytes AnsiZ(const std::u16string& text);

// AlgInfo: one PP_ENUMALGS_EX entry, and its PROV_ENUMALGS_EX bytes.
struct AlgInfo {
    ALG_ID alg;
    DWORD defaultLen, minLen, maxLen;
    const char* name;
    const char* longName;
};
Bytes EnumAlgsEntry(const AlgInfo& a);

// ListContainers: every container name a provider holds now.
using ListContainers = std::function<Status(std::vector<std::u16string>&)>;

// ContainerCursor: PP_ENUMCONTAINERS over a provider's containers; CRYPT_FIRST
// takes a new snapshot of the names, Consume moves past the one delivered.
class ContainerCursor {
public:
    Status Current(const ListContainers& list, DWORD flags, Bytes& out);
    void Consume() { ++next_; }

private:
    std::vector<std::u16string> names_;
    bool listed_ = false;
    size_t next_ = 0;
};

// ContextParams: the provider parameters every stand-in provider answers
// alike: its name, the open container, its kind of implementation (a token's
// is hardware), and the enumerations of containers and algorithms. The
// strings and the table it refers to outlive it.
class ContextParams {
public:
    ContextParams(const std::u16string& providerName, const std::u16string& container,
                  std::span<const AlgInfo> algs, DWORD implementation = CRYPT_IMPL_HARDWARE)
        : providerName_(providerName), container_(container), algs_(algs),
          implementation_(implementation) {}
    Status Get(const ListContainers& list, DWORD param, DWORD flags, Bytes& out);
    void Consume(DWORD param);

private:
    const std::u16string& providerName_;
    const std::u16string& container_;
    std::span<const AlgInfo> algs_;
    DWORD implementation_;
    ContainerCursor cursor_;
    size_t nextAlg_ = 0;
};

// ContainerContext: what every stand-in provider's context shares: the open
// container ("" for a verify context) and the parameters answered from the
// provider's container store; the store, the provider's name and its table
// of algorithms outlive it.
class ContainerContext : public Context {
public:
    ContainerContext(const ContainerStore& store, const std::u16string& providerName,
                     std::u16string container, std::span<const AlgInfo> algs,
                     DWORD implementation = CRYPT_IMPL_HARDWARE)
        : container_(std::move(container)), store_(store),
          params_(providerName, container_, algs, implementation) {}
    ContainerContext(const ContainerContext&) = delete;
    ContainerContext& operator=(const ContainerContext&) = delete;

    Status GetParam(DWORD param, DWORD flags, Bytes& out) override {
        return params_.Get(
            [this](std::vector<std::u16string>& names) { return store_.List(names); }, param, flags,
            out);
    }
    void Consume(DWORD param) override { params_.Consume(param); }

protected:
    std::u16string container_;

private:
    const ContainerStore& store_;
    ContextParams params_;
};

} // namespace orvane::platform::csp
