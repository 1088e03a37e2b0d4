#include "enrolment/EncryptCertEnvelope.h"

#include "der/Der.h"
#include "enrolment/CertificateImport.h"
#include "enrolment/ImportHelpers.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <climits>
#include <vector>

#define TRACE_MODULE "ImportEncryptCert"

namespace {

constexpr size_t kSessionKeyFieldPosition = 48;
constexpr const char* kOidRsaEncryption = "1.2.840.113549.1.1.1";
// The symmetric algorithm the vendor RSA tokens name for the session key.
constexpr const char* kOidTokenSessionCipher = "1.3.6.1.4.1.4929.1.7";

bool IsBlank(WCHAR c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// The header check and field reading both formats share; fNewFormat allows
// session key type 0 and skips decoding the session key then.
HRESULT ReadEnvelopeKeyObjects(const WCHAR* op, const WString& wstrEncryptedData, bool fNewFormat,
                               ALG_ID* pSessionAlg, std::vector<BYTE>& sessionKeyObj,
                               std::vector<BYTE>& privateKeyObj) {
    // The three header numbers, each read and checked in turn; a text that
    // ends before a number starts is malformed.
    int rgnHeader[3] = {};
    auto read = [&](int i) {
        if (SUCCEEDED(ReadEnvelopeNumber(wstrEncryptedData, size_t(i) * ENVELOPE_NUMBER_CHARS,
                                         &rgnHeader[i])))
            return true;
        TRACE_FAILED_W(op, TEXT("Check encrypted data size."), VURO_E_ENVELOPE_FORMAT,
                       TEXT("nPosition >= nTextLen"));
        return false;
    };
    if (!read(0))
        return VURO_E_ENVELOPE_FORMAT;
    if (rgnHeader[0] < 0 || rgnHeader[0] > 2) {
        TRACE_FAILED_W(op, TEXT("Invalid device type of generating encrypt cert key."),
                       VURO_E_ENVELOPE_DEVICE_TYPE, TEXT("TRUE"));
        return VURO_E_ENVELOPE_DEVICE_TYPE;
    }
    if (!read(1))
        return VURO_E_ENVELOPE_FORMAT;
    if (rgnHeader[1] < 1 || rgnHeader[1] > 2) {
        TRACE_FAILED_W(op, TEXT("Invalid encrypt type used for encrypting private key."),
                       VURO_E_ENVELOPE_ENCRYPT_TYPE, TEXT("TRUE"));
        return VURO_E_ENVELOPE_ENCRYPT_TYPE;
    }
    if (!read(2))
        return VURO_E_ENVELOPE_FORMAT;
    const int nValue = rgnHeader[2];
    ALG_ID algSession = 0;
    if (!(nValue == ENVELOPE_SESSION_KEY_3DES || (fNewFormat && nValue == 0))) {
        TRACE_FAILED_W(op, TEXT("Invalid session key type used for encrypting private key."),
                       VURO_E_ENVELOPE_SESSION_KEY_TYPE, TEXT("TRUE"));
        return VURO_E_ENVELOPE_SESSION_KEY_TYPE;
    }
    if (nValue == ENVELOPE_SESSION_KEY_3DES)
        algSession = CALG_3DES;
    TRACE_OK_W(op, TEXT("Check envelope header"));

    size_t nPosition = kSessionKeyFieldPosition;
    WString wstrSessionKey, wstrPrivateKey;
    HRESULT hResult = GetBase64KeyFromEncryptedData(wstrEncryptedData, &wstrSessionKey, &nPosition);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("get session key encoded with base64"), hResult))
        return hResult;
    hResult = GetBase64KeyFromEncryptedData(wstrEncryptedData, &wstrPrivateKey, &nPosition);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("get private key encoded with base64"), hResult))
        return hResult;
    TRACE_OK_W(op, TEXT("GetBase64KeyFromEncryptedData"));

    std::vector<BYTE> sessionKey, privateKey;
    if (algSession == CALG_3DES) {
        hResult = DecodeBase64Key(wstrSessionKey, sessionKey);
        if (TRACE_IF_W(FAILED(hResult), op, TEXT("base64 decode session key FAILED."), hResult))
            return hResult;
    }
    hResult = DecodeBase64Key(wstrPrivateKey, privateKey);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("base64 decode private key FAILED."), hResult))
        return hResult;
    TRACE_OK_W(op, TEXT("DecodeBase64Key"));
    sessionKeyObj = std::move(sessionKey);
    privateKeyObj = std::move(privateKey);
    *pSessionAlg = algSession;
    return VURO_OK;
}

