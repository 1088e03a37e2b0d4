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
                                     "spki.Error() != 0");
                return;
            }
        } else {
            hResult = names::WriteSpecialAttribute(spki, pszPublicKeyAlg, nullptr, 0);
            if (TRACE_IF(FAILED(hResult), op, "ComposeSpecialAttribute", hResult)) {
                return;
            }
        }
        names::WriteBitString(spki, der::Bytes(pbPublicKey, cbPublicKey));
    });
    if (SUCCEEDED(hResult) && w.Error() != 0)
        hResult = TRACE_FAIL(op, "SubjectPublicKeyInfo", HRESULT(w.Error()), "w.Error() != 0");
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
        if (TRACE_IF(FAILED(hResult), op, "challengePassword", hResult)) {
            return;
        }
        hResult =
            WriteAttribute(attributes, bStandard, kOidTemporaryPublicKey, temporaryKey.Encoding());
        static_cast<void>(TRACE_IF(FAILED(hResult), op, "temporary public key", hResult));
    });
    if (SUCCEEDED(hResult) && w.Error() != 0)
        hResult = TRACE_FAIL(op, "[0] attributes", HRESULT(w.Error()), "w.Error() != 0");
    return hResult;
}

// CertificationRequestInfo ::= SEQUENCE {
//     version        INTEGER { v1(0) },
//     subject        Name,
//     subjectPKInfo  SubjectPublicKeyInfo,
//     attributes     [0] Attributes }  -- double certificates only
HRESULT WriteCertRequestInfo(der::DerWriter& w, const PKCS10RequestParams& params,
                             der::Bytes signPublicKey, der::Bytes tempPublicKey) {
    const char* op = "ComposeCertRequestInfo";
    HRESULT hResult = VURO_OK;
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& info) {
        der::WriteInt32(info, 0);
        hResult = names::WriteName(info, params.pwszSubject);
        if (TRACE_IF(FAILED(hResult), op, "ComposeSubject", hResult)) {
            return;
        }
        const orvane::keys::RequestOids& oids = params.pFamily->Request();
        hResult = WriteSubjectPublicKeyInfo(info, oids.pszPublicKey, oids.pszCurve,
                                            signPublicKey.data(), DWORD(signPublicKey.size()));
        if (TRACE_IF(FAILED(hResult), op, "ComposeSignPublicKeyData", hResult)) {
            return;
        }
        if (!tempPublicKey.empty()) {
            hResult = WriteAttributes(info, params.bStandardAttributes, tempPublicKey.data(),
                                      DWORD(tempPublicKey.size()));
            static_cast<void>(TRACE_IF(FAILED(hResult), op, "ComposeAttributes", hResult));
        }
    });
    if (SUCCEEDED(hResult) && w.Error() != 0)
        hResult = TRACE_FAIL(op, "CertificationRequestInfo", HRESULT(w.Error()), "w.Error() != 0");
    return hResult;
}

// The signature's BIT STRING: the family's signature value.
HRESULT WriteSignatureBits(der::DerWriter& w, const orvane::keys::KeyFamily& family,
                           der::Bytes signature) {
    der::DerWriter value;
    const HRESULT hResult = family.WriteSignatureValue(value, signature);
    if (TRACE_IF(FAILED(hResult), "ComposeSignature", "WriteSignatureValue", hResult)) {
        w.Fail(DWORD(hResult));
        return hResult;
    }
    names::WriteBitString(w, value.Encoding());
    return HRESULT(w.Error());
}

} // namespace

HRESULT ComposeSignPublicKeyData(const char* pszPublicKeyAlg, const char* pszCurve,
                                 const BYTE* pbPublicKey, DWORD cbPublicKey,
                                 std::vector<BYTE>& encoded) {
    TraceHelper trace(TEXT("ComposeSignPublicKeyData"));
    return der::EncodeInto(encoded, [&](der::DerWriter& w) {
        return WriteSubjectPublicKeyInfo(w, pszPublicKeyAlg, pszCurve, pbPublicKey, cbPublicKey);
    });
}

