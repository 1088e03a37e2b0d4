#include "enrolment/EncryptCertImport.h"

#include "certificates/SystemStore.h"
#include "enrolment/CertificateImport.h"
#include "enrolment/CertificateMatch.h"
#include "enrolment/EncryptCertEnvelope.h"
#include "enrolment/ImportHelpers.h"
#include "enrolment/SoftKeyDecrypt.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#define TRACE_MODULE "ImportEncryptCert"

namespace {

// A triple-DES key some providers hand back padded to 32 bytes.
constexpr DWORD kPaddedSessionKeyBytes = 32;
constexpr DWORD kTripleDesKeyBytes = 24;

void PutLe32(BYTE* pb, DWORD dwValue) {
    pb[0] = BYTE(dwValue);
    pb[1] = BYTE(dwValue >> 8);
    pb[2] = BYTE(dwValue >> 16);
    pb[3] = BYTE(dwValue >> 24);
}

// BLOBHEADER { PRIVATEKEYBLOB, version 2, reserved 1, aiKeyAlg } and the
// algorithm again, as the tokens' enveloped imports expect.
void PutEnvelopedHeader(BYTE* pb, ALG_ID alg) {
    pb[0] = PRIVATEKEYBLOB;
    pb[1] = CUR_BLOB_VERSION;
    pb[2] = 1;
    pb[3] = 0;
    PutLe32(pb + 4, alg);
    PutLe32(pb + 8, alg);
}

void PutAddress(BYTE* pb, const BYTE* pbData) {
    std::memcpy(pb, &pbData, sizeof pbData);
}

// The texts an import needs, and its key algorithm, are all given.
bool AnyMissing(const WString& a, const WString& b, const WString& c, const WString& d,
                KeyAlgorithm eKeyAlgorithm) {
    return a.empty() || b.empty() || c.empty() || d.empty() || eKeyAlgorithm == KeyAlgorithm::Unset;
}

// The reasons traced when one of the five texts is empty.
#define INVALID_TEXTS_REASON(cert)                                                                 \
    TEXT("(wstrEncryptedPrivateKeyData == L\"\" || " cert " == L\"\" || wstrCSPName == L\"\" || ") \
    TEXT("wstrContainerName == L\"\" || wstrKeyAlgorithm == L\"\")")

} // namespace

HRESULT BuildEnvelopedRSABlob(DWORD dwKeyBits, const BYTE* pbData, DWORD cbData,
                              BYTE (&rgbBlob)[ENVELOPED_RSA_BLOB_BYTES]) {
    if (cbData > 0xFFFFFFFFu / 8)
        return VURO_E_ENVELOPE_FORMAT;
    PutEnvelopedHeader(rgbBlob, CALG_RSA_KEYX);
    PutLe32(rgbBlob + 12, dwKeyBits);
    PutLe32(rgbBlob + 16, cbData * 8);
    PutAddress(rgbBlob + 20, pbData);
    return VURO_OK;
}

HRESULT BuildEnvelopedSM2Blob(const BYTE* pbData, DWORD cbData,
                              BYTE (&rgbBlob)[ENVELOPED_SM2_BLOB_BYTES]) {
    if (cbData > 0xFFFFFFFFu / 8)
        return VURO_E_ENVELOPE_FORMAT;
    PutEnvelopedHeader(rgbBlob, kAlgSM2KeyExchange);
    PutLe32(rgbBlob + 12, cbData * 8);
    PutAddress(rgbBlob + 16, pbData);
    return VURO_OK;
}

