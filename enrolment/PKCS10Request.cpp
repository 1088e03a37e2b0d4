#include "enrolment/PKCS10Request.h"

#include "foundation/ASN1Engine.h"
#include "foundation/CertificateChainOperate.h"
#include "foundation/Misc.h"
#include "certificates/Names.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#define TRACE_MODULE "PKCS10Request"

namespace {

// An owned new[] byte array with its length, as every step hands them out.
struct Buffer {
    std::unique_ptr<BYTE[]> p;
    DWORD cb = 0;

    const BYTE* data() const { return p.get(); }
    // Out-parameter adaptor: Step(..., buf.Out(), &buf.cb).
    BYTE** Out() {
        p.reset();
        pRaw = nullptr;
        return &pRaw;
    }
    void Adopt() { p.reset(pRaw); }
    BYTE* pRaw = nullptr;
};

// Runs one encoding step and takes ownership of what it handed out.
template <class Step> HRESULT Run(Buffer& out, Step step) {
    const HRESULT hResult = step(out.Out(), &out.cb);
    out.Adopt();
    return hResult;
}

// Concatenates the parts; an overflowing total is refused.
HRESULT Concat(std::initializer_list<const Buffer*> parts, Buffer& out) {
    DWORD cbTotal = 0;
    for (const Buffer* part : parts) {
        if (part->cb > 0xFFFFFFFFu - cbTotal)
            return E_OUTOFMEMORY;
        cbTotal += part->cb;
    }
    std::unique_ptr<BYTE[]> p(new (std::nothrow) BYTE[cbTotal ? cbTotal : 1]);
    if (!p)
        return E_OUTOFMEMORY;
    DWORD cbAt = 0;
    for (const Buffer* part : parts) {
        if (part->cb != 0)
            std::memcpy(p.get() + cbAt, part->data(), part->cb);
        cbAt += part->cb;
    }
    out.p = std::move(p);
    out.cb = cbTotal;
    return VURO_OK;
}

HRESULT Wrap(DWORD dwTag, const Buffer& content, Buffer& out) {
    return Run(out, [&](BYTE** pp, DWORD* pcb) {
        return ASN1Encode(dwTag, content.data(), content.cb, pp, pcb);
    });
}

HRESULT HandOut(Buffer& buf, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    *ppbEncoded = buf.p.release();
    *pcbEncoded = buf.cb;
    return VURO_OK;
}

// The uncompressed point 04 || X || Y of an exported SM2 public-key blob.
HRESULT SM2PointFromBlob(const BYTE* pbBlob, DWORD cbBlob, Buffer& out) {
    if (pbBlob == nullptr || cbBlob < kSM2PublicKeyBlobSize)
        return NTE_BAD_KEY;
    out.p.reset(new (std::nothrow) BYTE[1 + 2 * kSM2CoordinateSize]);
    if (!out.p)
        return E_OUTOFMEMORY;
    const BYTE* pbX = pbBlob + kSM2BlobHeaderSize + 4;
    const BYTE* pbY = pbX + kSM2FieldSize;
    out.p[0] = 0x04;
    std::memcpy(&out.p[1], pbX, kSM2CoordinateSize);
    std::memcpy(&out.p[1 + kSM2CoordinateSize], pbY, kSM2CoordinateSize);
    SwapByteOrder(&out.p[1], kSM2CoordinateSize);
    SwapByteOrder(&out.p[1 + kSM2CoordinateSize], kSM2CoordinateSize);
    out.cb = 1 + 2 * kSM2CoordinateSize;
    return VURO_OK;
}

// The temporary SM2 key as issuers read it: LE32 0xB400, LE32 256, then the
// blob's two 64-byte fields with their first 32 bytes turned big-endian.
HRESULT SM2TemporaryKeyFromBlob(const BYTE* pbBlob, DWORD cbBlob, Buffer& out) {
    if (pbBlob == nullptr || cbBlob < kSM2PublicKeyBlobSize)
        return NTE_BAD_KEY;
    out.p.reset(new (std::nothrow) BYTE[kSM2TemporaryKeySize]);
    if (!out.p)
        return E_OUTOFMEMORY;
    static constexpr BYTE kHead[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    std::memcpy(out.p.get(), kHead, sizeof kHead);
    BYTE* pbFields = out.p.get() + sizeof kHead;
    std::memcpy(pbFields, pbBlob + kSM2BlobHeaderSize + 4, 2 * kSM2FieldSize);
    SwapByteOrder(pbFields, kSM2CoordinateSize);
    SwapByteOrder(pbFields + kSM2FieldSize, kSM2CoordinateSize);
    out.cb = kSM2TemporaryKeySize;
    return VURO_OK;
}

// INTEGER of a big-endian unsigned number: no redundant leading zeros, a sign
// octet when the top bit is set.
HRESULT ComposeUnsignedInteger(const BYTE* pbValue, DWORD cbValue, Buffer& out) {
    while (cbValue > 1 && pbValue[0] == 0 && (pbValue[1] & 0x80) == 0) {
        ++pbValue;
        --cbValue;
    }
    Buffer content;
    const bool bSign = (pbValue[0] & 0x80) != 0;
    content.cb = cbValue + (bSign ? 1 : 0);
    content.p.reset(new (std::nothrow) BYTE[content.cb]);
    if (!content.p)
        return E_OUTOFMEMORY;
    content.p[0] = 0;
    std::memcpy(&content.p[bSign ? 1 : 0], pbValue, cbValue);
    return Wrap(0x02, content, out);
}

} // namespace

HRESULT ComposeSignPublicKeyData(const char* pszPublicKeyAlg, const char* pszCurve,
                                 const BYTE* pbPublicKey, DWORD cbPublicKey, BYTE** ppbEncoded,
                                 DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeSignPublicKeyData"));
    const char* op = "ComposeSignPublicKeyData";
    if (pszPublicKeyAlg == nullptr || pbPublicKey == nullptr || cbPublicKey == 0 ||
        ppbEncoded == nullptr || pcbEncoded == nullptr) {
        TRACE_FAILED(op, "Check parameter", E_INVALIDARG, "pbPublicKey == NULL");
        return E_INVALIDARG;
    }
    Buffer algorithm;
    HRESULT hResult;
    if (pszCurve != nullptr && pszCurve[0] != '\0') {
        // AlgorithmIdentifier ::= SEQUENCE { id-ecPublicKey, namedCurve OID }:
        // the curve's OID TLV is cut out of SEQUENCE { curve, NULL }.
        Buffer curveAlg;
        hResult = Run(curveAlg, [&](BYTE** pp, DWORD* pcb) {
            return ComposeSpecialAttribute(pszCurve, nullptr, 0, pp, pcb);
        });
        if (FAILED(hResult) || curveAlg.cb < 6 || curveAlg.p[0] != 0x30 || curveAlg.p[1] >= 0x80) {
            hResult = FAILED(hResult) ? hResult : E_FAIL;
            TRACE_FAILED(op, "ComposeSpecialAttribute(curve)", hResult, "FAILED(hResult)");
            return hResult;
        }
        const BYTE* pbCurveOid = curveAlg.data() + 2;
        const DWORD cbCurveOid = curveAlg.cb - 2 - 2;
        hResult = Run(algorithm, [&](BYTE** pp, DWORD* pcb) {
            return ComposeSpecialAttribute(pszPublicKeyAlg, pbCurveOid, cbCurveOid, pp, pcb);
        });
    } else {
        hResult = Run(algorithm, [&](BYTE** pp, DWORD* pcb) {
            return ComposeSpecialAttribute(pszPublicKeyAlg, nullptr, 0, pp, pcb);
        });
    }
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "ComposeSpecialAttribute", hResult, "FAILED(hResult)");
        return hResult;
    }
    Buffer key, content, spki;
    hResult = Run(key, [&](BYTE** pp, DWORD* pcb) {
        return ComposeBITString(cbPublicKey, pbPublicKey, pp, pcb);
    });
    if (SUCCEEDED(hResult))
        hResult = Concat({&algorithm, &key}, content);
    if (SUCCEEDED(hResult))
        hResult = Wrap(0x30, content, spki);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "SubjectPublicKeyInfo", hResult, "FAILED(hResult)");
        return hResult;
    }
    return HandOut(spki, ppbEncoded, pcbEncoded);
}

