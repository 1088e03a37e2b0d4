#include "enrolment/SoftKeyDecrypt.h"

#include "der/Der.h"
#include "enrolment/ImportHelpers.h"
#include "foundation/ASN1Engine.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#define TRACE_MODULE "ImportEncryptCert"

namespace {

constexpr DWORD kRsa2Magic = 0x32415352; // "RSA2"
constexpr DWORD kBlobPublicExponent = 65537;
constexpr DWORD kMaxKeyBits = 16384;
// Entries a provider's algorithm list may have before we stop asking.
constexpr int kMaxAlgorithmEntries = 256;

void PutLe32(BYTE* pb, DWORD dwValue) {
    pb[0] = BYTE(dwValue);
    pb[1] = BYTE(dwValue >> 8);
    pb[2] = BYTE(dwValue >> 16);
    pb[3] = BYTE(dwValue >> 24);
}

DWORD GetLe32(const BYTE* pb) {
    return DWORD(pb[0]) | DWORD(pb[1]) << 8 | DWORD(pb[2]) << 16 | DWORD(pb[3]) << 24;
}

// The failing call's error, never 0: a call that failed without saying why
// still fails.
DWORD LastErrorOrFail() {
    const DWORD dwError = GetLastError();
    return dwError != 0 ? dwError : DWORD(NTE_FAIL);
}

// Traces a failed step of a Boolean routine with the thread's last error.
#define TRACE_FAILED_LAST_ERROR(op, step)                                                          \
    TRACE_FAILED_W(op, step, HResultFromError(GetLastError()), TEXT("FALSE == bResult"))

// ThrowAwayContainer: deletes the named container of the software provider
// when it goes, if it was ever opened; the thread's last error is kept.
class ThrowAwayContainer {
public:
    explicit ThrowAwayContainer(const WCHAR* pwszName) : m_pwszName(pwszName) {}
    ~ThrowAwayContainer() {
        if (!m_fOpened)
            return;
        const DWORD dwError = GetLastError();
        HCRYPTPROV hDelete = 0;
        if (!CryptAcquireContextW(&hDelete, m_pwszName, SOFT_DECRYPT_CSP_NAME, PROV_RSA_FULL,
                                  CRYPT_DELETEKEYSET))
            TRACE_FAILED_LAST_ERROR(TEXT("DecryptPrivateKeywithSessionKey"),
                                    TEXT("CryptAcquireContext(CRYPT_DELETEKEYSET)"));
        SetLastError(dwError);
    }
    ThrowAwayContainer(const ThrowAwayContainer&) = delete;
    ThrowAwayContainer& operator=(const ThrowAwayContainer&) = delete;
    void MarkOpened() { m_fOpened = true; }

private:
    const WCHAR* m_pwszName;
    bool m_fOpened = false;
};

// The work of CreatePrivateExponentOneKey; 0 or the failing call's error.
DWORD MakeExponentOneKey(HCRYPTPROV hProv, HCRYPTKEY* phKey) {
    const WCHAR* const op = TEXT("CreatePrivateExponentOneKey");
    SecretBytes blob;
    DWORD cbBlob = 0;
    {
        UniqueKey hGenerated;
        if (!CryptGenKey(hProv, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, hGenerated.put())) {
            TRACE_FAILED_LAST_ERROR(op, TEXT("CryptGenKey"));
            return LastErrorOrFail();
        }
        if (!CryptExportKey(hGenerated.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob)) {
            TRACE_FAILED_LAST_ERROR(op, TEXT("CryptExportKey(size)"));
            return LastErrorOrFail();
        }
        try {
            blob.assign(cbBlob != 0 ? cbBlob : 1, 0);
        } catch (const std::bad_alloc&) {
            return DWORD(E_OUTOFMEMORY);
        }
        if (!CryptExportKey(hGenerated.get(), 0, PRIVATEKEYBLOB, 0, blob.data(), &cbBlob)) {
            TRACE_FAILED_LAST_ERROR(op, TEXT("CryptExportKey"));
            return LastErrorOrFail();
        }
        cbBlob = std::min<DWORD>(cbBlob, DWORD(blob.size()));
    }
    // PRIVATEKEYBLOB: BLOBHEADER, RSAPUBKEY { magic, bitlen, pubexp }, modulus,
    // prime1, prime2, exponent1, exponent2, coefficient, privateExponent.
    BYTE* pb = blob.data();
    if (cbBlob < 20)
        return DWORD(NTE_BAD_DATA);
    const DWORD dwBits = GetLe32(pb + 12);
    const size_t cbWhole = (size_t(dwBits) + 7) / 8, cbHalf = (size_t(dwBits) + 15) / 16;
    if (dwBits == 0 || dwBits > kMaxKeyBits || cbBlob < 20 + 2 * cbWhole + 5 * cbHalf)
        return DWORD(NTE_BAD_DATA);
    auto setOne = [pb](size_t nOffset, size_t cbNumber) {
        std::memset(pb + nOffset, 0, cbNumber);
        pb[nOffset] = 1; // least significant byte first
    };
    PutLe32(pb + 16, 1);
    setOne(20 + cbWhole + 2 * cbHalf, cbHalf);  // exponent 1
    setOne(20 + cbWhole + 3 * cbHalf, cbHalf);  // exponent 2
    setOne(20 + cbWhole + 5 * cbHalf, cbWhole); // private exponent
    if (!CryptImportKey(hProv, pb, cbBlob, 0, 0, phKey)) {
        TRACE_FAILED_LAST_ERROR(op, TEXT("CryptImportKey"));
        return LastErrorOrFail();
    }
    return 0;
}

// The work of ImportPlainSessionBlob; 0 or the failing call's error.
DWORD MakePlainSessionKey(HCRYPTPROV hProv, HCRYPTKEY hExchangeKey, ALG_ID algSession,
                          const BYTE* pbSessionKey, DWORD cbSessionKey, HCRYPTKEY* phSessionKey) {
    const WCHAR* const op = TEXT("ImportPlainSessionBlob");
    if (pbSessionKey == nullptr || cbSessionKey == 0 || phSessionKey == nullptr)
        return DWORD(E_INVALIDARG);

    // The provider must offer the algorithm at all.
    bool fFound = false;
    for (int i = 0; i < kMaxAlgorithmEntries && !fFound; ++i) {
        PROV_ENUMALGS_EX stAlgorithm{};
        DWORD cbAlgorithm = sizeof stAlgorithm;
        if (!CryptGetProvParam(hProv, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&stAlgorithm),
                               &cbAlgorithm, i == 0 ? CRYPT_FIRST : 0)) {
            TRACE_FAILED_LAST_ERROR(op, TEXT("CryptGetProvParam(PP_ENUMALGS_EX)"));
            return LastErrorOrFail();
        }
        fFound = stAlgorithm.aiAlgid == algSession;
    }
    if (!fFound)
        return DWORD(NTE_BAD_ALGID);