namespace {

// Reorder: C1 first, then the two other parts of cbCipher bytes in the other
// order (C3 of kC3Bytes and C2, or C2 and C3). The block keeps one zero byte
// past the last, for readers that expect a terminator.
HRESULT Reorder(const WCHAR* op, const BYTE* pbCipher, DWORD cbCipher, bool fC3First,
                std::vector<BYTE>& reordered) {
    if (pbCipher == nullptr || cbCipher < SM2_C1_BYTES + SM2_C3_BYTES)
        return E_INVALIDARG;
    try {
        std::vector<BYTE> out(size_t(cbCipher) + 1, 0);
        const DWORD cbC2 = cbCipher - SM2_C1_BYTES - SM2_C3_BYTES;
        const BYTE* pbC3 = fC3First ? pbCipher + SM2_C1_BYTES : pbCipher + cbCipher - SM2_C3_BYTES;
        const BYTE* pbC2 =
            fC3First ? pbCipher + SM2_C1_BYTES + SM2_C3_BYTES : pbCipher + SM2_C1_BYTES;
        BYTE* pbOut = out.data();
        std::memcpy(pbOut, pbCipher, SM2_C1_BYTES);
        if (fC3First) {
            std::memcpy(pbOut + SM2_C1_BYTES, pbC2, cbC2);
            std::memcpy(pbOut + SM2_C1_BYTES + cbC2, pbC3, SM2_C3_BYTES);
        } else {
            std::memcpy(pbOut + SM2_C1_BYTES, pbC3, SM2_C3_BYTES);
            std::memcpy(pbOut + SM2_C1_BYTES + SM2_C3_BYTES, pbC2, cbC2);
        }
        out.pop_back();
        reordered = std::move(out);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL_W(op, TEXT("New buffer"), E_OUTOFMEMORY, TEXT("std::bad_alloc"));
    }
    return VURO_OK;
}

} // namespace

HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbCipher, DWORD cbCipher, std::vector<BYTE>& reordered) {
    return Reorder(TEXT("ConvertC1C3C2ToC1C2C3"), pbCipher, cbCipher, true, reordered);
}

HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbCipher, DWORD cbCipher, std::vector<BYTE>& reordered) {
    return Reorder(TEXT("ConvertC1C2C3ToC1C3C2"), pbCipher, cbCipher, false, reordered);
}

HRESULT DecryptSessionKeywithTempKey(const WString& wstrCSPName, const WString& wstrContainer,
                                     KeyAlgorithm eKeyAlgorithm, BYTE* pbEncryptedSessionKey,
                                     DWORD cbEncryptedSessionKey, UniqueProvider& provider,
                                     SecretBytes& sessionKeyOut) {
    TraceHelper trace(TEXT("DecryptSessionKeywithTempKey"));
    const WCHAR* const op = TEXT("DecryptSessionKeywithTempKey");
    if (pbEncryptedSessionKey == nullptr)
        return E_POINTER;
    TraceValueW("KeyAlgorithm", KeyAlgorithmName(eKeyAlgorithm));
    UniqueProvider hProv;
    if (!CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), wstrCSPName.c_str(),
                              ProviderTypeForEnvelopeImport(wstrCSPName), 0)) {
        return FAIL_LAST_ERROR_W(op, TEXT("RSA CryptAcquireContext"), TEXT("1"));
    }
    TRACE_OK_W(op, TEXT("RSA CryptAcquireContext"));

    // The envelope carries the ciphertext most significant byte first; the
    // CSP reads it the other way round.
    SwapByteOrder(pbEncryptedSessionKey, cbEncryptedSessionKey);

    UniqueKey hKey;
    if (!CryptGetUserKey(hProv.get(), AT_KEYEXCHANGE, hKey.put())) {
        return FAIL_LAST_ERROR_W(op, TEXT("CryptGetUserKey"), TEXT("1"));
    }
    SecretBytes sessionKey;
    try {
        // At least one byte, so that even an empty key has a buffer to decrypt in.
        SecretBytes buffer(pbEncryptedSessionKey, pbEncryptedSessionKey + cbEncryptedSessionKey);
        if (buffer.empty())
            buffer.push_back(0);
        DWORD cbPlain = cbEncryptedSessionKey;
        if (!CryptDecrypt(hKey.get(), 0, TRUE, 0, buffer.data(), &cbPlain)) {
            return FAIL_LAST_ERROR_W(op, TEXT("CryptDecrypt"), TEXT("1"));
        }
        TRACE_OK_W(op, TEXT("CryptDecrypt"));
        const DWORD cbKey =
            std::min<DWORD>(cbPlain == kPaddedSessionKeyBytes ? kTripleDesKeyBytes : cbPlain,
                            cbEncryptedSessionKey);
        // A provider may leave key bytes behind the plaintext in the buffer:
        // the key gets a block of its own, and the buffer is wiped as it goes.
        sessionKey.assign(buffer.begin(), buffer.begin() + cbKey);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL_W(op, TEXT("new memory"), E_OUTOFMEMORY, TEXT("std::bad_alloc"));
    }
    TraceValueNumber("Session key length", long(sessionKey.size()));
    sessionKeyOut = std::move(sessionKey);
    provider = std::move(hProv);
    return VURO_OK;
}

