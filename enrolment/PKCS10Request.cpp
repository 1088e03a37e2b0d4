#include "enrolment/PKCS10Request.h"

#include "certificates/Names.h"
#include "certificates/Signatures.h"
#include "der/Der.h"
#include "certificates/CspQueries.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#define TRACE_MODULE "PKCS10Request"

namespace {

namespace der = orvane::der;
namespace names = orvane::names;
namespace signatures = orvane::signatures;

// The uncompressed point 04 || X || Y of an exported SM2 public-key blob.
using SM2Point = std::array<BYTE, 1 + 2 * kSM2CoordinateSize>;
HRESULT SM2PointFromBlob(const BYTE* pbBlob, DWORD cbBlob, SM2Point& point) {
    if (pbBlob == nullptr || cbBlob < kSM2PublicKeyBlobSize)
        return NTE_BAD_KEY;
    const BYTE* pbX = pbBlob + kSM2BlobHeaderSize + 4;
    const BYTE* pbY = pbX + kSM2FieldSize;
    point[0] = 0x04;
    std::reverse_copy(pbX, pbX + kSM2CoordinateSize, point.begin() + 1);
    std::reverse_copy(pbY, pbY + kSM2CoordinateSize, point.begin() + 1 + kSM2CoordinateSize);
    return VURO_OK;
}

// The temporary SM2 key as issuers read it: LE32 0xB400, LE32 256, then the
// blob's two 64-byte fields with their first 32 bytes turned big-endian.
using SM2TemporaryKey = std::array<BYTE, kSM2TemporaryKeySize>;
HRESULT SM2TemporaryKeyFromBlob(const BYTE* pbBlob, DWORD cbBlob, SM2TemporaryKey& key) {
    if (pbBlob == nullptr || cbBlob < kSM2PublicKeyBlobSize)
        return NTE_BAD_KEY;
    static constexpr BYTE kHead[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    std::memcpy(key.data(), kHead, sizeof kHead);
    BYTE* pbFields = key.data() + sizeof kHead;
    std::memcpy(pbFields, pbBlob + kSM2BlobHeaderSize + 4, 2 * kSM2FieldSize);
    SwapByteOrder(pbFields, kSM2CoordinateSize);
    SwapByteOrder(pbFields + kSM2FieldSize, kSM2CoordinateSize);
    return VURO_OK;
}

// SubjectPublicKeyInfo ::= SEQUENCE {
//     algorithm         AlgorithmIdentifier,
//     subjectPublicKey  BIT STRING }
// RSA: AlgorithmIdentifier { rsaEncryption, NULL };
// SM2: AlgorithmIdentifier { id-ecPublicKey, namedCurve OBJECT IDENTIFIER }.
HRESULT WriteSubjectPublicKeyInfo(der::DerWriter& w, const char* pszPublicKeyAlg,
                                  const char* pszCurve, const BYTE* pbPublicKey,
                                  DWORD cbPublicKey) {
    const char* op = "ComposeSignPublicKeyData";
    if (pszPublicKeyAlg == nullptr || pbPublicKey == nullptr || cbPublicKey == 0) {
        w.Fail(DWORD(E_INVALIDARG));
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG,
                          "NULL == pszPublicKeyAlg || NULL == pbPublicKey || 0 == cbPublicKey");
    }
    HRESULT hResult = VURO_OK;
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& spki) {
        if (pszCurve != nullptr && pszCurve[0] != '\0') {
            spki.Constructed(der::tag::kSequence, [&](der::DerWriter& alg) {
                der::WriteOid(alg, pszPublicKeyAlg);
                der::WriteOid(alg, pszCurve);
            });
            if (spki.Error() != 0) {
                hResult = TRACE_FAIL(op, "ComposeSpecialAttribute(curve)", HRESULT(spki.Error()),
                                     "FAILED(hResult)");
                return;
            }
        } else {
            hResult = names::WriteSpecialAttribute(spki, pszPublicKeyAlg, nullptr, 0);
            if (FAILED(hResult)) {
                TRACE_FAILED(op, "ComposeSpecialAttribute", hResult, "FAILED(hResult)");
                return;
            }
        }
        names::WriteBitString(spki, der::Bytes(pbPublicKey, cbPublicKey));
    });
    if (SUCCEEDED(hResult) && w.Error() != 0)
        hResult = TRACE_FAIL(op, "SubjectPublicKeyInfo", HRESULT(w.Error()), "FAILED(hResult)");
    return hResult;
}

