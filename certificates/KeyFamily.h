// What differs between the key algorithms the system signs with, in one
// place: the key pairs a provider generates and how their public halves are
// exported, how a request carries that key, the hash and the signature value,
// and the object identifiers of a signed message. Everything else (the
// request's layout, the signed message, the providers) is one path for all
// of them. A new algorithm is one more implementation of KeyFamily and one
// more KeyAlgorithm value.
#pragma once
#include "certificates/Signatures.h"
#include "der/Der.h"
#include "foundation/Types.h"
#include "certificates/VendorCsp.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

// The object identifiers the families use.
inline constexpr char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";
inline constexpr char kOidSha1WithRsa[] = "1.2.840.113549.1.1.5";
inline constexpr char kOidEcPublicKey[] = "1.2.840.10045.2.1";
inline constexpr char kOidSM2Curve[] = "1.2.156.10197.1.301";
inline constexpr char kOidSM2WithSM3[] = "1.2.156.10197.1.501";
inline constexpr char kRsaPkcs7DigestOID[] = "1.3.14.3.2.26";            // SHA-1
inline constexpr char kRsaPkcs7EncryptionOID[] = "1.2.840.113549.1.1.1"; // rsaEncryption
inline constexpr char kPkcs7DataOID[] = "1.2.840.113549.1.7.1";
inline constexpr char kPkcs7SignedDataOID[] = "1.2.840.113549.1.7.2";
inline constexpr char kSm3OID[] = "1.2.156.10197.1.401";
inline constexpr char kSm2SignatureOID[] = "1.2.156.10197.1.301.1";
inline constexpr char kSm2DataOID[] = "1.2.156.10197.6.1.4.2.1";
inline constexpr char kSm2SignedDataOID[] = "1.2.156.10197.6.1.4.2.2";

// The exported SM2 public-key blob: an 8-byte BLOBHEADER, a 4-byte bit length,
// then two 64-byte fields whose first 32 bytes are X and Y, least significant
// byte first.
inline constexpr DWORD kSM2BlobHeaderSize = 8;
inline constexpr DWORD kSM2FieldSize = 64;
inline constexpr DWORD kSM2CoordinateSize = 32;
inline constexpr DWORD kSM2PublicKeyBlobSize = kSM2BlobHeaderSize + 4 + 2 * kSM2FieldSize;
// The temporary SM2 key as it travels in the request: LE32 0xB400, LE32 256,
// then the two 64-byte fields with X and Y turned big-endian.
inline constexpr DWORD kSM2TemporaryKeySize = 4 + 4 + 2 * kSM2FieldSize;

namespace orvane::keys {

// SignedDataOids: the object identifiers of a signed message.
struct SignedDataOids {
    const char* pszSignedData;   // the outer content type
    const char* pszData;         // the inner content type
    const char* pszDigest;       // digestAlgorithm { OID, NULL }
    const char* pszDigestCipher; // digestEncryptionAlgorithm { OID, NULL }
};

// RequestOids: the object identifiers of a certification request.
struct RequestOids {
    const char* pszPublicKey; // SubjectPublicKeyInfo's algorithm
    const char* pszCurve;     // its parameters: "" for NULL, else a named curve
    const char* pszSignature; // signatureAlgorithm { OID, NULL }
};

class KeyFamily {
public:
    virtual ~KeyFamily() = default;

    virtual KeyAlgorithm Algorithm() const = 0;

    // ---- key pairs in a provider
    // KeyPairAlgorithm: what CryptGenKey is given for a pair of dwKeySpec
    // (AT_KEYEXCHANGE or AT_SIGNATURE).
    virtual ALG_ID KeyPairAlgorithm(DWORD dwKeySpec) const = 0;
    // TemporaryKeyBits: the length of a double certificate's temporary pair.
    virtual DWORD TemporaryKeyBits() const = 0;
    // DeleteContainerFlags: CryptAcquireContext's flags that delete a
    // container this family's provider holds.
    virtual DWORD DeleteContainerFlags() const = 0;
    // ExportPublicKey: the public half of the pair hKey (of dwKeySpec in
    // hProv) as the provider gives it; `key` is set only on success.
    [[nodiscard]] virtual HRESULT ExportPublicKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwKeySpec,
                                                  std::vector<BYTE>& key,
                                                  signatures::FailedStep& failed) const = 0;

    // ---- the certification request
    virtual const RequestOids& Request() const = 0;
    // RequestPublicKey / RequestTemporaryKey: an exported public key as the
    // request's SubjectPublicKeyInfo and its temporary-key attribute carry
    // it; NTE_BAD_KEY for an export too short to hold one.
    [[nodiscard]] virtual HRESULT RequestPublicKey(der::Bytes exported,
                                                   std::vector<BYTE>& key) const = 0;
    [[nodiscard]] virtual HRESULT RequestTemporaryKey(der::Bytes exported,
                                                      std::vector<BYTE>& key) const = 0;

    // ---- hashing and the signature value
    virtual ALG_ID HashAlgorithm() const = 0;
    virtual signatures::SignatureLayout Layout() const = 0;
    // RawSignatureSize: the only size a provider's signature may have, 0 when
    // any size will do.
    virtual DWORD RawSignatureSize() const = 0;
    // WriteSignatureValue: the signature (most significant byte first, as
    // SignProviderHash hands it out) in the form a request's BIT STRING and a
    // SignerInfo's encryptedDigest hold it. `w` fails with the result.
    [[nodiscard]] virtual HRESULT WriteSignatureValue(der::DerWriter& w,
                                                      der::Bytes signature) const = 0;

    // ---- the signed message
    virtual const SignedDataOids& SignedData() const = 0;
    // WriteSerialNumber: issuerAndSerialNumber's INTEGER from the serial as
    // CERT_INFO keeps it (least significant byte first).
    virtual void WriteSerialNumber(der::DerWriter& w, der::Bytes serialLittleEndian) const = 0;
    // FileBase64Flags: Base64EncodeEx's flags for a file's signature (text
    // signatures are one line in every family).
    virtual DWORD FileBase64Flags() const = 0;
    // TracesHashValue: whether a text's hash value is traced before signing.
    virtual bool TracesHashValue() const = 0;
    // PageHashName: the hash algorithm a page must name to sign with this
    // family (compared ignoring case), or null when the family's providers
    // hash with their own whatever the page names.
    virtual const WCHAR* PageHashName() const = 0;
};

// FamilyFor: the family of eAlgorithm; RSA for Unset (a page that names no
// algorithm asks for RSA).
const KeyFamily& FamilyFor(KeyAlgorithm eAlgorithm);

} // namespace orvane::keys