HRESULT ImportEncryptCert_RSA(const WString& wstrContainer, const BYTE* pbCert, DWORD cbCert,
                              const WString& wstrCSPName, HCRYPTPROV hProv, int nKeyLength,
                              const BYTE* pbPkcs1PrivateKey, DWORD cbPkcs1PrivateKey,
                              DWORD dwFlags) {
    TraceHelper trace(TEXT("ImportEncryptCert_RSA"));
    const WCHAR* const op = TEXT("ImportEncryptCert_RSA");
    // The key replaces the temporary key: a certificate of another key is
    // refused while the temporary key is still there for the right one.
    if (const HRESULT hResult = CheckCertificateMatchesRsaPrivateKey(
            pbCert, cbCert, pbPkcs1PrivateKey, cbPkcs1PrivateKey);
        FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("CheckCertificateMatchesRsaPrivateKey"), hResult,
                       TEXT("FAILED(hResult)"));
        return hResult;
    }
    SecretBytes blob;
    if (const HRESULT hResult = getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(
            pbPkcs1PrivateKey, cbPkcs1PrivateKey, DWORD(nKeyLength), blob);
        TRACE_IF_W(FAILED(hResult), op, TEXT("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA"), hResult))
        return hResult;
    UniqueKey hKey;
    const bool fMicrosoft = IsMicrosoftCSP(wstrCSPName);
    if (!CryptImportKey(hProv, blob.data(), DWORD(blob.size()), 0, dwFlags, hKey.put())) {
        return FAIL_LAST_ERROR_W(op,
                                 fMicrosoft ? TEXT("Microsoft CSP: CryptImportKey")
                                            : TEXT("non-Microsoft's CSP: CryptImportKey"),
                                 TEXT("FALSE == bResult"));
    }
    blob = SecretBytes(); // the plain key is no longer needed
    TRACE_OK_W(op, TEXT("CryptImportKey"));

    if (!fMicrosoft) {
        if (!CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, pbCert, 0)) {
            return FAIL_LAST_ERROR_W(op, TEXT("non-Microsoft's CSP: CryptSetKeyParam"),
                                     TEXT("FALSE == bResult"));
        }
        TRACE_OK_W(op, TEXT("non-Microsoft's CSP: CryptSetKeyParam"));
        return VURO_OK;
    }
    const HRESULT hResult = AddCertificateToSystemStore(wstrCSPName, hProv, pbCert, cbCert,
                                                        AT_KEYEXCHANGE, wstrContainer);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("AddCertificateToSystemStore"), hResult, TEXT("FAILED(hResult)"));
        return hResult;
    }
    TRACE_OK_W(op, TEXT("AddCertificateToSystemStore"));
    return VURO_OK;
}