// An attribute in the form issuers read, SEQUENCE { OBJECT IDENTIFIER, value }
// without a SET, or in the PKCS #9 form when bStandard asks for it.
HRESULT WriteAttribute(der::DerWriter& w, BOOL bStandard, const char* pszOid, der::Bytes value) {
    if (!bStandard)
        return names::WriteSpecialAttribute(w, pszOid, value.data(), DWORD(value.size()));
    std::vector<BYTE> attribute;
    const HRESULT hResult =
        ComposeStandardAttribute(pszOid, value.data(), DWORD(value.size()), &attribute);
    if (FAILED(hResult)) {
        w.Fail(DWORD(hResult));
        return hResult;
    }
    w.Raw(attribute);
    return VURO_OK;
}

//   attributes  [0] IMPLICIT SET OF Attribute, here exactly two:
//     challengePassword       PrintableString "482915"
//     1.2.840.113549.1.9.63   OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } }
HRESULT WriteAttributes(der::DerWriter& w, BOOL bStandard, const BYTE* pbTempPublicKey,
                        DWORD cbTempPublicKey) {
    const char* op = "ComposeAttributes";
    if (pbTempPublicKey == nullptr || cbTempPublicKey == 0) {
        w.Fail(DWORD(E_INVALIDARG));
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG,
                          "NULL == pbTempPublicKey || 0 == cbTempPublicKey");
    }
    der::DerWriter password, temporaryKey;
    password.Element(der::tag::kPrintableString,
                     der::Bytes(reinterpret_cast<const BYTE*>(kChallengePassword),
                                std::strlen(kChallengePassword)));
    temporaryKey.Constructed(der::tag::kOctetString, [&](der::DerWriter& octets) {
        octets.Constructed(der::tag::kSequence, [&](der::DerWriter& seq) {
            der::WriteInt32(seq, 1);
            seq.Element(der::tag::kOctetString, der::Bytes(pbTempPublicKey, cbTempPublicKey));
        });
    });
    HRESULT hResult = VURO_OK;
    w.Constructed(der::tag::ContextConstructed(0), [&](der::DerWriter& attributes) {
        hResult = WriteAttribute(attributes, bStandard, kOidChallengePassword, password.Encoding());
        if (FAILED(hResult)) {
            TRACE_FAILED(op, "challengePassword", hResult, "FAILED(hResult)");
            return;
        }
        hResult =
            WriteAttribute(attributes, bStandard, kOidTemporaryPublicKey, temporaryKey.Encoding());
        if (FAILED(hResult))
            TRACE_FAILED(op, "temporary public key", hResult, "FAILED(hResult)");
    });
    if (SUCCEEDED(hResult) && w.Error() != 0)
        hResult = TRACE_FAIL(op, "[0] attributes", HRESULT(w.Error()), "FAILED(hResult)");
    return hResult;
}

// CertificationRequestInfo ::= SEQUENCE {
//     version        INTEGER { v1(0) },
//     subject        Name,
//     subjectPKInfo  SubjectPublicKeyInfo,
//     attributes     [0] Attributes }  -- double certificates only
HRESULT WriteCertRequestInfo(der::DerWriter& w, const PKCS10RequestParams& params,
                             const BYTE* pbSignPublicKey, DWORD cbSignPublicKey,
                             const BYTE* pbTempPublicKey, DWORD cbTempPublicKey) {
    const char* op = "ComposeCertRequestInfo";
    HRESULT hResult = VURO_OK;
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& info) {
        der::WriteInt32(info, 0);
        hResult = names::WriteName(info, params.pwszSubject);
        if (FAILED(hResult)) {
            TRACE_FAILED(op, "ComposeSubject", hResult, "FAILED(hResult)");
            return;
        }
        hResult = WriteSubjectPublicKeyInfo(info, params.pszPublicKeyAlg, params.pszCurve,
                                            pbSignPublicKey, cbSignPublicKey);
        if (FAILED(hResult)) {
            TRACE_FAILED(op, "ComposeSignPublicKeyData", hResult, "FAILED(hResult)");
            return;
        }
        if (cbTempPublicKey != 0) {
            hResult =
                WriteAttributes(info, params.bStandardAttributes, pbTempPublicKey, cbTempPublicKey);
            if (FAILED(hResult))
                TRACE_FAILED(op, "ComposeAttributes", hResult, "FAILED(hResult)");
        }
    });
    if (SUCCEEDED(hResult) && w.Error() != 0)
        hResult = TRACE_FAIL(op, "CertificationRequestInfo", HRESULT(w.Error()), "FAILED(hResult)");
    return hResult;
}

