#include "certificates/KeyFamily.h"

#include "foundation/Encodings.h"
#include "foundation/ResultCodes.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace orvane::keys {

namespace {

HRESULT Failed(signatures::FailedStep& failed, const char* pszStep, const char* pszReason,
               HRESULT hr) {
    failed.pszStep = pszStep;
    failed.pszReason = pszReason;
    return hr;
}

// RSA: PKCS #1 v1.5 with SHA-1; keys exported as the key bits of their
// SubjectPublicKeyInfo (the RSAPublicKey DER), which the request carries as
// they are.
class RsaFamily final : public KeyFamily {
public:
    KeyAlgorithm Algorithm() const override { return KeyAlgorithm::Rsa; }

    ALG_ID KeyPairAlgorithm(DWORD dwKeySpec) const override { return dwKeySpec; }
    DWORD TemporaryKeyBits() const override { return 1024; }
    DWORD DeleteContainerFlags() const override { return CRYPT_DELETEKEYSET; }

    HRESULT ExportPublicKey(HCRYPTPROV hProv, HCRYPTKEY, DWORD dwKeySpec, std::vector<BYTE>& key,
                            signatures::FailedStep& failed) const override {
        constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        DWORD cbExport = 0;
        if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, kEncoding, nullptr, &cbExport))
            return Failed(failed, "CryptExportPublicKeyInfo(1)", "bRetCode == FALSE",
                          FailureFromLastError());
        try {
            // CERT_PUBLIC_KEY_INFO points into the same buffer: align it for it.
            std::vector<ULONGLONG> buffer((cbExport + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
            auto* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
            if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, kEncoding, pInfo, &cbExport))
                return Failed(failed, "CryptExportPublicKeyInfo(2)", "bRetCode == FALSE",
                              FailureFromLastError());
            if (pInfo->PublicKey.cbData == 0 || pInfo->PublicKey.pbData == nullptr)
                return Failed(failed, "CryptExportPublicKeyInfo(2)", "PublicKey.cbData == 0",
                              NTE_BAD_KEY);
            key.assign(pInfo->PublicKey.pbData, pInfo->PublicKey.pbData + pInfo->PublicKey.cbData);
        } catch (const std::bad_alloc&) {
            return Failed(failed, "New buffer", "!*lppPublicKey", E_OUTOFMEMORY);
        }
        return 0;
    }

    const RequestOids& Request() const override {
        static constexpr RequestOids kOids{kOidRsaEncryption, "", kOidSha1WithRsa};
        return kOids;
    }
    HRESULT RequestPublicKey(der::Bytes exported, std::vector<BYTE>& key) const override {
        key.assign(exported.begin(), exported.end());
        return 0;
    }
    HRESULT RequestTemporaryKey(der::Bytes exported, std::vector<BYTE>& key) const override {
        return RequestPublicKey(exported, key);
    }

    ALG_ID HashAlgorithm() const override { return CALG_SHA1; }
    signatures::SignatureLayout Layout() const override {
        return signatures::SignatureLayout::kRsa;
    }
    DWORD RawSignatureSize() const override { return 0; }
    HRESULT WriteSignatureValue(der::DerWriter& w, der::Bytes signature) const override {
        w.Raw(signature);
        return HRESULT(w.Error());
    }

    const SignedDataOids& SignedData() const override {
        static constexpr SignedDataOids kOids{kPkcs7SignedDataOID, kPkcs7DataOID,
                                              kRsaPkcs7DigestOID, kRsaPkcs7EncryptionOID};
        return kOids;
    }
    // As the system's encoder writes an integer blob (no redundant sign
    // octets), which for a DER certificate is its own serial's encoding.
    void WriteSerialNumber(der::DerWriter& w, der::Bytes serialLittleEndian) const override {
        der::WriteLittleEndianInteger(w, serialLittleEndian);
    }
    DWORD FileBase64Flags() const override { return 0; }
    bool TracesHashValue() const override { return false; }
    const WCHAR* PageHashName() const override { return TEXT("SHA-1"); }
};

// SM2 with SM3 in the vendor providers: keys exported as the provider's
// 140-byte blob, signatures as r then s.
class Sm2Family final : public KeyFamily {
public:
    KeyAlgorithm Algorithm() const override { return KeyAlgorithm::Sm2; }

    ALG_ID KeyPairAlgorithm(DWORD dwKeySpec) const override {
        return dwKeySpec == AT_KEYEXCHANGE ? kAlgSM2KeyExchange
               : dwKeySpec == AT_SIGNATURE ? kAlgSM2Signature
                                           : dwKeySpec;
    }
    DWORD TemporaryKeyBits() const override { return 256; }
    DWORD DeleteContainerFlags() const override { return kSM2DeleteFlags; }