HRESULT ComposeAttributes(BOOL bStandard, const BYTE* pbTempPublicKey, DWORD cbTempPublicKey,
                          std::vector<BYTE>& encoded) {
    TraceHelper trace(TEXT("ComposeAttributes"));
    return der::EncodeInto(encoded, [&](der::DerWriter& w) {
        return WriteAttributes(w, bStandard, pbTempPublicKey, cbTempPublicKey);
    });
}

HRESULT ComposeCertRequestInfo(const PKCS10RequestParams& params, der::Bytes signPublicKey,
                               der::Bytes tempPublicKey, std::vector<BYTE>& encoded) {
    TraceHelper trace(TEXT("ComposeCertRequestInfo"));
    if (TRACE_IF(params.pFamily == nullptr || params.pwszSubject == nullptr,
                 "ComposeCertRequestInfo", "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    return der::EncodeInto(encoded, [&](der::DerWriter& w) {
        return WriteCertRequestInfo(w, params, signPublicKey, tempPublicKey);
    });
}

HRESULT ComposeSignAlgorithm(const char* pszSignAlg, std::vector<BYTE>& encoded) {
    if (pszSignAlg == nullptr)
        return E_INVALIDARG;
    return der::EncodeInto(encoded, [&](der::DerWriter& w) {
        return names::WriteSpecialAttribute(w, pszSignAlg, nullptr, 0);
    });
}

HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, DWORD dwKeySpec,
                                   const orvane::keys::KeyFamily& family, const BYTE* pbData,
                                   DWORD cbData, std::vector<BYTE>& signature) {
    TraceHelper trace(TEXT("PKCS10CalculateHashandSign"));
    const char* op = "PKCS10CalculateHashandSign";
    if (TRACE_IF(pbData == nullptr, op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
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
    std::vector<BYTE> value;
    signatures::FailedStep failed;
    HRESULT hResult =
        signatures::HashAndSignInProvider(hProv, dwKeySpec, family.HashAlgorithm(), family.Layout(),
                                          der::Bytes(pbData, cbData), value, failed);
    if (FAILED(hResult))
        return TRACE_FAIL(op, failed.pszStep, hResult, failed.pszReason);
    signature = std::move(value);
    return VURO_OK;
}

HRESULT SM2EncodeRawSignature(const BYTE* pbSignature, DWORD cbSignature,
                              std::vector<BYTE>& encoded) {
    const char* op = "SM2EncodeRawSignature";
    if (TRACE_IF(pbSignature == nullptr || cbSignature != signatures::kSm2RawSignatureSize, op,
                 "Check SM2 raw signature size", HRESULT_FROM_WIN32(ERROR_INVALID_DATA)))
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    const HRESULT hResult = der::EncodeInto(encoded, [&](der::DerWriter& w) {
        return signatures::WriteSm2Signature(w, der::Bytes(pbSignature, cbSignature));
    });
    static_cast<void>(TRACE_IF(FAILED(hResult), op, "SEQUENCE", hResult));
    return hResult;
}

HRESULT ComposeSignature(const orvane::keys::KeyFamily& family, const BYTE* pbSignature,
                         DWORD cbSignature, std::vector<BYTE>& encoded) {
    if (pbSignature == nullptr && cbSignature != 0) {
        // A family with a fixed signature size calls a missing one bad data.
        const HRESULT hResult =
            family.RawSignatureSize() != 0 ? HRESULT_FROM_WIN32(ERROR_INVALID_DATA) : E_POINTER;
        return TRACE_FAIL("ComposeSignature", "Check parameter", hResult, "NULL == pbSignature");
    }
    return der::EncodeInto(encoded, [&](der::DerWriter& w) {
        return WriteSignatureBits(w, family, der::Bytes(pbSignature, cbSignature));
    });
}

HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszSource, DWORD cchSource,
                                                       std::string& dest) {
    if (pszSource == nullptr && cchSource != 0)
        return E_INVALIDARG;
    constexpr DWORD kLine = 64;
    try {
        std::string text;
        text.reserve(cchSource + cchSource / kLine * 2);
        DWORD cchInLine = 0;
        for (DWORD i = 0; i < cchSource; ++i) {
            const char c = pszSource[i];
            if (c == '\r' || c == '\n')
                continue;
            if (cchInLine == kLine) {
                text += "\r\n";
                cchInLine = 0;
            }
            text += c;
            ++cchInLine;
        }
        dest = std::move(text);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return VURO_OK;
}

namespace {

// The request of PKCS10RequestBase64 once its arguments are checked.
HRESULT EncodeRequest(const PKCS10RequestParams& params, std::string& text) {
    const char* op = "PKCS10RequestBase64";
    const orvane::keys::KeyFamily& family = *params.pFamily;
    // Keys arrive as the provider exported them; one the family cannot read
    // (a short SM2 blob) is refused rather than read past its end.
    std::vector<BYTE> signKey, tempKey;
    HRESULT hResult = family.RequestPublicKey(params.signPublicKey, signKey);
    if (SUCCEEDED(hResult) && !params.tempPublicKey.empty())
        hResult = family.RequestTemporaryKey(params.tempPublicKey, tempKey);
    if (TRACE_IF(FAILED(hResult), op, "Check public key blob size", hResult))
        return hResult;

    der::DerWriter info;
    hResult = WriteCertRequestInfo(info, params, signKey, tempKey);
    if (TRACE_IF(FAILED(hResult), op, "ComposeCertRequestInfo", hResult))
        return hResult;
    // The algorithm before the signature: a request that cannot be written
    // never asks the provider (a token may want its PIN) to sign.
    der::DerWriter algorithm;
    hResult = names::WriteSpecialAttribute(algorithm, family.Request().pszSignature, nullptr, 0);
    if (TRACE_IF(FAILED(hResult), op, "ComposeSignAlgorithm", hResult))
        return hResult;
    std::vector<BYTE> signature;
    hResult =
        PKCS10CalculateHashandSign(params.hProv, params.dwKeySpec, family, info.Encoding().data(),
                                   DWORD(info.Encoding().size()), signature);
    if (TRACE_IF(FAILED(hResult), op, "PKCS10CalculateHashandSign", hResult))
        return hResult;

    // CertificationRequest ::= SEQUENCE {
    //     certificationRequestInfo  CertificationRequestInfo,
    //     signatureAlgorithm        AlgorithmIdentifier,  -- { OBJECT IDENTIFIER, NULL }
    //     signature                 BIT STRING }
    der::DerWriter request;
    request.Constructed(der::tag::kSequence, [&](der::DerWriter& seq) {
        seq.Raw(info.Encoding());
        seq.Raw(algorithm.Encoding());
        hResult = WriteSignatureBits(seq, family, signature);
        static_cast<void>(TRACE_IF(FAILED(hResult), op, "ComposeSignature", hResult));
    });
    if (FAILED(hResult))
        return hResult;
    if (request.Error() != 0)
        return TRACE_FAIL(op, "CertificationRequest", HRESULT(request.Error()),
                          "request.Error() != 0");
    const std::vector<BYTE>& der = request.Encoding();

    std::string strBase64;
    hResult = Base64EncodeEx(0, &strBase64, der.data(), DWORD(der.size()));
    if (TRACE_IF(FAILED(hResult), op, "Base64EncodeEx", hResult))
        return hResult;
    hResult = TransformBase64EncodedDatatoHoldCRLFPer64Chars(strBase64.c_str(),
                                                             DWORD(strBase64.size()), text);
    if (TRACE_IF(FAILED(hResult), op, "TransformBase64EncodedDatatoHoldCRLFPer64Chars", hResult))
        return hResult;
    return VURO_OK;
}

} // namespace

HRESULT PKCS10RequestBase64(const PKCS10RequestParams& params, std::string& request) {
    TraceHelper trace(TEXT("PKCS10RequestBase64"));
    const char* op = "PKCS10RequestBase64";
    if (TRACE_IF(params.pwszSubject == nullptr || params.pFamily == nullptr ||
                     params.signPublicKey.empty(),
                 op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;

    try {
        return EncodeRequest(params, request);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New Memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
}
