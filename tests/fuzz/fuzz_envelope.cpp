// Arbitrary UTF-16 text (the input's bytes taken two at a time, least
// significant first) through both envelope readers and the key-field reader.
// Whatever the issuer sends, a reader either refuses it with a failure code
// and hands out nothing, or hands out the key bytes it promises; it never
// reads outside the text.
#include "enrolment/EncryptCertEnvelope.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

void CheckParse(const WString& text, bool fNew) {
    BYTE* pbSession = nullptr;
    BYTE* pbPrivate = nullptr;
    DWORD cbSession = 0xDEAD, cbPrivate = 0xDEAD;
    ALG_ID alg = 0xDEAD;
    const HRESULT hr = fNew ? ParseEncryptCertPrivateKeyDataEx(text, &pbSession, &cbSession, &alg,
                                                               &pbPrivate, &cbPrivate)
                            : ParseEncryptCertPrivateKeyData(text, &pbSession, &cbSession, &alg,
                                                             &pbPrivate, &cbPrivate);
    std::unique_ptr<BYTE[]> session(pbSession), privateKey(pbPrivate);
    if (FAILED(hr)) {
        // Nothing handed out on failure.
        if (pbSession != nullptr || pbPrivate != nullptr || cbSession != 0xDEAD || alg != 0xDEAD)
            std::abort();
        return;
    }
    if (pbPrivate == nullptr)
        std::abort();
    // The old format always has a triple-DES session key; the new one may not.
    if (alg == CALG_3DES ? pbSession == nullptr : (!fNew || alg != 0 || pbSession != nullptr))
        std::abort();
    // Touch every byte handed out, so a short buffer shows.
    volatile BYTE sink = 0;
    for (DWORD i = 0; i < cbSession; ++i)
        sink = sink ^ pbSession[i];
    for (DWORD i = 0; i < cbPrivate; ++i)
        sink = sink ^ pbPrivate[i];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WString text;
    for (size_t i = 0; i + 1 < size; i += 2)
        text.push_back(WCHAR(data[i] | data[i + 1] << 8));
    CheckParse(text, false);
    CheckParse(text, true);

    // One key field at a position the input chooses, even past its end.
    size_t position = size != 0 ? data[0] : 0;
    WString key;
    const HRESULT hr = GetBase64KeyFromEncryptedData(text, &key, &position);
    if (SUCCEEDED(hr) && (position > text.size() || key.find(WCHAR(',')) != WString::npos))
        std::abort();

    // The input itself as a key field's DER.
    BYTE* pbKey = nullptr;
    DWORD cbKey = 0;
    if (SUCCEEDED(GetSessionKeyorPrivateKeyFromASN1Obj(data, DWORD(size), &pbKey, &cbKey))) {
        if (pbKey == nullptr || cbKey > size)
            std::abort();
        delete[] pbKey;
    }
    return 0;
}