HRESULT ComposeAttributes(BOOL bStandard, const BYTE* pbTempPublicKey, DWORD cbTempPublicKey,
                          BYTE** ppbEncoded, DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeAttributes"));
    const char* op = "ComposeAttributes";
    if (pbTempPublicKey == nullptr || cbTempPublicKey == 0 || ppbEncoded == nullptr ||
        pcbEncoded == nullptr) {
        TRACE_FAILED(op, "Check parameter", E_INVALIDARG, "pbTempPublicKey == NULL");
        return E_INVALIDARG;
    }
    auto compose = [&](const char* pszOid, const Buffer& value, Buffer& out) {
        return Run(out, [&](BYTE** pp, DWORD* pcb) {
            return bStandard ? ComposeStandardAttribute(pszOid, value.data(), value.cb, pp, pcb)
                             : ComposeSpecialAttribute(pszOid, value.data(), value.cb, pp, pcb);
        });
    };

    // challengePassword: PrintableString "482915".
    Buffer password, passwordAttr;
    HRESULT hResult = Run(password, [&](BYTE** pp, DWORD* pcb) {
        return ComposeAnyString(DWORD(std::strlen(kChallengePassword)), CERT_RDN_PRINTABLE_STRING,
                                reinterpret_cast<const BYTE*>(kChallengePassword), pp, pcb);
    });
    if (SUCCEEDED(hResult))
        hResult = compose(kOidChallengePassword, password, passwordAttr);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "challengePassword", hResult, "FAILED(hResult)");
        return hResult;
    }

    // Temporary key: OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } }.
    static constexpr BYTE kVersionOne[] = {0x02, 0x01, 0x01};
    Buffer version, key, keySeqContent, keySeq, keyOctets, keyAttr;
    version.p.reset(new (std::nothrow) BYTE[sizeof kVersionOne]);
    if (!version.p)
        return E_OUTOFMEMORY;
    std::memcpy(version.p.get(), kVersionOne, sizeof kVersionOne);
    version.cb = sizeof kVersionOne;
    hResult = Run(key, [&](BYTE** pp, DWORD* pcb) {
        return ASN1Encode(0x04, pbTempPublicKey, cbTempPublicKey, pp, pcb);
    });
    if (SUCCEEDED(hResult))
        hResult = Concat({&version, &key}, keySeqContent);
    if (SUCCEEDED(hResult))
        hResult = Wrap(0x30, keySeqContent, keySeq);
    if (SUCCEEDED(hResult))
        hResult = Wrap(0x04, keySeq, keyOctets);
    if (SUCCEEDED(hResult))
        hResult = compose(kOidTemporaryPublicKey, keyOctets, keyAttr);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "temporary public key", hResult, "FAILED(hResult)");
        return hResult;
    }

    Buffer both, attributes;
    hResult = Concat({&passwordAttr, &keyAttr}, both);
    if (SUCCEEDED(hResult))
        hResult = Wrap(0xA0, both, attributes);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "[0] attributes", hResult, "FAILED(hResult)");
        return hResult;
    }
    return HandOut(attributes, ppbEncoded, pcbEncoded);
}

