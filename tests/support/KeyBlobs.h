// Key blobs, signatures and key certificates read out of a provider with
// CryptoAPI, for the tests of both targets that compare them with what they
// expect.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <vector>

namespace orvane::tests {

// ExportKey: CryptExportKey's blob of that type, under wrap when it is not 0;
// empty when the export fails.
inline std::vector<BYTE> ExportKey(HCRYPTKEY key, DWORD type, HCRYPTKEY wrap = 0) {
    DWORD size = 0;
    if (!CryptExportKey(key, wrap, type, 0, nullptr, &size))
        return {};
    std::vector<BYTE> out(size);
    if (!CryptExportKey(key, wrap, type, 0, out.data(), &size))
        return {};
    out.resize(size);
    return out;
}

// SignData: CryptSignHashW's signature (least significant byte first) of the
// data hashed with hashAlg in the provider, by its key of keySpec; empty when
// a step fails.
inline std::vector<BYTE> SignData(HCRYPTPROV prov, ALG_ID hashAlg, DWORD keySpec, const BYTE* data,
                                  size_t size) {
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, hashAlg, 0, 0, &hash))
        return {};
    std::vector<BYTE> sig;
    DWORD cb = 0;
    if (CryptHashData(hash, data, static_cast<DWORD>(size), 0) &&
        CryptSignHashW(hash, keySpec, nullptr, 0, nullptr, &cb)) {
        sig.resize(cb);
        if (CryptSignHashW(hash, keySpec, nullptr, 0, sig.data(), &cb))
            sig.resize(cb);
        else
            sig.clear();
    }
    CryptDestroyHash(hash);
    return sig;
}

// KeyCertificate: the certificate the provider keeps with the key
// (KP_CERTIFICATE); empty when it has none or the read fails.
inline std::vector<BYTE> KeyCertificate(HCRYPTKEY key) {
    DWORD size = 0;
    if (!CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0))
        return {};
    std::vector<BYTE> out(size);
    if (!CryptGetKeyParam(key, KP_CERTIFICATE, out.data(), &size, 0))
        return {};
    out.resize(size);
    return out;
}

// EnvelopeBlob: the RSA tokens' enveloped-import blob (header, alg, fields),
// whose last field is the pointer-sized address of the ciphertext.
inline std::vector<BYTE> EnvelopeBlob(ALG_ID alg, const std::vector<DWORD>& fields,
                                      const void* address) {
    std::vector<BYTE> blob = {PRIVATEKEYBLOB, CUR_BLOB_VERSION, 1, 0};
    auto put = [&](DWORD v) {
        for (int i = 0; i < 4; ++i)
            blob.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    put(alg);
    for (DWORD f : fields)
        put(f);
    const auto* a = reinterpret_cast<const BYTE*>(&address);
    blob.insert(blob.end(), a, a + sizeof address);
    return blob;
}

} // namespace orvane::tests