HRESULT GetKeyObjects(const WCHAR* op, const WString& wstrEncryptedData, bool fNewFormat,
                      ALG_ID* pSessionAlg, std::vector<BYTE>& sessionKeyObj,
                      std::vector<BYTE>& privateKeyObj) {
    if (pSessionAlg == nullptr)
        return E_POINTER;
    return ReadEnvelopeKeyObjects(op, wstrEncryptedData, fNewFormat, pSessionAlg, sessionKeyObj,
                                  privateKeyObj);
}

HRESULT ParseKeyData(const WCHAR* op, const WString& wstrEncryptedData, bool fNewFormat,
                     std::vector<BYTE>& sessionKeyOut, ALG_ID* pSessionAlg,
                     std::vector<BYTE>& privateKeyOut) {
    if (pSessionAlg == nullptr)
        return E_POINTER;
    ALG_ID algSession = 0;
    std::vector<BYTE> sessionKeyObj, privateKeyObj;
    HRESULT hResult = ReadEnvelopeKeyObjects(op, wstrEncryptedData, fNewFormat, &algSession,
                                             sessionKeyObj, privateKeyObj);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("GetSessionKeyandPrivateKeyASN1Obj"), hResult))
        return hResult;
    std::vector<BYTE> sessionKey, privateKey;
    if (algSession == CALG_3DES) {
        hResult = GetSessionKeyorPrivateKeyFromASN1Obj(sessionKeyObj.data(),
                                                       DWORD(sessionKeyObj.size()), sessionKey);
        if (TRACE_IF_W(FAILED(hResult), op,
                       TEXT("get session key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)"),
                       hResult))
            return hResult;
    }
    hResult = GetSessionKeyorPrivateKeyFromASN1Obj(privateKeyObj.data(),
                                                   DWORD(privateKeyObj.size()), privateKey);
    if (TRACE_IF_W(FAILED(hResult), op,
                   TEXT("get private key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)"),
                   hResult))
        return hResult;
    TRACE_OK_W(op, TEXT("GetSessionKeyorPrivateKeyFromASN1Obj"));
    sessionKeyOut = std::move(sessionKey);
    *pSessionAlg = algSession;
    privateKeyOut = std::move(privateKey);
    return VURO_OK;
}

} // namespace

HRESULT ReadEnvelopeNumber(const WString& wstrText, size_t nPosition, int* pnValue) {
    if (pnValue == nullptr)
        return E_POINTER;
    if (nPosition >= wstrText.size())
        return VURO_E_ENVELOPE_FORMAT;
    const size_t nEnd = nPosition + std::min(ENVELOPE_NUMBER_CHARS, wstrText.size() - nPosition);
    size_t i = nPosition;
    while (i < nEnd && IsBlank(wstrText[i]))
        ++i;
    bool fNegative = false;
    if (i < nEnd && (wstrText[i] == '+' || wstrText[i] == '-')) {
        fNegative = wstrText[i] == '-';
        ++i;
    }
    // Accumulated as a magnitude that stops growing past the 32-bit range.
    long long llMagnitude = 0;
    for (; i < nEnd && wstrText[i] >= '0' && wstrText[i] <= '9'; ++i) {
        llMagnitude = llMagnitude * 10 + (wstrText[i] - '0');
        if (llMagnitude > 0x80000000LL)
            llMagnitude = 0x80000000LL;
    }
    long long llValue = fNegative ? -llMagnitude : llMagnitude;
    if (llValue > INT_MAX)
        llValue = INT_MAX;
    *pnValue = int(llValue);
    return VURO_OK;
}

