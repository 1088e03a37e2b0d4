// Arbitrary subject text through the name encoder. Whatever the page sends,
// the encoder either refuses it or produces a Name that an independent parser
// (OpenSSL) reads back with one attribute per RDN, in reverse text order.
#include "foundation/Encodings.h"
#include "certificates/Names.h"

#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str(); // the page's text ends at its first NUL
    WString wstrSubject;
    if (FAILED(UTF8ToUTF16(text.c_str(), &wstrSubject)))
        return 0;
    std::vector<BYTE> encoded;
    if (FAILED(ComposeSubject(wstrSubject.c_str(), &encoded)))
        return 0;
    std::vector<SubjectPair> pairs;
    if (FAILED(ParseSubject(wstrSubject.c_str(), &pairs)))
        std::abort(); // encoded, yet does not parse
    const unsigned char* p = encoded.data();
    X509_NAME* name = d2i_X509_NAME(nullptr, &p, long(encoded.size()));
    if (name == nullptr || p != encoded.data() + encoded.size())
        std::abort();
    if (X509_NAME_entry_count(name) != int(pairs.size()))
        std::abort();
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        // Each entry is its own RDN, in the reverse of the text's order.
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (X509_NAME_ENTRY_set(entry) != i)
            std::abort();
        char oid[128];
        OBJ_obj2txt(oid, sizeof(oid), X509_NAME_ENTRY_get_object(entry), 1);
        if (pairs[pairs.size() - 1 - size_t(i)].strObjectID != oid)
            std::abort();
    }
    X509_NAME_free(name);
    return 0;
}