HRESULT ComposeCertRequestInfo(const PKCS10RequestParams& params, const BYTE* pbSignPublicKey,
                               DWORD cbSignPublicKey, const BYTE* pbTempPublicKey,
                               DWORD cbTempPublicKey, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeCertRequestInfo"));
    const char* op = "ComposeCertRequestInfo";
    if (ppbEncoded == nullptr || pcbEncoded == nullptr) {
        TRACE_FAILED(op, "Check parameter", E_INVALIDARG, "ppbEncoded == NULL");
        return E_INVALIDARG;
    }
    Buffer version, name, spki, attributes;
    static constexpr BYTE kVersionZero[] = {0x02, 0x01, 0x00};
    version.p.reset(new (std::nothrow) BYTE[sizeof kVersionZero]);
    if (!version.p)
        return E_OUTOFMEMORY;
    std::memcpy(version.p.get(), kVersionZero, sizeof kVersionZero);
    version.cb = sizeof kVersionZero;

    HRESULT hResult = Run(
        name, [&](BYTE** pp, DWORD* pcb) { return ComposeSubject(params.pwszSubject, pp, pcb); });
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "ComposeSubject", hResult, "FAILED(hResult)");
        return hResult;
    }
    hResult = Run(spki, [&](BYTE** pp, DWORD* pcb) {
        return ComposeSignPublicKeyData(params.pszPublicKeyAlg, params.pszCurve, pbSignPublicKey,
                                        cbSignPublicKey, pp, pcb);
    });
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "ComposeSignPublicKeyData", hResult, "FAILED(hResult)");
        return hResult;
    }
    if (cbTempPublicKey != 0) {
        hResult = Run(attributes, [&](BYTE** pp, DWORD* pcb) {
            return ComposeAttributes(params.bStandardAttributes, pbTempPublicKey, cbTempPublicKey,
                                     pp, pcb);
        });
        if (FAILED(hResult)) {
            TRACE_FAILED(op, "ComposeAttributes", hResult, "FAILED(hResult)");
            return hResult;
        }
    }
    Buffer content, info;
    hResult = Concat({&version, &name, &spki, &attributes}, content);
    if (SUCCEEDED(hResult))
        hResult = Wrap(0x30, content, info);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "CertificationRequestInfo", hResult, "FAILED(hResult)");
        return hResult;
    }
    return HandOut(info, ppbEncoded, pcbEncoded);
}