// The signature's BIT STRING: the RSA signature as it is, or for SM2 the DER
// SEQUENCE { INTEGER r, INTEGER s } of the 64-byte r || s.
HRESULT WriteSignatureBits(der::DerWriter& w, BOOL bSM2, der::Bytes signature) {
    if (!bSM2) {
        names::WriteBitString(w, signature);
        return HRESULT(w.Error());
    }
    der::DerWriter sm2;
    const HRESULT hResult = signatures::WriteSm2Signature(sm2, signature);
    if (FAILED(hResult)) {
        TRACE_FAILED("SM2EncodeRawSignature", "Check SM2 raw signature size", hResult,
                     "dwSignatureLen != 64");
        TRACE_FAILED("ComposeSignature", "SM2EncodeRawSignature", hResult, "FAILED(hResult)");
        w.Fail(DWORD(hResult));
        return hResult;
    }
    names::WriteBitString(w, sm2.Encoding());
    return HRESULT(w.Error());
}

} // namespace

HRESULT ComposeSignPublicKeyData(const char* pszPublicKeyAlg, const char* pszCurve,
                                 const BYTE* pbPublicKey, DWORD cbPublicKey, BYTE** ppbEncoded,
                                 DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeSignPublicKeyData"));
    if (ppbEncoded == nullptr || pcbEncoded == nullptr)
        return TRACE_FAIL("ComposeSignPublicKeyData", "Check parameter", E_INVALIDARG,
                          "NULL == ppbEncoded || NULL == pcbEncoded");
    return der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](der::DerWriter& w) {
        return WriteSubjectPublicKeyInfo(w, pszPublicKeyAlg, pszCurve, pbPublicKey, cbPublicKey);
    });
}

HRESULT ComposeAttributes(BOOL bStandard, const BYTE* pbTempPublicKey, DWORD cbTempPublicKey,
                          BYTE** ppbEncoded, DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeAttributes"));
    if (ppbEncoded == nullptr || pcbEncoded == nullptr)
        return TRACE_FAIL("ComposeAttributes", "Check parameter", E_INVALIDARG,
                          "NULL == ppbEncoded || NULL == pcbEncoded");
    return der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](der::DerWriter& w) {
        return WriteAttributes(w, bStandard, pbTempPublicKey, cbTempPublicKey);
    });
}

HRESULT ComposeCertRequestInfo(const PKCS10RequestParams& params, const BYTE* pbSignPublicKey,
                               DWORD cbSignPublicKey, const BYTE* pbTempPublicKey,
                               DWORD cbTempPublicKey, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeCertRequestInfo"));
    if (ppbEncoded == nullptr || pcbEncoded == nullptr)
        return TRACE_FAIL("ComposeCertRequestInfo", "Check parameter", E_INVALIDARG,
                          "NULL == ppbEncoded || NULL == pcbEncoded");
    return der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](der::DerWriter& w) {
        return WriteCertRequestInfo(w, params, pbSignPublicKey, cbSignPublicKey, pbTempPublicKey,
                                    cbTempPublicKey);
    });
}

HRESULT ComposeSignAlgorithm(const char* pszSignAlg, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    if (pszSignAlg == nullptr || ppbEncoded == nullptr || pcbEncoded == nullptr)
        return E_INVALIDARG;
    std::vector<BYTE> algorithm;
    const HRESULT hResult = ComposeSpecialAttribute(pszSignAlg, nullptr, 0, &algorithm);
    if (FAILED(hResult))
        return hResult;
    BYTE* pbEncoded = new (std::nothrow) BYTE[algorithm.size()];
    if (pbEncoded == nullptr)
        return E_OUTOFMEMORY;
    std::copy(algorithm.begin(), algorithm.end(), pbEncoded);
    *ppbEncoded = pbEncoded;
    *pcbEncoded = DWORD(algorithm.size());
    return VURO_OK;
}

HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, DWORD dwKeySpec, ALG_ID algHash,
                                   const char* pszPublicKeyAlg, const BYTE* pbData, DWORD cbData,
                                   BYTE** ppbSignature, DWORD* pcbSignature) {
    TraceHelper trace(TEXT("PKCS10CalculateHashandSign"));
    const char* op = "PKCS10CalculateHashandSign";
    if (pszPublicKeyAlg == nullptr || pbData == nullptr || ppbSignature == nullptr ||
        pcbSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG,
                          "NULL == pszPublicKeyAlg || NULL == pbData");
    {
        UniqueKey key;
        if (!CryptGetUserKey(hProv, dwKeySpec, key.put()))
            return FAIL_LAST_ERROR(op, "CryptGetUserKey", "bRetCode == FALSE");
    }
    if (TraceIsEnabled(TRACE_FLAG_INFO)) {
        std::vector<BYTE> name;
        std::string strName;
        if (SUCCEEDED(GetProviderInfo(hProv, PP_NAME, &name)) && ProviderParamText(name, &strName))
            TraceValueA("provider", strName.c_str());
    }
    const auto layout = std::strcmp(pszPublicKeyAlg, kOidRsaEncryption) == 0
                            ? signatures::SignatureLayout::kRsa
                            : signatures::SignatureLayout::kSm2Halves;
    std::vector<BYTE> signature;
    signatures::FailedStep failed;
    HRESULT hResult = signatures::HashAndSignInProvider(
        hProv, dwKeySpec, algHash, layout, der::Bytes(pbData, cbData), signature, failed);
    if (FAILED(hResult))
        return TRACE_FAIL(op, failed.pszStep, hResult, failed.pszReason);
    std::unique_ptr<BYTE[]> out(new (std::nothrow) BYTE[signature.empty() ? 1 : signature.size()]);
    if (!out)
        return TRACE_FAIL(op, "New buffer", E_OUTOFMEMORY, "!pbSignature");
    std::copy(signature.begin(), signature.end(), out.get());
    *ppbSignature = out.release();
    *pcbSignature = DWORD(signature.size());
    return VURO_OK;
}

HRESULT SM2EncodeRawSignature(const BYTE* pbSignature, DWORD cbSignature, BYTE** ppbEncoded,
                              DWORD* pcbEncoded) {
    const char* op = "SM2EncodeRawSignature";
    if (pbSignature == nullptr || cbSignature != signatures::kSm2RawSignatureSize ||
        ppbEncoded == nullptr || pcbEncoded == nullptr)
        return TRACE_FAIL(op, "Check SM2 raw signature size",
                          HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "dwSignatureLen != 64");
    const HRESULT hResult = der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](der::DerWriter& w) {
        return signatures::WriteSm2Signature(w, der::Bytes(pbSignature, cbSignature));
    });
    if (FAILED(hResult))
        TRACE_FAILED(op, "SEQUENCE", hResult, "FAILED(hResult)");
    return hResult;
}

HRESULT ComposeSignature(BOOL bSM2, const BYTE* pbSignature, DWORD cbSignature, BYTE** ppbEncoded,
                         DWORD* pcbEncoded) {
    if ((pbSignature == nullptr && cbSignature != 0) || ppbEncoded == nullptr ||
        pcbEncoded == nullptr) {
        const HRESULT hResult = bSM2 ? HRESULT_FROM_WIN32(ERROR_INVALID_DATA) : E_POINTER;
        return TRACE_FAIL("ComposeSignature", "Check parameter", hResult, "NULL == pbSignature");
    }
    return der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](der::DerWriter& w) {
        return WriteSignatureBits(w, bSM2, der::Bytes(pbSignature, cbSignature));
    });
}

HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszSource, DWORD cchSource,
                                                       char** ppszDest, DWORD* pcchDest) {
    if ((pszSource == nullptr && cchSource != 0) || ppszDest == nullptr || pcchDest == nullptr)
        return E_INVALIDARG;
    constexpr DWORD kLine = 64;
    DWORD cchText = 0;
    for (DWORD i = 0; i < cchSource; ++i)
        if (pszSource[i] != '\r' && pszSource[i] != '\n')
            ++cchText;
    const DWORD cBreaks = cchText == 0 ? 0 : (cchText - 1) / kLine;
    const DWORD cchDest = cchText + 2 * cBreaks;
    std::unique_ptr<char[]> pszDest(new (std::nothrow) char[cchDest + 1]);
    if (!pszDest)
        return E_OUTOFMEMORY;
    DWORD cchAt = 0, cchInLine = 0;
    for (DWORD i = 0; i < cchSource; ++i) {
        const char c = pszSource[i];
        if (c == '\r' || c == '\n')
            continue;
        if (cchInLine == kLine) {
            pszDest[cchAt++] = '\r';
            pszDest[cchAt++] = '\n';
            cchInLine = 0;
        }
        pszDest[cchAt++] = c;
        ++cchInLine;
    }
    pszDest[cchAt] = '\0';
    *ppszDest = pszDest.release();
    *pcchDest = cchAt;
    return VURO_OK;
}