// ParseIssuerAnswer: the issuer's two texts as bytes: the encryption
// certificate, and the envelope's session key and private key in the old or
// the new format. Each failure is traced under op and returned.
static HRESULT ParseIssuerAnswer(const WCHAR* op, bool bNewFormat, WString& wstrCert,
                                 WString& wstrEncryptedPrivateKey, std::vector<BYTE>& certificate,
                                 std::vector<BYTE>& encryptedSessionKey,
                                 std::vector<BYTE>& encryptedPrivateKey, ALG_ID* palgSession) {
    HRESULT hResult = ParseEncryptCertPublicKeyCert(wstrCert, certificate);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("ParseEncryptCertPublicKeyCert"), hResult))
        return hResult;
    hResult = CheckWholeCertificate(certificate.data(), DWORD(certificate.size()));
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("CheckWholeCertificate"), hResult))
        return hResult;

    hResult = (bNewFormat ? ParseEncryptCertPrivateKeyDataEx : ParseEncryptCertPrivateKeyData)(
        wstrEncryptedPrivateKey, encryptedSessionKey, palgSession, encryptedPrivateKey);
    const WCHAR* const pwszStep = bNewFormat ? TEXT("ParseEncryptCertPrivateKeyDataEx")
                                             : TEXT("ParseEncryptCertPrivateKeyData");
    if (TRACE_IF_W(FAILED(hResult), op, pwszStep, hResult))
        return hResult;
    TRACE_OK_W(op, pwszStep);
    return VURO_OK;
}

HRESULT ImportEncryptCert(const WString& wstrCSPName, const WString& wstrContainer,
                          WString& wstrEncryptedPrivateKey, WString& wstrCert,
                          KeyAlgorithm eKeyAlgorithm, int nKeyLength, DWORD dwFlags) {
    TraceHelper trace(TEXT("ImportEncryptCert"));
    const WCHAR* const op = TEXT("ImportEncryptCert");
    std::vector<BYTE> certificate, encryptedSessionKey, encryptedPrivateKey;
    ALG_ID algSession = 0;
    HRESULT hResult = ParseIssuerAnswer(op, false, wstrCert, wstrEncryptedPrivateKey, certificate,
                                        encryptedSessionKey, encryptedPrivateKey, &algSession);
    if (FAILED(hResult))
        return hResult;

    UniqueProvider hProv;
    SecretBytes sessionKey;
    hResult = DecryptSessionKeywithTempKey(wstrCSPName, wstrContainer, eKeyAlgorithm,
                                           encryptedSessionKey.data(),
                                           DWORD(encryptedSessionKey.size()), hProv, sessionKey);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("DecryptSessionKeywithTempKey"), hResult))
        return hResult;
    TRACE_OK_W(op, TEXT("DecryptSessionKeywithTempKey"));

    SecretBytes privateKey;
    hResult = DecryptPrivateKeywithSessionKey(algSession, sessionKey.data(),
                                              DWORD(sessionKey.size()), encryptedPrivateKey.data(),
                                              DWORD(encryptedPrivateKey.size()), privateKey);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("DecryptPrivateKeywithSessionKey"), hResult))
        return hResult;
    sessionKey = SecretBytes();
    TRACE_OK_W(op, TEXT("DecryptPrivateKeywithSessionKey"));

    hResult = ImportEncryptCert_RSA(wstrContainer, certificate.data(), DWORD(certificate.size()),
                                    wstrCSPName, hProv.get(), nKeyLength, privateKey.data(),
                                    DWORD(privateKey.size()), dwFlags);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("ImportEncryptCert_RSA"), hResult, TEXT("FAILED(hResult)"));
        return hResult;
    }
    TRACE_OK_W(op, TEXT("ImportEncryptCert_RSA"));
    return VURO_OK;
}

HRESULT GetCSPHandleofTempPublickey(const WString& wstrCSPName, const WString& wstrContainer,
                                    KeyAlgorithm eKeyAlgorithm, UniqueProvider& provider) {
    TraceHelper trace(TEXT("GetCSPHandleofTempPublickey"));
    const WCHAR* const op = TEXT("GetCSPHandleofTempPublickey");
    const bool fRSA = eKeyAlgorithm == KeyAlgorithm::Rsa;
    UniqueProvider hProv;
    if (!CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), wstrCSPName.c_str(),
                              PROV_RSA_FULL, fRSA ? 0 : kSM2AccessFlags)) {
        return FAIL_LAST_ERROR_W(
            op, fRSA ? TEXT("RSA CryptAcquireContext") : TEXT("SM2 CryptAcquireContext"),
            TEXT("1"));
    }
    provider = std::move(hProv);
    return VURO_OK;
}

