// CryptExportPublicKeyInfo: a container key pair's SubjectPublicKeyInfo, built
// from the provider's PUBLICKEYBLOB through the provider entry points only.
//
//   SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier,
//                                       subjectPublicKey BIT STRING }
// The call hands out the two parts as CERT_PUBLIC_KEY_INFO:
//   RSA: rsaEncryption, parameters NULL,
//        RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
//   SM2: id-ecPublicKey, parameters OBJECT IDENTIFIER sm2 (1.2.156.10197.1.301),
//        the uncompressed point 04 X Y
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

void PutLength(Bytes& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<BYTE>(n));
        return;
    }
    Bytes digits;
    for (; n != 0; n >>= 8)
        digits.insert(digits.begin(), static_cast<BYTE>(n));
    out.push_back(static_cast<BYTE>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
}

Bytes Tlv(BYTE tag, const Bytes& content) {
    Bytes out{tag};
    PutLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// UnsignedInteger: a DER INTEGER from a big-endian magnitude.
Bytes UnsignedInteger(Bytes be) {
    while (be.size() > 1 && be.front() == 0)
        be.erase(be.begin());
    if (be.empty())
        be.push_back(0);
    if (be.front() & 0x80)
        be.insert(be.begin(), 0);
    return Tlv(0x02, be);
}

DWORD Le32(const Bytes& b, size_t at) {
    return static_cast<DWORD>(b[at]) | (static_cast<DWORD>(b[at + 1]) << 8) |
           (static_cast<DWORD>(b[at + 2]) << 16) | (static_cast<DWORD>(b[at + 3]) << 24);
}

// PublicParts: the algorithm, its parameters and the key bits from a blob.
bool PublicParts(const Bytes& blob, const char*& oid, Bytes& params, Bytes& bits) {
    if (blob.size() >= 20 && Le32(blob, 8) == 0x31415352) { // "RSA1"
        const DWORD bitLength = Le32(blob, 12);
        if (bitLength % 8 != 0 || blob.size() != 20 + bitLength / 8)
            return false;
        Bytes modulus(blob.rbegin(), blob.rend() - 20);
        Bytes exponent = {blob[19], blob[18], blob[17], blob[16]};
        Bytes seq = UnsignedInteger(modulus);
        Bytes e = UnsignedInteger(exponent);
        seq.insert(seq.end(), e.begin(), e.end());
        oid = szOID_RSA_RSA;
        params = {0x05, 0x00};
        bits = Tlv(0x30, seq);
        return true;
    }
    if (blob.size() == 140 && Le32(blob, 8) == 256) { // the SM2 tokens' blob
        oid = "1.2.840.10045.2.1";
        params = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
        bits = {0x04};
        bits.insert(bits.end(), blob.rbegin() + 64 + 32, blob.rbegin() + 64 + 64); // X
        bits.insert(bits.end(), blob.rbegin() + 32, blob.rbegin() + 64);           // Y
        return true;
    }
    return false;
}

size_t Align(size_t n) {
    return (n + alignof(void*) - 1) & ~(alignof(void*) - 1);
}

} // namespace

extern "C" BOOL WINAPI CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwKeySpec,
                                                DWORD dwCertEncodingType,
                                                struct _CERT_PUBLIC_KEY_INFO* pInfo,
                                                DWORD* pcbInfo) {
    if (pcbInfo == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG)); // only X.509 has such a structure
        return FALSE;
    }
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(hCryptProv, dwKeySpec, &key))
        return FALSE; // the provider's error stands
    DWORD size = 0;
    Bytes blob;
    BOOL ok = CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size);
    if (ok) {
        blob.resize(size);
        ok = CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size);
    }
    const DWORD exportError = GetLastError();
    CryptDestroyKey(key);
    if (!ok) {
        SetLastError(exportError);
        return FALSE;
    }
    const char* oid = nullptr;
    Bytes params, bits;
    if (!PublicParts(blob, oid, params, bits)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return FALSE;
    }
    const size_t oidAt = Align(sizeof(CERT_PUBLIC_KEY_INFO));
    const size_t paramsAt = Align(oidAt + std::strlen(oid) + 1);
    const size_t bitsAt = paramsAt + params.size();
    const size_t total = bitsAt + bits.size();
    if (pInfo == nullptr || *pcbInfo < total) {
        const bool query = pInfo == nullptr;
        *pcbInfo = static_cast<DWORD>(total);
        SetLastError(query ? ERROR_SUCCESS : ERROR_MORE_DATA);
        return query ? TRUE : FALSE;
    }
    auto* base = reinterpret_cast<BYTE*>(pInfo);
    std::memset(base, 0, total);
    std::memcpy(base + oidAt, oid, std::strlen(oid) + 1);
    std::memcpy(base + paramsAt, params.data(), params.size());
    std::memcpy(base + bitsAt, bits.data(), bits.size());
    pInfo->Algorithm.pszObjId = reinterpret_cast<LPSTR>(base + oidAt);
    pInfo->Algorithm.Parameters.cbData = static_cast<DWORD>(params.size());
    pInfo->Algorithm.Parameters.pbData = base + paramsAt;
    pInfo->PublicKey.cbData = static_cast<DWORD>(bits.size());
    pInfo->PublicKey.pbData = base + bitsAt;
    pInfo->PublicKey.cUnusedBits = 0;
    *pcbInfo = static_cast<DWORD>(total);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
