#include "enrolment/CertificateMatch.h"

#include "der/Der.h"
#include "enrolment/PKCS10Request.h"
#include "foundation/Handles.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#define TRACE_MODULE "CertificateMatch"

namespace {

namespace der = orvane::der;

// An INTEGER's contents without the zero octets in front, so that two
// encodings of one number compare equal byte for byte.
der::Bytes Magnitude(der::Bytes contents) {
    while (contents.size() > 1 && contents[0] == 0)
        contents = contents.subspan(1);
    return contents;
}

bool SameBytes(der::Bytes a, der::Bytes b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// The modulus and exponent of an RSAPublicKey DER.
bool ReadRsaPublicKey(der::Bytes encoded, der::Bytes& modulus, der::Bytes& exponent) {
    der::DerReader outer(encoded);
    der::Bytes body;
    if (outer.Read(der::tag::kSequence, body) != 0 || !outer.AtEnd())
        return false;
    der::DerReader r(body);
    if (r.Read(der::tag::kInteger, modulus) != 0 || r.Read(der::tag::kInteger, exponent) != 0 ||
        !r.AtEnd())
        return false;
    modulus = Magnitude(modulus);
    exponent = Magnitude(exponent);
    return true;
}

// The certificate's public key bits (for RSA the RSAPublicKey DER, for SM2
// the point), copied out of a decoded context.
HRESULT CertificateKeyBits(const BYTE* pbCert, DWORD cbCert, std::vector<BYTE>& bits) {
    if (const HRESULT hResult = CheckWholeCertificate(pbCert, cbCert); FAILED(hResult))
        return hResult;
    UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING, pbCert, cbCert));
    if (!cert)
        return NTE_BAD_DATA;
    const CRYPT_BIT_BLOB& key = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    bits.assign(key.pbData, key.pbData + key.cbData);
    return VURO_OK;
}

HRESULT Mismatch(const WCHAR* op) {
    return TRACE_FAIL_W(op, TEXT("Compare public keys"), NTE_BAD_PUBLIC_KEY,
                        TEXT("the certificate's public key is not the container's key"));
}

// The RSA public key of dwKeySpec, as the key bits of its SubjectPublicKeyInfo.
HRESULT ExportRsaPublicKey(HCRYPTPROV hProv, DWORD dwKeySpec, std::vector<BYTE>& bits) {
    const WCHAR* const op = TEXT("CheckCertificateMatchesKey");
    DWORD cbInfo = 0;
    if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, nullptr, &cbInfo))
        return FAIL_LAST_ERROR_W(op, TEXT("CryptExportPublicKeyInfo(1)"), TEXT("FALSE"));
    // CERT_PUBLIC_KEY_INFO points into the same buffer: align it for it.
    std::unique_ptr<ULONGLONG[]> pBuffer(
        new (std::nothrow) ULONGLONG[(cbInfo + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG)]());
    if (!pBuffer)
        return TRACE_FAIL_W(op, TEXT("New buffer"), E_OUTOFMEMORY, TEXT("!pBuffer"));
    auto* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(pBuffer.get());
    if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, pInfo, &cbInfo))
        return FAIL_LAST_ERROR_W(op, TEXT("CryptExportPublicKeyInfo(2)"), TEXT("FALSE"));
    bits.assign(pInfo->PublicKey.pbData, pInfo->PublicKey.pbData + pInfo->PublicKey.cbData);
    return VURO_OK;
}

// The SM2 public key of hKey as the point 04 || X || Y (the exported blob
// holds X and Y least significant byte first).
HRESULT ExportSm2Point(HCRYPTKEY hKey, std::vector<BYTE>& point) {
    const WCHAR* const op = TEXT("CheckCertificateMatchesKey");
    DWORD cbBlob = 0;
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cbBlob))
        return FAIL_LAST_ERROR_W(op, TEXT("CryptExportKey(1)"), TEXT("FALSE"));
    std::vector<BYTE> blob(cbBlob);
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob))
        return FAIL_LAST_ERROR_W(op, TEXT("CryptExportKey(2)"), TEXT("FALSE"));
    if (cbBlob < kSM2PublicKeyBlobSize)
        return TRACE_FAIL_W(op, TEXT("Check blob size"), NTE_BAD_KEY, TEXT("cbBlob < 140"));
    const BYTE* pbX = blob.data() + kSM2BlobHeaderSize + 4;
    const BYTE* pbY = pbX + kSM2FieldSize;
    point.assign(1 + 2 * kSM2CoordinateSize, 0x04);
    std::reverse_copy(pbX, pbX + kSM2CoordinateSize, point.begin() + 1);
    std::reverse_copy(pbY, pbY + kSM2CoordinateSize, point.begin() + 1 + kSM2CoordinateSize);
    return VURO_OK;
}

} // namespace