    // ... and with keys long enough for the one we hold.
    DWORD dwValue = 0, cbValue = sizeof dwValue;
    {
        UniqueKey hProbe;
        if (!CryptGenKey(hProv, algSession, 0, hProbe.put()) ||
            !CryptGetKeyParam(hProbe.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&dwValue), &cbValue,
                              0)) {
            TRACE_FAILED_LAST_ERROR(op, TEXT("CryptGenKey/KP_KEYLEN"));
            return LastErrorOrFail();
        }
    }
    if (dwValue < 8ull * cbSessionKey)
        return DWORD(NTE_BAD_LEN);

    DWORD dwExchangeAlg = 0, dwExchangeBits = 0;
    cbValue = sizeof dwExchangeAlg;
    if (!CryptGetKeyParam(hExchangeKey, KP_ALGID, reinterpret_cast<BYTE*>(&dwExchangeAlg), &cbValue,
                          0)) {
        TRACE_FAILED_LAST_ERROR(op, TEXT("CryptGetKeyParam(KP_ALGID)"));
        return LastErrorOrFail();
    }
    cbValue = sizeof dwExchangeBits;
    if (!CryptGetKeyParam(hExchangeKey, KP_KEYLEN, reinterpret_cast<BYTE*>(&dwExchangeBits),
                          &cbValue, 0)) {
        TRACE_FAILED_LAST_ERROR(op, TEXT("CryptGetKeyParam(KP_KEYLEN)"));
        return LastErrorOrFail();
    }
    // The PKCS#1 block needs at least eight padding bytes beside the key.
    const DWORD cbModulus = dwExchangeBits / 8;
    if (dwExchangeBits % 8 != 0 || dwExchangeBits > kMaxKeyBits || cbModulus < cbSessionKey + 11)
        return DWORD(NTE_BAD_LEN);

    // SIMPLEBLOB: BLOBHEADER, ALG_ID of the exchange key, then the block
    // 00 02 PS 00 key stored least significant byte first.
    SecretBytes blob;
    try {
        blob.assign(size_t(cbModulus) + 12, 0);
    } catch (const std::bad_alloc&) {
        return DWORD(E_OUTOFMEMORY);
    }
    BYTE* pb = blob.data();
    pb[0] = SIMPLEBLOB;
    pb[1] = CUR_BLOB_VERSION;
    PutLe32(pb + 4, algSession);
    PutLe32(pb + 8, dwExchangeAlg);
    for (DWORD i = 0; i < cbSessionKey; ++i)
        pb[12 + i] = pbSessionKey[cbSessionKey - 1 - i];
    BYTE* pbPadding = pb + 13 + cbSessionKey;
    const DWORD cbPadding = cbModulus - cbSessionKey - 3;
    if (!CryptGenRandom(hProv, cbPadding, pbPadding)) {
        TRACE_FAILED_LAST_ERROR(op, TEXT("CryptGenRandom"));
        return LastErrorOrFail();
    }
    for (DWORD i = 0; i < cbPadding; ++i)
        if (pbPadding[i] == 0)
            pbPadding[i] = 1;
    pb[cbModulus + 10] = 2;
    if (!CryptImportKey(hProv, pb, cbModulus + 12, hExchangeKey, CRYPT_EXPORTABLE, phSessionKey)) {
        TRACE_FAILED_LAST_ERROR(op, TEXT("CryptImportKey"));
        return LastErrorOrFail();
    }
    return 0;
}

} // namespace