namespace {

// The request of PKCS10RequestBase64 once its arguments are checked.
HRESULT EncodeRequest(const PKCS10RequestParams& params, const BYTE* pbTempPublicKey) {
    const char* op = "PKCS10RequestBase64";
    // SM2 keys arrive as provider blobs; a short blob is refused rather than
    // read past its end.
    SM2Point signPoint{};
    SM2TemporaryKey tempKey{};
    const BYTE* pbSignKey = params.pbSignPublicKey;
    DWORD cbSignKey = params.cbSignPublicKey;
    const BYTE* pbTempKey = pbTempPublicKey;
    DWORD cbTempKey = params.cbTempPublicKey;
    if (params.bSM2) {
        HRESULT hResult =
            SM2PointFromBlob(params.pbSignPublicKey, params.cbSignPublicKey, signPoint);
        if (SUCCEEDED(hResult) && cbTempKey != 0)
            hResult = SM2TemporaryKeyFromBlob(pbTempPublicKey, cbTempKey, tempKey);
        if (FAILED(hResult))
            return TRACE_FAIL(op, "Check SM2 public key blob size", hResult, "cbBlob < 140");
        pbSignKey = signPoint.data();
        cbSignKey = DWORD(signPoint.size());
        if (cbTempKey != 0) {
            pbTempKey = tempKey.data();
            cbTempKey = DWORD(tempKey.size());
        }
    }

    der::DerWriter info;
    HRESULT hResult =
        WriteCertRequestInfo(info, params, pbSignKey, cbSignKey, pbTempKey, cbTempKey);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "ComposeCertRequestInfo", hResult, "FAILED(hResult)");
    // The algorithm before the signature: a request that cannot be written
    // never asks the provider (a token may want its PIN) to sign.
    der::DerWriter algorithm;
    hResult = names::WriteSpecialAttribute(algorithm, params.pszSignAlg, nullptr, 0);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "ComposeSignAlgorithm", hResult, "FAILED(hResult)");
    BYTE* pbRaw = nullptr;
    DWORD cbRaw = 0;
    hResult = PKCS10CalculateHashandSign(params.hProv, params.dwKeySpec, params.algHash,
                                         params.pszPublicKeyAlg, info.Encoding().data(),
                                         DWORD(info.Encoding().size()), &pbRaw, &cbRaw);
    std::unique_ptr<BYTE[]> signature(pbRaw);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "PKCS10CalculateHashandSign", hResult, "FAILED(hResult)");

    // CertificationRequest ::= SEQUENCE {
    //     certificationRequestInfo  CertificationRequestInfo,
    //     signatureAlgorithm        AlgorithmIdentifier,  -- { OBJECT IDENTIFIER, NULL }
    //     signature                 BIT STRING }
    der::DerWriter request;
    request.Constructed(der::tag::kSequence, [&](der::DerWriter& seq) {
        seq.Raw(info.Encoding());
        seq.Raw(algorithm.Encoding());
        hResult = WriteSignatureBits(seq, params.bSM2, der::Bytes(signature.get(), cbRaw));
        if (FAILED(hResult))
            TRACE_FAILED(op, "ComposeSignature", hResult, "FAILED(hResult)");
    });
    if (FAILED(hResult))
        return hResult;
    if (request.Error() != 0)
        return TRACE_FAIL(op, "CertificationRequest", HRESULT(request.Error()), "FAILED(hResult)");
    const std::vector<BYTE>& der = request.Encoding();

    std::string strBase64;
    hResult = Base64EncodeEx(0, &strBase64, der.data(), DWORD(der.size()));
    if (TRACE_IF(FAILED(hResult), op, "Base64EncodeEx", hResult))
        return hResult;
    char* pszText = nullptr;
    DWORD cchText = 0;
    hResult = TransformBase64EncodedDatatoHoldCRLFPer64Chars(
        strBase64.c_str(), DWORD(strBase64.size()), &pszText, &cchText);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "TransformBase64EncodedDatatoHoldCRLFPer64Chars", hResult,
                     "FAILED(hResult)");
        return hResult;
    }
    *params.ppszRequest = pszText;
    *params.pcchRequest = cchText;
    return VURO_OK;
}

} // namespace

HRESULT PKCS10RequestBase64(const PKCS10RequestParams& params, const BYTE* pbTempPublicKey) {
    TraceHelper trace(TEXT("PKCS10RequestBase64"));
    const char* op = "PKCS10RequestBase64";
    if (params.pwszSubject == nullptr || params.pszPublicKeyAlg == nullptr ||
        params.pszSignAlg == nullptr || params.pbSignPublicKey == nullptr ||
        params.ppszRequest == nullptr || params.pcchRequest == nullptr ||
        (params.cbTempPublicKey != 0 && pbTempPublicKey == nullptr)) {
        TRACE_FAILED(op, "Check parameter", E_INVALIDARG, "params == NULL");
        return E_INVALIDARG;
    }

    try {
        return EncodeRequest(params, pbTempPublicKey);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New Memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
}