HRESULT ImportEncryptCertEx_RSA(const BYTE* pbCert, DWORD cbCert, const BYTE* pbEncryptedPrivateKey,
                                DWORD cbEncryptedPrivateKey, const BYTE* pbEncryptedSessionKey,
                                DWORD cbEncryptedSessionKey, const WString& wstrCSPName,
                                HCRYPTPROV hProv, int nKeyLength, DWORD dwFlags) {
    TraceHelper trace(TEXT("ImportEncryptCertEx_RSA"));
    const WCHAR* const op = TEXT("ImportEncryptCertEx_RSA");
    TraceValueW("CSPName", wstrCSPName.c_str());
    if (hProv == 0) {
        TRACE_FAILED_W(op, TEXT("Invalid parameter."), E_INVALIDARG, TEXT("hCryptProv == NULL"));
        return E_INVALIDARG;
    }
    std::vector<BYTE> evp;
    HRESULT hResult = ComposeRSAEVPPrivateKey(pbEncryptedPrivateKey, cbEncryptedPrivateKey,
                                              pbEncryptedSessionKey, cbEncryptedSessionKey, evp);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("ComposeRSAEVPPrivateKey"), hResult))
        return hResult;
    BYTE rgbBlob[ENVELOPED_RSA_BLOB_BYTES] = {};
    hResult = BuildEnvelopedRSABlob(DWORD(nKeyLength), evp.data(), DWORD(evp.size()), rgbBlob);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("New buffer"), hResult, TEXT("cbEVP > 0x1FFFFFFF"));
        return hResult;
    }
    UniqueKey hKey;
    if (!CryptImportKey(hProv, rgbBlob, sizeof rgbBlob, 0, dwFlags, hKey.put())) {
        return FAIL_LAST_ERROR_W(
            op, TEXT("ImportEncryptCertEx_RSA non-microsoft's CSP: CryptImportKey"), TEXT("1"));
    }
    // The token opened the envelope itself: its key is known only now.
    if (const HRESULT hCheck =
            CheckCertificateMatchesKey(pbCert, cbCert, hProv, hKey.get(), AT_KEYEXCHANGE, true);
        FAILED(hCheck)) {
        TRACE_FAILED_W(op, TEXT("CheckCertificateMatchesKey"), hCheck, TEXT("FAILED(hResult)"));
        return hCheck;
    }
    if (!CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, pbCert, 0)) {
        return FAIL_LAST_ERROR_W(
            op, TEXT("ImportEncryptCertEx_RSA non-microsoft's CSP: CryptSetKeyParam"), TEXT("1"));
    }
    TRACE_OK_W(op, TEXT("CryptSetKeyParam"));
    return VURO_OK;
}

HRESULT ImportEncryptCertEx_SM2(const BYTE* pbCert, DWORD cbCert, const BYTE* pbCipher,
                                DWORD cbCipher, HCRYPTPROV hProv, DWORD dwFlags) {
    TraceHelper trace(TEXT("ImportEncryptCertEx_SM2"));
    const WCHAR* const op = TEXT("ImportEncryptCertEx_SM2");
    BYTE rgbBlob[ENVELOPED_SM2_BLOB_BYTES] = {};
    HRESULT hResult = BuildEnvelopedSM2Blob(pbCipher, cbCipher, rgbBlob);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("New buffer"), hResult, TEXT("cbCipher > 0x1FFFFFFF"));
        return hResult;
    }
    UniqueKey hKey;
    if (!CryptImportKey(hProv, rgbBlob, sizeof rgbBlob, 0, dwFlags, hKey.put())) {
        return FAIL_LAST_ERROR_W(op, TEXT("CryptImportKey"), TEXT("!bResult"));
    }
    // The token opened the envelope itself: its key is known only now.
    if (const HRESULT hCheck =
            CheckCertificateMatchesKey(pbCert, cbCert, hProv, hKey.get(), AT_KEYEXCHANGE, false);
        FAILED(hCheck)) {
        TRACE_FAILED_W(op, TEXT("CheckCertificateMatchesKey"), hCheck, TEXT("FAILED(hResult)"));
        return hCheck;
    }
    if (!CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, pbCert, 0)) {
        return FAIL_LAST_ERROR_W(op, TEXT("CryptSetKeyParam"), TEXT("!bResult"));
    }
    TRACE_OK_W(op, TEXT("CryptSetKeyParam"));
    return VURO_OK;
}