HRESULT GetBase64KeyFromEncryptedData(const WString& wstrEncryptedData, WString* pwstrKey,
                                      size_t* pnPosition) {
    TraceHelper trace(TEXT("GetBase64KeyFromEncryptedData"));
    const WCHAR* const op = TEXT("GetBase64KeyFromEncryptedData");
    if (pwstrKey == nullptr || pnPosition == nullptr)
        return E_POINTER;
    size_t nPosition = *pnPosition;
    const size_t nRemainLen =
        nPosition < wstrEncryptedData.size() ? wstrEncryptedData.size() - nPosition : 0;
    if (nRemainLen == 0 || nRemainLen < ENVELOPE_NUMBER_CHARS) {
        TRACE_FAILED_W(op, TEXT("Check encrypted data size."), VURO_E_ENVELOPE_FORMAT,
                       TEXT("0 == nRemainLen || nRemainLen < 16"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    int nKeyLength = 0;
    // At least 16 characters are left, so the number is there to read.
    if (const HRESULT hRead = ReadEnvelopeNumber(wstrEncryptedData, nPosition, &nKeyLength);
        TRACE_IF_W(FAILED(hRead), op, TEXT("ReadEnvelopeNumber"), hRead))
        return hRead;
    nPosition += ENVELOPE_NUMBER_CHARS;
    if (nKeyLength < 0 || size_t(nKeyLength) > nRemainLen - ENVELOPE_NUMBER_CHARS) {
        TRACE_FAILED_W(op, TEXT("GetBase64KeyFromEncryptedData-key's length is wrong"),
                       VURO_E_ENVELOPE_FORMAT, TEXT("TRUE"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    if (nKeyLength == 0) {
        pwstrKey->clear();
        *pnPosition = nPosition;
        return VURO_OK;
    }
    WString wstrKey = wstrEncryptedData.substr(nPosition, size_t(nKeyLength));
    if (wstrKey.back() != WCHAR(',')) {
        TRACE_FAILED_W(op, TEXT("Check endl character"), VURO_E_ENVELOPE_FORMAT,
                       TEXT("L',' != keyBase64Encoded[nKeyLength - 1]"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    EraseCommaInWstr(wstrKey);
    *pwstrKey = std::move(wstrKey);
    *pnPosition = nPosition + size_t(nKeyLength);
    return VURO_OK;
}

HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* pbEncoded, DWORD cbEncoded,
                                             std::vector<BYTE>& keyOut) {
    TraceHelper trace(TEXT("GetSessionKeyorPrivateKeyFromASN1Obj"));
    const WCHAR* const op = TEXT("GetSessionKeyorPrivateKeyFromASN1Obj");
    // KeyField ::= SEQUENCE { version INTEGER, key OCTET STRING }
    // read as the issuer's fields have always been read (der::kEngineRules:
    // the whole field, bytes after it ignored); the tags are not checked,
    // the count of two is, and the key is everything after its header.
    namespace der = orvane::der;
    if (pbEncoded == nullptr) {
        TRACE_FAILED_W(op, TEXT("Check parameter"), VURO_E_ENVELOPE_FORMAT, TEXT("TRUE"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    der::DerReader reader(der::Bytes(pbEncoded, cbEncoded), der::kEngineRules);
    BYTE bTag = 0;
    der::Bytes fields;
    if (reader.ReadAny(bTag, fields) != 0 || !der::EngineNests(bTag)) {
        TRACE_FAILED_W(op, TEXT("Read KeyField"), VURO_E_ENVELOPE_FORMAT, TEXT("TRUE"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    der::DerReader elements(fields, der::kEngineRules);
    der::Bytes version, key;
    if (elements.ReadValue(bTag, version) != 0 || elements.ReadValue(bTag, key) != 0 ||
        !elements.AtEnd()) {
        TRACE_FAILED_W(op, TEXT("Level 1: 2 nodes(INTEGER and OCTET STRING can not be found"),
                       VURO_E_ENVELOPE_FORMAT, TEXT("TRUE"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    try {
        keyOut.assign(key.begin(), key.end());
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL_W(op, TEXT("new memory"), E_OUTOFMEMORY, TEXT("std::bad_alloc"));
    }
    return VURO_OK;
}

HRESULT ParseEncryptCertPublicKeyCert(WString& wstrCert, std::vector<BYTE>& cert) {
    TraceHelper trace(TEXT("ParseEncryptCertPublicKeyCert"));
    EraseCommaInWstr(wstrCert);
    const HRESULT hResult = DecodeBase64Key(wstrCert, cert);
    static_cast<void>(TRACE_IF_W(FAILED(hResult), TEXT("ParseEncryptCertPublicKeyCert"),
                                 TEXT("base64 decode public key FAILED."), hResult));
    return hResult;
}

HRESULT GetSessionKeyandPrivateKeyASN1Obj(const WString& wstrEncryptedData, ALG_ID* pSessionAlg,
                                          std::vector<BYTE>& sessionKeyObj,
                                          std::vector<BYTE>& privateKeyObj) {
    TraceHelper trace(TEXT("GetSessionKeyandPrivateKeyASN1Obj"));
    return GetKeyObjects(TEXT("GetSessionKeyandPrivateKeyASN1Obj"), wstrEncryptedData, false,
                         pSessionAlg, sessionKeyObj, privateKeyObj);
}

HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const WString& wstrEncryptedData, ALG_ID* pSessionAlg,
                                            std::vector<BYTE>& sessionKeyObj,
                                            std::vector<BYTE>& privateKeyObj) {
    TraceHelper trace(TEXT("GetSessionKeyandPrivateKeyASN1ObjEx"));
    return GetKeyObjects(TEXT("GetSessionKeyandPrivateKeyASN1ObjEx"), wstrEncryptedData, true,
                         pSessionAlg, sessionKeyObj, privateKeyObj);
}

HRESULT ParseEncryptCertPrivateKeyData(const WString& wstrEncryptedData,
                                       std::vector<BYTE>& sessionKey, ALG_ID* pSessionAlg,
                                       std::vector<BYTE>& privateKey) {
    TraceHelper trace(TEXT("ParseEncryptCertPrivateKeyData"));
    return ParseKeyData(TEXT("ParseEncryptCertPrivateKeyData"), wstrEncryptedData, false,
                        sessionKey, pSessionAlg, privateKey);
}

HRESULT ParseEncryptCertPrivateKeyDataEx(const WString& wstrEncryptedData,
                                         std::vector<BYTE>& sessionKey, ALG_ID* pSessionAlg,
                                         std::vector<BYTE>& privateKey) {
    TraceHelper trace(TEXT("ParseEncryptCertPrivateKeyDataEx"));
    return ParseKeyData(TEXT("ParseEncryptCertPrivateKeyDataEx"), wstrEncryptedData, true,
                        sessionKey, pSessionAlg, privateKey);
}

HRESULT ComposeRSAEVPPrivateKey(const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey,
                                std::vector<BYTE>& encoded) {
    TraceHelper trace(TEXT("ComposeRSAEVPPrivateKey"));
    const WCHAR* const op = TEXT("ComposeRSAEVPPrivateKey");
    if ((pbEncryptedPrivateKey == nullptr && cbEncryptedPrivateKey != 0) ||
        (pbEncryptedSessionKey == nullptr && cbEncryptedSessionKey != 0))
        return E_POINTER;
    namespace der = orvane::der;
    const der::Bytes sessionKey(pbEncryptedSessionKey, cbEncryptedSessionKey);
    const der::Bytes privateKey(pbEncryptedPrivateKey, cbEncryptedPrivateKey);
    const HRESULT hResult = der::EncodeInto(encoded, [&](der::DerWriter& w) {
        // SEQUENCE { version              INTEGER 1,
        //            asymmetricAlgorithm  OBJECT IDENTIFIER (rsaEncryption),
        //            symmetricAlgorithm   OBJECT IDENTIFIER (the tokens' session cipher),
        //            encryptedSessionKey  OCTET STRING (empty without a session key),
        //            encryptedPrivateKey  OCTET STRING }
        w.Constructed(der::tag::kSequence, [&](der::DerWriter& seq) {
            der::WriteInt32(seq, 1);
            der::WriteOid(seq, kOidRsaEncryption);
            der::WriteOid(seq, kOidTokenSessionCipher);
            seq.Element(der::tag::kOctetString, sessionKey);
            seq.Element(der::tag::kOctetString, privateKey);
        });
        return VURO_OK;
    });
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("ASN1Encode"), hResult))
        return hResult;
    TRACE_OK_W(op, TEXT("ASN1Encode"));
    return VURO_OK;
}