HRESULT ComposeSignAlgorithm(const char* pszSignAlg, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    if (pszSignAlg == nullptr || ppbEncoded == nullptr || pcbEncoded == nullptr)
        return E_INVALIDARG;
    return ComposeSpecialAttribute(pszSignAlg, nullptr, 0, ppbEncoded, pcbEncoded);
}

HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, DWORD dwKeySpec, ALG_ID algHash,
                                   const char* pszPublicKeyAlg, const BYTE* pbData, DWORD cbData,
                                   BYTE** ppbSignature, DWORD* pcbSignature) {
    TraceHelper trace(TEXT("PKCS10CalculateHashandSign"));
    const char* op = "PKCS10CalculateHashandSign";
    if (pszPublicKeyAlg == nullptr || pbData == nullptr || ppbSignature == nullptr ||
        pcbSignature == nullptr) {
        TRACE_FAILED(op, "Check parameter", E_INVALIDARG, "pbData == NULL");
        return E_INVALIDARG;
    }
    HCRYPTKEY hKey = 0;
    if (!CryptGetUserKey(hProv, dwKeySpec, &hKey)) {
        return FAIL_LAST_ERROR(op, "CryptGetUserKey", "bRetCode == FALSE");
    }
    CryptDestroyKey(hKey);
    if (TraceIsEnabled(TRACE_FLAG_INFO)) {
        DWORD cbName = 0;
        BYTE* pbName = nullptr;
        if (SUCCEEDED(GetProviderInfo(&cbName, hProv, PP_NAME, &pbName))) {
            TraceValueA("provider", reinterpret_cast<const char*>(pbName));
            delete[] pbName;
        }
    }

    HCRYPTHASH hHash = 0;
    if (!CryptCreateHash(hProv, algHash, 0, 0, &hHash)) {
        return FAIL_LAST_ERROR(op, "CryptCreateHash", "bRetCode == FALSE");
    }
    struct HashGuard {
        HCRYPTHASH h;
        ~HashGuard() { CryptDestroyHash(h); }
    } hashGuard{hHash};

    constexpr DWORD kChunk = 16384;
    for (DWORD cbDone = 0; cbDone < cbData;) {
        const DWORD cbPart = std::min(kChunk, cbData - cbDone);
        if (!CryptHashData(hHash, pbData + cbDone, cbPart, 0)) {
            return FAIL_LAST_ERROR(op, "CryptHashData", "bRetCode == FALSE");
        }
        cbDone += cbPart;
    }

    const bool bRSA = std::strcmp(pszPublicKeyAlg, kOidRsaEncryption) == 0;
    DWORD cbSignature = 0;
    if (!CryptSignHashW(hHash, dwKeySpec, nullptr, 0, nullptr, &cbSignature)) {
        return FAIL_LAST_ERROR(op, "CryptSignHash", "bRetCode == FALSE");
    }
    // SM2 providers write into a fixed, generous buffer: their answer to the
    // size query is not relied on.
    if (!bRSA)
        cbSignature = std::max(cbSignature, kChunk);
    std::unique_ptr<BYTE[]> pbSignature(new (std::nothrow) BYTE[cbSignature]());
    if (!pbSignature) {
        TRACE_FAILED(op, "New buffer", E_OUTOFMEMORY, "!pbSignature");
        return E_OUTOFMEMORY;
    }
    if (!CryptSignHashW(hHash, dwKeySpec, nullptr, 0, pbSignature.get(), &cbSignature)) {
        return FAIL_LAST_ERROR(op, "CryptSignHash", "bRetCode == FALSE");
    }
    // Providers answer least significant byte first: RSA as one number, SM2
    // as r then s.
    if (bRSA) {
        SwapByteOrder(pbSignature.get(), cbSignature);
    } else if (cbSignature >= 2 * kSM2CoordinateSize) {
        SwapByteOrder(pbSignature.get(), kSM2CoordinateSize);
        SwapByteOrder(pbSignature.get() + kSM2CoordinateSize, kSM2CoordinateSize);
    }
    *ppbSignature = pbSignature.release();
    *pcbSignature = cbSignature;
    return VURO_OK;
}