HRESULT ImportEncryptCertEx_SM2WithRetry(const BYTE* pbCert, DWORD cbCert, const BYTE* pbCipher,
                                         DWORD cbCipher, HCRYPTPROV hProv, DWORD dwFlags) {
    const WCHAR* const op = TEXT("ImportEncryptCertByEncryptedFormat");
    TraceValueNumber("Check dwNeedRetry", 1);
    HRESULT hResult = ImportEncryptCertEx_SM2(pbCert, cbCert, pbCipher, cbCipher, hProv, dwFlags);
    if (SUCCEEDED(hResult))
        return VURO_OK;
    if (hResult == NTE_BAD_PUBLIC_KEY) {
        // The envelope opened: another order cannot make the certificate fit.
        TRACE_FAILED_W(op, TEXT("ImportEncryptCertEx_SM2"), hResult, TEXT("NTE_BAD_PUBLIC_KEY"));
        return hResult;
    }
    if (cbCipher < SM2_C1_BYTES + SM2_C3_BYTES) {
        // Too short to hold C1 and C3: there is no other order to try.
        TRACE_FAILED_W(op, TEXT("ImportEncryptCertEx_SM2"), hResult, TEXT("cbCipher < 96"));
        return hResult;
    }
    std::vector<BYTE> reordered;
    hResult = ConvertC1C3C2ToC1C2C3(pbCipher, cbCipher, reordered);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("ConvertC1C3C2ToC1C2C3"), hResult))
        return hResult;
    hResult = ImportEncryptCertEx_SM2(pbCert, cbCert, reordered.data(), cbCipher, hProv, dwFlags);
    if (SUCCEEDED(hResult) || hResult == NTE_BAD_PUBLIC_KEY)
        return hResult;
    hResult = ConvertC1C2C3ToC1C3C2(pbCipher, cbCipher, reordered);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("ConvertC1C2C3ToC1C3C2"), hResult))
        return hResult;
    hResult = ImportEncryptCertEx_SM2(pbCert, cbCert, reordered.data(), cbCipher, hProv, dwFlags);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("ImportEncryptCertEx_SM2"), hResult))
        return hResult;
    return VURO_OK;
}