HRESULT CheckWholeCertificate(const BYTE* pb, DWORD cb) {
    const WCHAR* const op = TEXT("CheckWholeCertificate");
    if (pb == nullptr || cb == 0 || pb[0] != der::tag::kSequence)
        return TRACE_FAIL_W(op, TEXT("Check tag"), CRYPT_E_ASN1_BADTAG, TEXT("not a SEQUENCE"));
    der::DerReader r(der::Bytes(pb, cb));
    der::Bytes contents;
    if (r.Read(der::tag::kSequence, contents) != 0 || !r.AtEnd())
        return TRACE_FAIL_W(op, TEXT("Check length"), NTE_BAD_DATA,
                            TEXT("the DER length disagrees with the decoded bytes"));
    UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING, pb, cb));
    if (!cert || cert->cbCertEncoded != cb)
        return TRACE_FAIL_W(op, TEXT("CertCreateCertificateContext"), NTE_BAD_DATA,
                            TEXT("not one whole certificate"));
    return VURO_OK;
}

HRESULT CheckCertificateMatchesKey(const BYTE* pbCert, DWORD cbCert, HCRYPTPROV hProv,
                                   HCRYPTKEY hKey, DWORD dwKeySpec, bool fRSA) {
    const WCHAR* const op = TEXT("CheckCertificateMatchesKey");
    std::vector<BYTE> certBits, keyBits;
    HRESULT hResult = CertificateKeyBits(pbCert, cbCert, certBits);
    if (FAILED(hResult))
        return hResult;
    hResult = fRSA ? ExportRsaPublicKey(hProv, dwKeySpec, keyBits) : ExportSm2Point(hKey, keyBits);
    if (FAILED(hResult))
        return hResult;
    if (fRSA) {
        der::Bytes n1, e1, n2, e2;
        if (!ReadRsaPublicKey(certBits, n1, e1) || !ReadRsaPublicKey(keyBits, n2, e2) ||
            !SameBytes(n1, n2) || !SameBytes(e1, e2))
            return Mismatch(op);
    } else if (!SameBytes(certBits, keyBits)) {
        return Mismatch(op);
    }
    TRACE_OK_W(op, TEXT("Compare public keys"));
    return VURO_OK;
}

HRESULT CheckCertificateMatchesRsaPrivateKey(const BYTE* pbCert, DWORD cbCert, const BYTE* pbPkcs1,
                                             DWORD cbPkcs1) {
    const WCHAR* const op = TEXT("CheckCertificateMatchesRsaPrivateKey");
    std::vector<BYTE> certBits;
    if (const HRESULT hResult = CertificateKeyBits(pbCert, cbCert, certBits); FAILED(hResult))
        return hResult;
    // RSAPrivateKey: SEQUENCE { version, modulus, publicExponent, ... }
    der::DerReader outer(der::Bytes(pbPkcs1, pbPkcs1 != nullptr ? cbPkcs1 : 0));
    der::Bytes body, version, modulus, exponent;
    if (outer.Read(der::tag::kSequence, body) != 0)
        return TRACE_FAIL_W(op, TEXT("Read private key"), NTE_BAD_DATA, TEXT("no SEQUENCE"));
    der::DerReader r(body);
    if (r.Read(der::tag::kInteger, version) != 0 || r.Read(der::tag::kInteger, modulus) != 0 ||
        r.Read(der::tag::kInteger, exponent) != 0)
        return TRACE_FAIL_W(op, TEXT("Read private key"), NTE_BAD_DATA, TEXT("no RSAPrivateKey"));
    der::Bytes certModulus, certExponent;
    if (!ReadRsaPublicKey(certBits, certModulus, certExponent) ||
        !SameBytes(certModulus, Magnitude(modulus)) ||
        !SameBytes(certExponent, Magnitude(exponent)))
        return Mismatch(op);
    TRACE_OK_W(op, TEXT("Compare public keys"));
    return VURO_OK;
}
