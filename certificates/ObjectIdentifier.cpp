// Object identifiers alone, as the vendor key structures carry them.
#include "certificates/Names.h"

#include "der/Der.h"
#include "foundation/ASN1Engine.h"
#include "foundation/Trace.h"

// The identifier first served the encryption-key import, whose traces it keeps.
#define TRACE_MODULE "ImportEncryptCert"

HRESULT ComposeObjectIdentifier(const char* pszObjectID, std::vector<BYTE>* pEncoded) {
    TraceHelper trace(TEXT("ComposeObjectIdentifier"));
    if (pszObjectID == nullptr || pEncoded == nullptr)
        return E_POINTER;
    const HRESULT hResult = EncodeInto(pEncoded, [&](orvane::der::DerWriter& w) {
        orvane::der::WriteOid(w, pszObjectID);
        return VURO_OK;
    });
    static_cast<void>(TRACE_IF_W(FAILED(hResult), TEXT("ComposeObjectIdentifier"), TEXT("WriteOid"),
                                 hResult)); // traced only; the code goes back as it is
    return hResult;
}
