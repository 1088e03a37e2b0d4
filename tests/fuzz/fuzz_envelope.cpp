// Arbitrary UTF-16 text (the input's bytes taken two at a time, least
// significant first) through both envelope readers and the key-field reader.
// Whatever the issuer sends, a reader either refuses it with a failure code
// and hands out nothing, or hands out the key bytes it promises; it never
// reads outside the text.
#include "enrolment/EncryptCertEnvelope.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void CheckParse(const WString& text, bool fNew) {
    // Marked, so that a reader that changes them on failure shows.
    std::vector<BYTE> session{0xDE}, privateKey{0xAD};
    ALG_ID alg = 0xDEAD;
    const HRESULT hr = fNew ? ParseEncryptCertPrivateKeyDataEx(text, session, &alg, privateKey)
                            : ParseEncryptCertPrivateKeyData(text, session, &alg, privateKey);
    if (FAILED(hr)) {
        // Nothing handed out on failure.
        if (session != std::vector<BYTE>{0xDE} || privateKey != std::vector<BYTE>{0xAD} ||
            alg != 0xDEAD)
            std::abort();
        return;
    }
    if (privateKey.empty())
        std::abort();
    // The old format always has a triple-DES session key; the new one may not.
    if (alg == CALG_3DES ? session.empty() : (!fNew || alg != 0 || !session.empty()))
        std::abort();
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
    std::vector<BYTE> keyField;
    if (SUCCEEDED(GetSessionKeyorPrivateKeyFromASN1Obj(data, DWORD(size), keyField)) &&
        keyField.size() > size)
        std::abort();
    return 0;
}