HRESULT SM2EncodeRawSignature(const BYTE* pbSignature, DWORD cbSignature, BYTE** ppbEncoded,
                              DWORD* pcbEncoded) {
    const char* op = "SM2EncodeRawSignature";
    if (pbSignature == nullptr || cbSignature != 2 * kSM2CoordinateSize || ppbEncoded == nullptr ||
        pcbEncoded == nullptr) {
        const HRESULT hResult = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        TRACE_FAILED(op, "Check SM2 raw signature size", hResult, "dwSignatureLen != 64");
        return hResult;
    }
    // SM2Signature ::= SEQUENCE { r INTEGER, s INTEGER }
    Buffer r, s, content, sequence;
    HRESULT hResult = ComposeUnsignedInteger(pbSignature, kSM2CoordinateSize, r);
    if (SUCCEEDED(hResult))
        hResult = ComposeUnsignedInteger(pbSignature + kSM2CoordinateSize, kSM2CoordinateSize, s);
    if (SUCCEEDED(hResult))
        hResult = Concat({&r, &s}, content);
    if (SUCCEEDED(hResult))
        hResult = Wrap(0x30, content, sequence);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "SEQUENCE", hResult, "FAILED(hResult)");
        return hResult;
    }
    return HandOut(sequence, ppbEncoded, pcbEncoded);
}