BOOL CreatePrivateExponentOneKey(HCRYPTPROV hProv, HCRYPTKEY* phKey) {
    TraceHelper trace(TEXT("CreatePrivateExponentOneKey"));
    if (phKey == nullptr) {
        SetLastError(DWORD(E_INVALIDARG));
        return FALSE;
    }
    const DWORD dwError = MakeExponentOneKey(hProv, phKey);
    if (dwError != 0) {
        SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

BOOL ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hExchangeKey, ALG_ID algSession,
                            const BYTE* pbSessionKey, DWORD cbSessionKey, HCRYPTKEY* phSessionKey) {
    TraceHelper trace(TEXT("ImportPlainSessionBlob"));
    const DWORD dwError = MakePlainSessionKey(hProv, hExchangeKey, algSession, pbSessionKey,
                                              cbSessionKey, phSessionKey);
    if (dwError != 0) {
        SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

HRESULT DecryptPrivateKeywithSessionKey(ALG_ID algSession, const BYTE* pbSessionKey,
                                        DWORD cbSessionKey, const BYTE* pbEncryptedPrivateKey,
                                        DWORD cbEncryptedPrivateKey, SecretBytes& privateKeyOut) {
    TraceHelper trace(TEXT("DecryptPrivateKeywithSessionKey"));
    const WCHAR* const op = TEXT("DecryptPrivateKeywithSessionKey");
    if (pbSessionKey == nullptr || pbEncryptedPrivateKey == nullptr)
        return E_POINTER;
    TraceValueNumber("Session key length", long(cbSessionKey));
    TraceValueNumber("Encrypted private key length", long(cbEncryptedPrivateKey));

    WString wstrContainer;
    HRESULT hResult = CreateGUIDStr(&wstrContainer);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("CreateGUIDStr"), hResult))
        return hResult;

    // Destroyed in reverse: keys, then the provider, then the container.
    ThrowAwayContainer container(wstrContainer.c_str());
    UniqueProvider hProv;
    if (CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), SOFT_DECRYPT_CSP_NAME,
                             PROV_RSA_FULL, 0)) {
        container.MarkOpened();
    } else {
        TRACE_FAILED_LAST_ERROR(op, TEXT("CryptAcquireContext"));
        if (!CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), SOFT_DECRYPT_CSP_NAME,
                                  PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
            return FAIL_LAST_ERROR_W(op, TEXT("CryptAcquireContext"), TEXT("FALSE == bResult"));
        }
        container.MarkOpened();
    }
    TRACE_OK_W(op, TEXT("CryptAcquireContext"));

    UniqueKey hExponentOneKey, hSessionKey;
    if (!CreatePrivateExponentOneKey(hProv.get(), hExponentOneKey.put())) {
        TRACE_FAILED_W(op, TEXT("CreatePrivateExponentOneKey"), VURO_E_ENVELOPE_FORMAT,
                       TEXT("FALSE == bResult"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    if (!ImportPlainSessionBlob(hProv.get(), hExponentOneKey.get(), algSession, pbSessionKey,
                                cbSessionKey, hSessionKey.put())) {
        TRACE_FAILED_W(op, TEXT("ImportPlainSessionBlob"), VURO_E_ENVELOPE_FORMAT,
                       TEXT("FALSE == bResult"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    TRACE_OK_W(op, TEXT("ImportPlainSessionBlob"));

    const DWORD dwMode = CRYPT_MODE_ECB;
    if (!CryptSetKeyParam(hSessionKey.get(), KP_MODE, reinterpret_cast<const BYTE*>(&dwMode), 0)) {
        return FAIL_LAST_ERROR_W(op, TEXT("CryptSetKeyParam"), TEXT("FALSE == bResult"));
    }

    try {
        // At least one byte, so that even an empty text has a buffer to decrypt in.
        SecretBytes buffer(pbEncryptedPrivateKey, pbEncryptedPrivateKey + cbEncryptedPrivateKey);
        if (buffer.empty())
            buffer.push_back(0);
        DWORD cbPlain = cbEncryptedPrivateKey;
        if (!CryptDecrypt(hSessionKey.get(), 0, TRUE, 0, buffer.data(), &cbPlain)) {
            return FAIL_LAST_ERROR_W(op, TEXT("CryptDecrypt"), TEXT("FALSE == bResult"));
        }
        TRACE_OK_W(op, TEXT("CryptDecrypt"));
        // The plaintext gets a block of its own; the buffer (and the padding
        // the decryption left in it) is wiped as it goes.
        privateKeyOut = SecretBytes(
            buffer.begin(), buffer.begin() + std::min<DWORD>(cbPlain, cbEncryptedPrivateKey));
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL_W(op, TEXT("new memory"), E_OUTOFMEMORY, TEXT("std::bad_alloc"));
    }
    return VURO_OK;
}

HRESULT CopyPrivateKeyAttribute(const BYTE* pbValue, DWORD cbValue, SecretBytes& copyOut) {
    if (pbValue == nullptr && cbValue != 0)
        return E_POINTER;
    // DER keeps a zero byte before a positive value whose top bit is set.
    if (cbValue != 0 && pbValue[0] == 0) {
        ++pbValue;
        --cbValue;
    }
    try {
        copyOut.assign(std::reverse_iterator(pbValue + cbValue), std::reverse_iterator(pbValue));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return VURO_OK;
}

HRESULT DecodePrivateKey(const BYTE* pbEncoded, DWORD cbEncoded, PKCS1_PRIVATE_KEY* pKey) {
    TraceHelper trace(TEXT("DecodePrivateKey"));
    const WCHAR* const op = TEXT("DecodePrivateKey");
    if (pbEncoded == nullptr || pKey == nullptr)
        return E_POINTER;
    pKey->Clear();
    namespace der = orvane::der;
    const der::Bytes in(pbEncoded, cbEncoded);
    // The issuer's key is read under der::kEngineRules. Its outermost header
    // has always had to be followed by at least one more octet (so a key of
    // fewer than three never reads), and failing there has its own code; any
    // failure inside is ASN1_E_PARSE. Octets after the key are ignored.
    der::Header outermost;
    if (cbEncoded == 0 ||
        der::ReadHeader(in.first(cbEncoded - 1), der::kEngineRules, outermost) != 0) {
        TRACE_FAILED_W(op, TEXT("Read outermost header"), VURO_E_ASN1_DECODE, TEXT("TRUE"));
        return VURO_E_ASN1_DECODE;
    }
    der::DerReader reader(in, der::kEngineRules);
    BYTE bTag = 0;
    der::Bytes fields;
    if (reader.ReadAny(bTag, fields) != 0) {
        TRACE_FAILED_W(op, TEXT("Read RSAPrivateKey"), HRESULT(ASN1_E_PARSE), TEXT("TRUE"));
        return HRESULT(ASN1_E_PARSE);
    }
    // RSAPrivateKey ::= SEQUENCE { version, modulus, publicExponent,
    //   privateExponent, prime1, prime2, exponent1, exponent2, coefficient,
    //   otherPrimeInfos OPTIONAL }
    // Each element's value is everything after its header.
    BYTE rgTags[9] = {};
    der::Bytes rgValues[9];
    der::DerReader elements(fields, der::kEngineRules);
    size_t nRead = 0;
    if (bTag == der::tag::kSequence)
        while (nRead < 9 && elements.ReadValue(rgTags[nRead], rgValues[nRead]) == 0)
            ++nRead;
    if (nRead < 9) {
        TRACE_FAILED_W(op, TEXT("Check RSAPrivateKey elements"), VURO_E_ENVELOPE_FORMAT,
                       TEXT("9 > number of elements"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    struct Element {
        size_t nIndex;
        SecretBytes* pNumber;
    } const rgElements[] = {{1, &pKey->modulus},    {3, &pKey->privateExponent},
                            {4, &pKey->prime1},     {5, &pKey->prime2},
                            {6, &pKey->exponent1},  {7, &pKey->exponent2},
                            {8, &pKey->coefficient}};
    for (const Element& element : rgElements) {
        if (rgTags[element.nIndex] != der::tag::kInteger) {
            pKey->Clear();
            TRACE_FAILED_W(op, TEXT("Check INTEGER"), VURO_E_ENVELOPE_FORMAT, TEXT("0x02 != bTag"));
            return VURO_E_ENVELOPE_FORMAT;
        }
        const der::Bytes value = rgValues[element.nIndex];
        const HRESULT hResult =
            CopyPrivateKeyAttribute(value.data(), DWORD(value.size()), *element.pNumber);
        if (TRACE_IF_W(FAILED(hResult), op, TEXT("CopyPrivateKeyAttribute"), hResult)) {
            pKey->Clear();
            return hResult;
        }
    }
    return VURO_OK;
}

HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbPkcs1, DWORD cbPkcs1, DWORD dwKeyBits,
                                                SecretBytes& blobOut) {
    TraceHelper trace(TEXT("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA"));
    const WCHAR* const op = TEXT("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA");
    if (pbPkcs1 == nullptr)
        return E_POINTER;
    TraceValueNumber("Key bits", long(dwKeyBits));
    if (dwKeyBits == 0 || dwKeyBits % 16 != 0 || dwKeyBits > kMaxKeyBits) {
        TRACE_FAILED_W(op, TEXT("PKCS1 RSA private key length"), VURO_E_ENVELOPE_FORMAT,
                       TEXT("TRUE"));
        return VURO_E_ENVELOPE_FORMAT;
    }
    PKCS1_PRIVATE_KEY key;
    HRESULT hResult = DecodePrivateKey(pbPkcs1, cbPkcs1, &key);
    if (TRACE_IF_W(FAILED(hResult), op,
                   TEXT("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey"), hResult))
        return hResult;
    // The modulus fills its field exactly; the other numbers may be shorter
    // than theirs (about one key in fifty has a private exponent, CRT
    // exponent or coefficient with a leading zero byte) and are zero-padded.
    const DWORD cbWhole = dwKeyBits / 8, cbHalf = dwKeyBits / 16;
    if (key.modulus.size() != cbWhole || key.prime1.size() > cbHalf || key.prime2.size() > cbHalf ||
        key.exponent1.size() > cbHalf || key.exponent2.size() > cbHalf ||
        key.coefficient.size() > cbHalf || key.privateExponent.size() > cbWhole) {
        TRACE_FAILED_W(op, TEXT("PKCS1 RSA private key length"), VURO_E_ENVELOPE_FORMAT,
                       TEXT("TRUE"));
        return VURO_E_ENVELOPE_FORMAT;
    }

    // PRIVATEKEYBLOB: BLOBHEADER { PRIVATEKEYBLOB, 2, 0, CALG_RSA_KEYX },
    // RSAPUBKEY { "RSA2", bits, 65537 }, then the numbers least significant
    // byte first.
    const DWORD cbBlob = dwKeyBits * 9 / 16 + 20;
    SecretBytes blob;
    try {
        blob.assign(cbBlob, 0);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL_W(op, TEXT("new memory"), E_OUTOFMEMORY, TEXT("std::bad_alloc"));
    }
    BYTE* pb = blob.data();
    pb[0] = PRIVATEKEYBLOB;
    pb[1] = CUR_BLOB_VERSION;
    PutLe32(pb + 4, CALG_RSA_KEYX);
    PutLe32(pb + 8, kRsa2Magic);
    PutLe32(pb + 12, dwKeyBits);
    PutLe32(pb + 16, kBlobPublicExponent);
    size_t nPosition = 20;
    auto append = [&](const SecretBytes& number, DWORD cbField) {
        // A short number keeps the zero bytes of its field's high end.
        std::copy(number.begin(), number.end(), pb + nPosition);
        nPosition += cbField;
    };
    append(key.modulus, cbWhole);
    append(key.prime1, cbHalf);
    append(key.prime2, cbHalf);
    append(key.exponent1, cbHalf);
    append(key.exponent2, cbHalf);
    append(key.coefficient, cbHalf);
    append(key.privateExponent, cbWhole);
    blobOut = std::move(blob);
    return VURO_OK;
}