HRESULT ImportEncryptCertByEncryptedFormat(WString& wstrCert, const WString& wstrCSPName,
                                           WString& wstrEncryptedPrivateKey,
                                           const WString& wstrContainer, KeyAlgorithm eKeyAlgorithm,
                                           int nKeyLength, DWORD dwFlags) {
    TraceHelper trace(TEXT("ImportEncryptCertByEncryptedFormat"));
    const WCHAR* const op = TEXT("ImportEncryptCertByEncryptedFormat");
    if (AnyMissing(wstrEncryptedPrivateKey, wstrCert, wstrCSPName, wstrContainer, eKeyAlgorithm)) {
        TRACE_FAILED_W(op, TEXT("Invalid parameter."), E_INVALIDARG,
                       INVALID_TEXTS_REASON("wstrEncryptPublicCert"));
        return E_INVALIDARG;
    }
    std::vector<BYTE> certificate, encryptedSessionKey, encryptedPrivateKey;
    ALG_ID algSession = 0;
    HRESULT hResult = ParseIssuerAnswer(op, true, wstrCert, wstrEncryptedPrivateKey, certificate,
                                        encryptedSessionKey, encryptedPrivateKey, &algSession);
    if (FAILED(hResult))
        return hResult;

    UniqueProvider hProv;
    hResult = GetCSPHandleofTempPublickey(wstrCSPName, wstrContainer, eKeyAlgorithm, hProv);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("GetCSPHandleofTempPublickey"), hResult, TEXT("FAILED(hResult)"));
        return hResult;
    }
    if (eKeyAlgorithm == KeyAlgorithm::Rsa) {
        hResult = ImportEncryptCertEx_RSA(
            certificate.data(), DWORD(certificate.size()), encryptedPrivateKey.data(),
            DWORD(encryptedPrivateKey.size()), encryptedSessionKey.data(),
            DWORD(encryptedSessionKey.size()), wstrCSPName, hProv.get(), nKeyLength, dwFlags);
        if (FAILED(hResult)) {
            TRACE_FAILED_W(op, TEXT("ImportEncryptCertEx_RSA"), hResult, TEXT("FAILED(hResult)"));
            return hResult;
        }
        return VURO_OK;
    }
    hResult = ImportEncryptCertEx_SM2WithRetry(
        certificate.data(), DWORD(certificate.size()), encryptedPrivateKey.data(),
        DWORD(encryptedPrivateKey.size()), hProv.get(), dwFlags);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("ImportEncryptCertEx_SM2"), hResult, TEXT("FAILED(hResult)"));
        return hResult;
    }
    return VURO_OK;
}

HRESULT ImportEncryptCertEx(const WString& wstrCSPName, const WString& wstrContainer,
                            KeyAlgorithm eKeyAlgorithm, WString& wstrEncryptedPrivateKey,
                            WString& wstrCert, int nKeyLength, DWORD dwFlags) {
    TraceHelper trace(TEXT("ImportEncryptCertEx"));
    const WCHAR* const op = TEXT("ImportEncryptCertEx");
    TraceValueW("CSPName", wstrCSPName.c_str());
    TraceValueW("Container", wstrContainer.c_str());
    TraceValueW("KeyAlgorithm", KeyAlgorithmName(eKeyAlgorithm));
    TraceValueNumber("KeyLength", long(nKeyLength));
    if (AnyMissing(wstrEncryptedPrivateKey, wstrCert, wstrCSPName, wstrContainer, eKeyAlgorithm)) {
        TRACE_FAILED_W(op, TEXT("Invalid parameter."), E_INVALIDARG,
                       INVALID_TEXTS_REASON("wstrEncryptePublicCert"));
        return E_INVALIDARG;
    }
    // The old format serves the software providers, and 1024-bit RSA keys in
    // every provider; SM2 and the longer RSA keys of tokens take the new one.
    if (eKeyAlgorithm == KeyAlgorithm::Rsa && (IsMicrosoftCSP(wstrCSPName) || nKeyLength == 1024)) {
        const HRESULT hResult =
            ImportEncryptCert(wstrCSPName, wstrContainer, wstrEncryptedPrivateKey, wstrCert,
                              eKeyAlgorithm, nKeyLength, dwFlags);
        if (FAILED(hResult)) {
            TRACE_FAILED_W(op, TEXT("ImportEncryptCertEx-ImportEncryptCert"), hResult,
                           TEXT("FAILED(hResult)"));
            return hResult;
        }
        return VURO_OK;
    }
    const HRESULT hResult =
        ImportEncryptCertByEncryptedFormat(wstrCert, wstrCSPName, wstrEncryptedPrivateKey,
                                           wstrContainer, eKeyAlgorithm, nKeyLength, dwFlags);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("ImportEncryptCertByEncryptedFormat"), hResult,
                       TEXT("FAILED(hResult)"));
        return hResult;
    }
    return VURO_OK;
}