HRESULT ComposeSignature(BOOL bSM2, const BYTE* pbSignature, DWORD cbSignature, BYTE** ppbEncoded,
                         DWORD* pcbEncoded) {
    const char* op = "ComposeSignature";
    Buffer raw;
    if (bSM2) {
        const HRESULT hResult = Run(raw, [&](BYTE** pp, DWORD* pcb) {
            return SM2EncodeRawSignature(pbSignature, cbSignature, pp, pcb);
        });
        if (FAILED(hResult)) {
            TRACE_FAILED(op, "SM2EncodeRawSignature", hResult, "FAILED(hResult)");
            return hResult;
        }
        pbSignature = raw.data();
        cbSignature = raw.cb;
    }
    const HRESULT hResult = ComposeBITString(cbSignature, pbSignature, ppbEncoded, pcbEncoded);
    if (FAILED(hResult))
        TRACE_FAILED(op, "ComposeBITString", hResult, "FAILED(hResult)");
    return hResult;
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

    // SM2 keys arrive as provider blobs; a short blob is refused rather than
    // read past its end.
    Buffer signPoint, tempKey;
    const BYTE* pbSignKey = params.pbSignPublicKey;
    DWORD cbSignKey = params.cbSignPublicKey;
    const BYTE* pbTempKey = pbTempPublicKey;
    DWORD cbTempKey = params.cbTempPublicKey;
    if (params.bSM2) {
        HRESULT hResult =
            SM2PointFromBlob(params.pbSignPublicKey, params.cbSignPublicKey, signPoint);
        if (SUCCEEDED(hResult) && cbTempKey != 0)
            hResult = SM2TemporaryKeyFromBlob(pbTempPublicKey, cbTempKey, tempKey);
        if (FAILED(hResult)) {
            TRACE_FAILED(op, "Check SM2 public key blob size", hResult, "cbBlob < 140");
            return hResult;
        }
        pbSignKey = signPoint.data();
        cbSignKey = signPoint.cb;
        if (cbTempKey != 0) {
            pbTempKey = tempKey.data();
            cbTempKey = tempKey.cb;
        }
    }

    Buffer info, algorithm, signature, signatureBits;
    HRESULT hResult = Run(info, [&](BYTE** pp, DWORD* pcb) {
        return ComposeCertRequestInfo(params, pbSignKey, cbSignKey, pbTempKey, cbTempKey, pp, pcb);
    });
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "ComposeCertRequestInfo", hResult, "FAILED(hResult)");
        return hResult;
    }
    hResult = Run(algorithm, [&](BYTE** pp, DWORD* pcb) {
        return ComposeSignAlgorithm(params.pszSignAlg, pp, pcb);
    });
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "ComposeSignAlgorithm", hResult, "FAILED(hResult)");
        return hResult;
    }
    hResult = Run(signature, [&](BYTE** pp, DWORD* pcb) {
        return PKCS10CalculateHashandSign(params.hProv, params.dwKeySpec, params.algHash,
                                          params.pszPublicKeyAlg, info.data(), info.cb, pp, pcb);
    });
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "PKCS10CalculateHashandSign", hResult, "FAILED(hResult)");
        return hResult;
    }
    hResult = Run(signatureBits, [&](BYTE** pp, DWORD* pcb) {
        return ComposeSignature(params.bSM2, signature.data(), signature.cb, pp, pcb);
    });
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "ComposeSignature", hResult, "FAILED(hResult)");
        return hResult;
    }

    Buffer content, request;
    hResult = Concat({&info, &algorithm, &signatureBits}, content);
    if (SUCCEEDED(hResult))
        hResult = Wrap(0x30, content, request);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "CertificationRequest", hResult, "FAILED(hResult)");
        return hResult;
    }

    char* pszRaw = nullptr;
    DWORD cchRaw = 0;
    hResult = Base64EncodeEx(0, &pszRaw, request.data(), request.cb, &cchRaw);
    std::unique_ptr<char[]> pszBase64(pszRaw);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "Base64EncodeEx", hResult, "FAILED(hResult)");
        return hResult;
    }
    char* pszText = nullptr;
    DWORD cchText = 0;
    hResult =
        TransformBase64EncodedDatatoHoldCRLFPer64Chars(pszBase64.get(), cchRaw, &pszText, &cchText);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "TransformBase64EncodedDatatoHoldCRLFPer64Chars", hResult,
                     "FAILED(hResult)");
        return hResult;
    }
    *params.ppszRequest = pszText;
    *params.pcchRequest = cchText;
    return VURO_OK;
}
