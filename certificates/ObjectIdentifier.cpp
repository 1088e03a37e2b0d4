// Object identifiers alone, as the vendor key structures carry them.
#include "certificates/Names.h"

#include "der/Der.h"
#include "foundation/Trace.h"

// The identifier first served the encryption-key import, whose traces it keeps.
#define TRACE_MODULE "ImportEncryptCert"

HRESULT ComposeObjectIdentifier(const char* pszObjectID, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeObjectIdentifier"));
    if (pszObjectID == nullptr || ppbEncoded == nullptr || pcbEncoded == nullptr)
        return E_POINTER;
    const HRESULT hResult =
        orvane::der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](orvane::der::DerWriter& w) {
            orvane::der::WriteOid(w, pszObjectID);
            return VURO_OK;
        });
    if (FAILED(hResult))
        TRACE_FAILED_W(TEXT("ComposeObjectIdentifier"), TEXT("WriteOid"), hResult,
                       TEXT("FAILED(hResult)"));
    return hResult;
}