    HRESULT ExportPublicKey(HCRYPTPROV, HCRYPTKEY hKey, DWORD, std::vector<BYTE>& key,
                            signatures::FailedStep& failed) const override {
        DWORD cbExport = 0;
        if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cbExport))
            return Failed(failed, "CryptExportKey(1)", "bRetCode == FALSE", FailureFromLastError());
        try {
            std::vector<BYTE> blob(cbExport != 0 ? cbExport : 1);
            if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbExport))
                return Failed(failed, "CryptExportKey(2)", "bRetCode == FALSE",
                              FailureFromLastError());
            blob.resize(std::min<size_t>(cbExport, blob.size()));
            key = std::move(blob);
        } catch (const std::bad_alloc&) {
            return Failed(failed, "New buffer", "!*lppPublicKey", E_OUTOFMEMORY);
        }
        return 0;
    }

    const RequestOids& Request() const override {
        static constexpr RequestOids kOids{kOidEcPublicKey, kOidSM2Curve, kOidSM2WithSM3};
        return kOids;
    }
    // The uncompressed point 04 || X || Y.
    HRESULT RequestPublicKey(der::Bytes exported, std::vector<BYTE>& key) const override {
        if (exported.size() < kSM2PublicKeyBlobSize)
            return NTE_BAD_KEY;
        const BYTE* pbX = exported.data() + kSM2BlobHeaderSize + 4;
        const BYTE* pbY = pbX + kSM2FieldSize;
        key.assign(1 + 2 * kSM2CoordinateSize, 0x04);
        std::reverse_copy(pbX, pbX + kSM2CoordinateSize, key.begin() + 1);
        std::reverse_copy(pbY, pbY + kSM2CoordinateSize, key.begin() + 1 + kSM2CoordinateSize);
        return 0;
    }
    // LE32 0xB400, LE32 256, then the blob's two 64-byte fields with their
    // first 32 bytes turned big-endian: the form issuers read.
    HRESULT RequestTemporaryKey(der::Bytes exported, std::vector<BYTE>& key) const override {
        if (exported.size() < kSM2PublicKeyBlobSize)
            return NTE_BAD_KEY;
        static constexpr BYTE kHead[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
        key.assign(kHead, kHead + sizeof kHead);
        const BYTE* pbFields = exported.data() + kSM2BlobHeaderSize + 4;
        key.insert(key.end(), pbFields, pbFields + 2 * kSM2FieldSize);
        SwapByteOrder(key.data() + sizeof kHead, kSM2CoordinateSize);
        SwapByteOrder(key.data() + sizeof kHead + kSM2FieldSize, kSM2CoordinateSize);
        return 0;
    }

    ALG_ID HashAlgorithm() const override { return kAlgSM3; }
    signatures::SignatureLayout Layout() const override {
        return signatures::SignatureLayout::kSm2Halves;
    }
    DWORD RawSignatureSize() const override { return signatures::kSm2RawSignatureSize; }
    HRESULT WriteSignatureValue(der::DerWriter& w, der::Bytes signature) const override {
        return signatures::WriteSm2Signature(w, signature);
    }

    const SignedDataOids& SignedData() const override {
        static constexpr SignedDataOids kOids{kSm2SignedDataOID, kSm2DataOID, kSm3OID,
                                              kSm2SignatureOID};
        return kOids;
    }
    // The serial's octets exactly as the certificate carries them, so that
    // verifiers match the two byte for byte.
    void WriteSerialNumber(der::DerWriter& w, der::Bytes serialLittleEndian) const override {
        std::vector<BYTE> serial(serialLittleEndian.rbegin(), serialLittleEndian.rend());
        w.Element(der::tag::kInteger, serial);
    }
    DWORD FileBase64Flags() const override { return BASE64_FLAG_NOCRLF; }
    bool TracesHashValue() const override { return true; }
    // The SM2 providers hash with SM3 whatever the page asked for.
    const WCHAR* PageHashName() const override { return nullptr; }
};

} // namespace

const KeyFamily& FamilyFor(KeyAlgorithm eAlgorithm) {
    static const RsaFamily kRsa;
    static const Sm2Family kSm2;
    return eAlgorithm == KeyAlgorithm::Sm2 ? static_cast<const KeyFamily&>(kSm2) : kRsa;
}

} // namespace orvane::keys
