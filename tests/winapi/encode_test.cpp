// Conformance of the structure encoder and decoder (CryptEncodeObjectEx,
// CryptDecodeObjectEx): on Windows against Wine's crypt32, on POSIX against the
// stand-in, with the same bytes and error numbers. Where Wine differs the case
// says how, in place. Every expected encoding below was taken apart with
// `openssl asn1parse -inform DER` while it was written, and agrees with it.
#include "foundation/Handles.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// winnt.h's STATUS_ACCESS_VIOLATION: how crypt32 reports a bad pointer in a
// structure it was given.
constexpr DWORD kAccessViolation = 0xC0000005;

using Octets = std::vector<BYTE>;

// The structures take non-const pointers to what they only read.
BYTE* Mutable(const void* p) {
    return static_cast<BYTE*>(const_cast<void*>(p));
}
LPSTR Oid(const char* oid) {
    return const_cast<LPSTR>(oid);
}

std::string ToHex(const BYTE* pb, size_t cb) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < cb; ++i) {
        std::snprintf(two, sizeof two, "%02x", pb[i]);
        out += two;
    }
    return out;
}

// Expectations are texts: an encoding in hex, or an error number.
std::string Der(const char* hex) {
    Octets o = orvane::tests::Hex(hex);
    return ToHex(o.data(), o.size());
}
template <class Code> std::string Error(Code code) {
    char text[32];
    std::snprintf(text, sizeof text, "error 0x%08x", unsigned(code));
    return text;
}

// Encode: encodes *pv as `type` into an allocated block. On success it also
// checks the caller-buffer form: the size query, a buffer one byte short
// (ERROR_MORE_DATA with the size), and a buffer of exactly the size.
std::string Encode(LPCSTR type, const void* pv) {
    BYTE* pb = nullptr;
    DWORD cb = 0;
    SetLastError(0);
    if (!CryptEncodeObjectEx(kEncoding, type, pv, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &pb, &cb))
        return Error(GetLastError());
    Octets allocated(pb, pb + cb);
    LocalFree(pb);

    DWORD size = 0;
    EXPECT_TRUE(CryptEncodeObject(kEncoding, type, pv, nullptr, &size));
    EXPECT_EQ(size, cb);
    Octets buffer(size + 1, 0xCC);
    if (size > 0) {
        DWORD shortByOne = size - 1;
        SetLastError(0);
        EXPECT_FALSE(CryptEncodeObject(kEncoding, type, pv, buffer.data(), &shortByOne));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        EXPECT_EQ(shortByOne, size);
    }
    DWORD exact = size;
    EXPECT_TRUE(CryptEncodeObject(kEncoding, type, pv, buffer.data(), &exact));
    EXPECT_EQ(exact, size);
    EXPECT_EQ(Octets(buffer.begin(), buffer.begin() + size), allocated);
    EXPECT_EQ(buffer[size], 0xCC); // nothing written past the size
    return ToHex(allocated.data(), allocated.size());
}

// Decode: decodes `hex` as `type` into an allocated block, or null with the
// error in *error. The input sits in a heap block of exactly its size. On
// success the caller-buffer form is checked too, as in Encode.
template <class T> UniqueLocalOf<T> Decode(LPCSTR type, const char* hex, DWORD* error) {
    Octets bytes = orvane::tests::Hex(hex);
    std::unique_ptr<BYTE[]> in(new BYTE[bytes.size() + 1]);
    if (!bytes.empty())
        std::memcpy(in.get(), bytes.data(), bytes.size());
    const DWORD cbIn = DWORD(bytes.size());

    T* p = nullptr;
    DWORD cb = 0;
    SetLastError(0);
    if (!CryptDecodeObjectEx(kEncoding, type, in.get(), cbIn, CRYPT_DECODE_ALLOC_FLAG, nullptr, &p,
                             &cb)) {
        *error = GetLastError();
        return {};
    }
    *error = 0;
    UniqueLocalOf<T> result(p);

    DWORD size = 0;
    EXPECT_TRUE(CryptDecodeObjectEx(kEncoding, type, in.get(), cbIn, 0, nullptr, nullptr, &size));
    EXPECT_EQ(size, cb);
    std::vector<uint64_t> buffer(size / 8 + 1); // aligned for the structure
    if (RunningUnderWine() &&
        (type == X509_ANY_STRING || type == PKCS_CONTENT_INFO || type == PKCS7_SIGNER_INFO)) {
        // Wine's decoders of these three types never compare the caller's
        // buffer with the size they need: given too little they succeed and
        // write the whole structure past its end. Not asked here.
    } else {
        DWORD shortByOne = size - 1;
        SetLastError(0);
        EXPECT_FALSE(CryptDecodeObjectEx(kEncoding, type, in.get(), cbIn, 0, nullptr, buffer.data(),
                                         &shortByOne));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        EXPECT_EQ(shortByOne, size);
    }
    DWORD exact = size;
    EXPECT_TRUE(
        CryptDecodeObjectEx(kEncoding, type, in.get(), cbIn, 0, nullptr, buffer.data(), &exact));
    EXPECT_EQ(exact, size);
    return result;
}

// Decoded: the decoded structure described by `describe`, or the error.
template <class T, class Describe>
std::string Decoded(LPCSTR type, const char* hex, Describe describe) {
    DWORD error = 0;
    UniqueLocalOf<T> p = Decode<T>(type, hex, &error);
    return p ? describe(*p.get()) : Error(error);
}

std::string Hex(const CRYPT_DATA_BLOB& blob) {
    return ToHex(blob.pbData, blob.cbData);
}

// The expectation for this target: Wine's where it differs.
std::string Expected(const std::string& expected, const std::string& onWine) {
    if (RunningUnderWine() && !onWine.empty())
        return onWine;
    return expected;
}

// A decoding case: the input in hex, and the description of the result
// expected (Wine's where it differs; empty: as expected).
struct DecodeCase {
    const char* name;
    const char* hex;
    std::string expected;
    std::string onWine;
};

template <class T, class Describe>
void ExpectDecodes(LPCSTR type, const std::vector<DecodeCase>& cases, Describe describe) {
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decoded<T>(type, c.hex, describe), Expected(c.expected, c.onWine));
    }
}

} // namespace

// --- encoding -------------------------------------------------------------------

TEST(CryptEncode, AnyStringOfNarrowTypes) {
    struct Case {
        const char* name;
        DWORD type;
        std::string value;
        std::string expected;
        std::string onWine; // empty: as expected
    };
    const Case cases[] = {
        {"printable, whole alphabet of signs", CERT_RDN_PRINTABLE_STRING, "Abc 1'()+,-./:=?",
         Der("13 10 41626320312728292b2c2d2e2f3a3d3f"), ""},
        {"printable, empty", CERT_RDN_PRINTABLE_STRING, "", Der("13 00"), ""},
        // '@', '*' and '_' are not PrintableString characters. Wine writes
        // them anyway; Windows and the stand-in refuse.
        {"printable with @", CERT_RDN_PRINTABLE_STRING, "a@b",
         Error(CRYPT_E_INVALID_PRINTABLE_STRING), Der("13 03 614062")},
        {"printable with *", CERT_RDN_PRINTABLE_STRING, "a*b",
         Error(CRYPT_E_INVALID_PRINTABLE_STRING), Der("13 03 612a62")},
        {"printable with _", CERT_RDN_PRINTABLE_STRING, "a_b",
         Error(CRYPT_E_INVALID_PRINTABLE_STRING), Der("13 03 615f62")},
        {"IA5", CERT_RDN_IA5_STRING, "a@b.c", Der("16 05 6140622e63"), ""},
        // IA5String is seven-bit. Wine writes the octet anyway.
        {"IA5 with an eight-bit octet", CERT_RDN_IA5_STRING, "ab\xff",
         Error(CRYPT_E_INVALID_IA5_STRING), Der("16 03 6162ff")},
        {"numeric", CERT_RDN_NUMERIC_STRING, "12 3", Der("12 04 31322033"), ""},
        // NumericString is digits and space. Wine writes the letter anyway.
        {"numeric with a letter", CERT_RDN_NUMERIC_STRING, "12a",
         Error(CRYPT_E_INVALID_NUMERIC_STRING), Der("12 03 313261")},
        {"octets", CERT_RDN_OCTET_STRING, std::string("\x00\xff", 2), Der("04 02 00ff"), ""},
        {"teletex is written as given", CERT_RDN_T61_STRING, "t\xe9", Der("14 02 74e9"), ""},
        {"visible", CERT_RDN_VISIBLE_STRING, "vi", Der("1a 02 7669"), ""},
        // Encoding needs a definite type.
        {"any type", CERT_RDN_ANY_TYPE, "x", Error(E_INVALIDARG), ""},
        // Not a value type at all.
        {"unknown type", 99, "x", Error(CRYPT_E_ASN1_CHOICE), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CERT_NAME_VALUE nv{c.type, {DWORD(c.value.size()), Mutable(c.value.data())}};
        EXPECT_EQ(Encode(X509_ANY_STRING, &nv), Expected(c.expected, c.onWine));
    }
}

TEST(CryptEncode, AnyStringOfWideTypesTakesUtf16) {
    struct Case {
        const char* name;
        DWORD type;
        std::vector<WCHAR> units;
        std::string expected;
    };
    const Case cases[] = {
        {"UTF-8, Chinese", CERT_RDN_UTF8_STRING, {0x4E2D, 0x6587}, Der("0c 06 e4b8ad e69687")},
        {"UTF-8, a surrogate pair is one character",
         CERT_RDN_UTF8_STRING,
         {0xD83D, 0xDE00},
         Der("0c 04 f09f9880")},
        // A lone surrogate has no UTF-8 form: it becomes U+FFFD.
        {"UTF-8, lone surrogate", CERT_RDN_UTF8_STRING, {0xD800, u'a'}, Der("0c 04 efbfbd 61")},
        {"UTF-8, embedded NUL is data",
         CERT_RDN_UTF8_STRING,
         {0x4E2D, 0, u'z'},
         Der("0c 05 e4b8ad 00 7a")},
        {"BMP is big-endian", CERT_RDN_BMP_STRING, {0x4E2D, 0x6587}, Der("1e 04 4e2d 6587")},
        {"BMP keeps surrogates as units",
         CERT_RDN_BMP_STRING,
         {0xD83D, 0xDE00},
         Der("1e 04 d83d de00")},
        // The universal string is not offered by either implementation.
        {"universal", CERT_RDN_UNIVERSAL_STRING, {u'a'}, Error(CRYPT_E_ASN1_CHOICE)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CERT_NAME_VALUE nv{c.type,
                           {DWORD(c.units.size() * sizeof(WCHAR)), Mutable(c.units.data())}};
        EXPECT_EQ(Encode(X509_ANY_STRING, &nv), c.expected);
    }

    // The same text as written in the source, through the UTF-8 helper.
    WString chinese = W("中文");
    CERT_NAME_VALUE nv{CERT_RDN_UTF8_STRING,
                       {DWORD(chinese.size() * sizeof(WCHAR)), Mutable(chinese.data())}};
    EXPECT_EQ(Encode(X509_ANY_STRING, &nv), Der("0c 06 e4b8ad e69687"));

    // With cbData zero a wide value runs to its terminator.
    nv.Value.cbData = 0;
    EXPECT_EQ(Encode(X509_ANY_STRING, &nv), Der("0c 06 e4b8ad e69687"));
}

TEST(CryptEncode, RefusedCharacterIsReported) {
    CERT_NAME_VALUE nv{CERT_RDN_PRINTABLE_STRING, {5, Mutable("ab*cd")}};
    BYTE out[16];
    DWORD cb = sizeof out;
    SetLastError(0);
    BOOL ok = CryptEncodeObject(kEncoding, X509_ANY_STRING, &nv, out, &cb);
    if (RunningUnderWine()) {
        // Wine does not check PrintableString characters.
        EXPECT_TRUE(ok);
        EXPECT_EQ(ToHex(out, cb), Der("13 05 61622a6364"));
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_INVALID_PRINTABLE_STRING));
    EXPECT_EQ(cb, 2u); // the index of '*', the convention Windows documents for Unicode names
}

TEST(CryptEncode, NarrowValueOfZeroLengthIsEmpty) {
    CERT_NAME_VALUE nv{CERT_RDN_PRINTABLE_STRING, {0, Mutable("ab")}};
    if (RunningUnderWine()) {
        // Wine reads an eight-bit value of length zero up to a NUL, as it reads
        // wide ones; the stand-in keeps that rule to the wide types, so binary
        // values (octet strings) never run on past their length.
        EXPECT_EQ(Encode(X509_ANY_STRING, &nv), Der("13 02 6162"));
        return;
    }
    EXPECT_EQ(Encode(X509_ANY_STRING, &nv), Der("13 00"));
}

TEST(CryptEncode, BitsDropWholeUnusedOctetsAndClearUnusedBits) {
    const BYTE ones[] = {0xff, 0xff};
    struct Case {
        DWORD cbData;
        DWORD cUnusedBits;
        std::string expected;
        std::string onWine;
    };
    const Case cases[] = {
        {0, 0, Der("03 01 00"), ""},
        // No octets, so nothing can be unused.
        {0, 3, Der("03 01 00"), ""},
        {1, 0, Der("03 02 00 ff"), ""},
        {1, 1, Der("03 02 01 fe"), ""},
        {1, 7, Der("03 02 07 80"), ""},
        {1, 8, Der("03 01 00"), ""},
        {2, 1, Der("03 03 01 fffe"), ""},
        // Eight unused bits are one whole octet. Wine declares one unused bit
        // over both octets instead.
        {2, 8, Der("03 02 00 ff"), Der("03 03 01 fffe")},
        {2, 9, Der("03 02 01 fe"), ""},
        {2, 17, Der("03 01 00"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cbData << " octets, " << c.cUnusedBits << " unused");
        CRYPT_BIT_BLOB bits{c.cbData, Mutable(ones), c.cUnusedBits};
        EXPECT_EQ(Encode(X509_BITS, &bits), Expected(c.expected, c.onWine));
    }
}

TEST(CryptEncode, ObjectIdentifiersFromDottedText) {
    struct Case {
        const char* oid;
        std::string expected; // the attribute with no values around it
        std::string onWine;
    };
    const std::string malformed = Error(CRYPT_E_ASN1_ERROR);
    const Case cases[] = {
        {"1.2.3", Der("30 06 0602 2a03 3100"), ""},
        {"1.2.840.113549.1.1.11", Der("30 0d 0609 2a864886f70d01010b 3100"), ""},
        {"0.39", Der("30 05 0601 27 3100"), ""},
        {"1.39", Der("30 05 0601 4f 3100"), ""},
        {"2.40", Der("30 05 0601 78 3100"), ""},
        // 2 * 40 + 999 needs two octets; Wine keeps only the low seven bits.
        {"2.999.3", Der("30 07 0603 883703 3100"), Der("30 06 0602 3703 3100")},
        // An arc above 2^31; Wine reads arcs as signed 32-bit numbers.
        {"1.2.4294967295", Der("30 0a 0606 2a 8fffffff7f 3100"), Der("30 06 0602 2a7f 3100")},
        {"1.2.18446744073709551615", Der("30 0f 060b 2a 81ffffffffffffffff7f 3100"),
         Der("30 06 0602 2a7f 3100")},
        // Refused by both: too few arcs, empty arcs, letters, trailing space.
        {"1", malformed, ""},
        {"", malformed, ""},
        {".1.2", malformed, ""},
        {"1..2", malformed, ""},
        {"1.2a", malformed, ""},
        {"1.2.3 ", malformed, ""},
        // Refused by the stand-in, written by Wine: no first arc above 2.
        {"3.1", malformed, Der("30 05 0601 79 3100")},
        // The second arc under 0 and 1 is below 40.
        {"1.40", malformed, Der("30 05 0601 50 3100")},
        // A trailing dot, a leading space, signs and leading zeros.
        {"1.2.", malformed, Der("30 05 0601 2a 3100")},
        {" 1.2", malformed, Der("30 05 0601 2a 3100")},
        {"1.-2", malformed, Der("30 05 0601 26 3100")},
        {"1.02.3", malformed, Der("30 06 0602 2a03 3100")},
        // An arc beyond 64 bits; Wine wraps it.
        {"1.2.18446744073709551616", malformed, Der("30 06 0602 2a00 3100")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oid);
        CRYPT_ATTRIBUTE attr{Oid(c.oid), 0, nullptr};
        EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &attr), Expected(c.expected, c.onWine));
    }
    CRYPT_ATTRIBUTE noOid{nullptr, 0, nullptr};
    EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &noOid), Error(E_INVALIDARG));
}

TEST(CryptEncode, AttributeValuesAreSortedAndMayBeNone) {
    BYTE one[] = {0x02, 0x01, 0x01}, zero[] = {0x02, 0x01, 0x00}, empty[] = {0x04, 0x00};
    CRYPT_ATTR_BLOB values[] = {{3, one}, {3, zero}, {2, empty}};
    CRYPT_ATTRIBUTE attr{Oid("1.2.3"), 3, values};
    // SET OF in DER order: 020100 < 020101 < 0400.
    EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &attr), Der("30 0e 0602 2a03 3108 020100 020101 0400"));

    // No values: an empty SET.
    CRYPT_ATTRIBUTE none{Oid(szOID_RSA_contentType), 0, nullptr};
    EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &none), Der("30 0d 0609 2a864886f70d010903 3100"));

    // Values counted but not given.
    CRYPT_ATTRIBUTE missing{Oid("1.2.3"), 1, nullptr};
    EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &missing), Error(kAccessViolation));
}

TEST(CryptEncode, OctetStringsAlgorithmsAndContentInfo) {
    BYTE id[] = {0x01, 0x02, 0xff}, null[] = {0x05, 0x00}, inner[] = {0x04, 0x02, 0xaa, 0xbb};
    CRYPT_DATA_BLOB blob{3, id}, empty{0, nullptr}, dangling{2, nullptr};
    CRYPT_ALGORITHM_IDENTIFIER withNull{Oid(szOID_RSA_SHA256RSA), {2, null}};
    CRYPT_ALGORITHM_IDENTIFIER bare{Oid(szOID_NIST_sha256), {0, nullptr}};
    CRYPT_CONTENT_INFO data{Oid(szOID_RSA_data), {4, inner}};
    CRYPT_CONTENT_INFO noContent{Oid(szOID_RSA_data), {0, nullptr}}, noType{nullptr, {0, nullptr}};
    // Wine has no encoder for algorithm identifiers.
    const std::string noEncoder = Error(ERROR_FILE_NOT_FOUND);
    const struct {
        const char* name;
        LPCSTR type;
        const void* pv;
        std::string expected;
        std::string onWine;
    } cases[] = {
        {"octets", X509_OCTET_STRING, &blob, Der("04 03 0102ff"), ""},
        {"key identifier", szOID_SUBJECT_KEY_IDENTIFIER, &blob, Der("04 03 0102ff"), ""},
        {"no octets", X509_OCTET_STRING, &empty, Der("04 00"), ""},
        {"a length without bytes", X509_OCTET_STRING, &dangling, Error(kAccessViolation), ""},
        {"algorithm with NULL", X509_ALGORITHM_IDENTIFIER, &withNull,
         Der("30 0d 0609 2a864886f70d01010b 0500"), noEncoder},
        // Absent parameters are left out.
        {"algorithm without parameters", X509_ALGORITHM_IDENTIFIER, &bare,
         Der("30 0b 0609 608648016503040201"), noEncoder},
        {"content info", PKCS_CONTENT_INFO, &data,
         Der("30 11 0609 2a864886f70d010701 a004 0402aabb"), ""},
        {"no content", PKCS_CONTENT_INFO, &noContent, Der("30 0b 0609 2a864886f70d010701"), ""},
        {"no content type", PKCS_CONTENT_INFO, &noType, Error(E_INVALIDARG), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Encode(c.type, c.pv), Expected(c.expected, c.onWine));
    }
}

namespace {

// A signer named by issuer CN=A and serial octets 80 01 (stored least
// significant first; integer blobs are two's complement, so this INTEGER is
// -32767), SHA-1 with RSA, and a two-byte signature.
BYTE g_issuer[] = {0x30, 0x0c, 0x31, 0x0a, 0x30, 0x08, 0x06,
                   0x03, 0x55, 0x04, 0x03, 0x13, 0x01, 0x41};
BYTE g_serial[] = {0x01, 0x80};
BYTE g_signature[] = {0xde, 0xad};

CMSG_SIGNER_INFO MinimalSigner() {
    CMSG_SIGNER_INFO s{};
    s.dwVersion = 1;
    s.Issuer = {sizeof g_issuer, g_issuer};
    s.SerialNumber = {sizeof g_serial, g_serial};
    s.HashAlgorithm.pszObjId = Oid(szOID_OIWSEC_sha1);
    s.HashEncryptionAlgorithm.pszObjId = Oid(szOID_RSA_RSA);
    s.EncryptedHash = {sizeof g_signature, g_signature};
    return s;
}

const char* const kMinimalSigner = "30 35 020101"
                                   " 3012 300c310a300806035504031301 41 0202 8001"
                                   " 3009 06052b0e03021a 0500"
                                   " 300d 06092a864886f70d010101 0500"
                                   " 0402 dead";
const char* const kSignerWithAttributes =
    "30 77 020101"
    " 3012 300c310a3008060355040313014102028001"
    " 3009 06052b0e03021a 0500"
    " a02c 3010 06092a864886f70d010904 3103 040111"
    "      3018 06092a864886f70d010903 310b 06092a864886f70d010701"
    " 300d 06092a864886f70d010101 0500"
    " 0402 dead"
    " a112 3010 06092a864886f70d010904 3103 040111";

} // namespace

TEST(CryptEncode, SignerInfo) {
    CMSG_SIGNER_INFO s = MinimalSigner();
    // Absent algorithm parameters are written as NULL.
    EXPECT_EQ(Encode(PKCS7_SIGNER_INFO, &s), Der(kMinimalSigner));

    // Authenticated attributes in DER order (the shorter messageDigest first),
    // given here the other way round.
    BYTE contentType[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};
    BYTE digest[] = {0x04, 0x01, 0x11};
    CRYPT_ATTR_BLOB ctValue{sizeof contentType, contentType}, mdValue{sizeof digest, digest};
    CRYPT_ATTRIBUTE attrs[] = {{Oid(szOID_RSA_contentType), 1, &ctValue},
                               {Oid(szOID_RSA_messageDigest), 1, &mdValue}};
    s.AuthAttrs = {2, attrs};
    s.UnauthAttrs = {1, &attrs[1]};
    EXPECT_EQ(Encode(PKCS7_SIGNER_INFO, &s), Der(kSignerWithAttributes));
}

TEST(CryptEncode, SignerInfoSerialsVersionsAndRefusals) {
    BYTE zeros[] = {0x00, 0x00}, positive[] = {0x80, 0x00}, minusOne[] = {0xff, 0xff};
    const std::string rest = " 3009 06052b0e03021a 0500 300d 06092a864886f70d010101 0500 0402 dead";
    struct Case {
        const char* name;
        CRYPT_INTEGER_BLOB serial;
        DWORD version;
        std::string expected;
        std::string onWine;
    };
    const Case cases[] = {
        // Redundant sign octets are dropped; a needed one is kept.
        {"serial 0",
         {2, zeros},
         1,
         Der(("30 34 020101 3011 300c310a30080603550403130141 020100" + rest).c_str()),
         ""},
        {"serial 0x0080",
         {2, positive},
         1,
         Der(("30 35 020101 3012 300c310a30080603550403130141 02020080" + rest).c_str()),
         ""},
        // Wine fails with an access violation on this serial.
        {"serial -1",
         {2, minusOne},
         1,
         Der(("30 34 020101 3011 300c310a30080603550403130141 0201ff" + rest).c_str()),
         Error(kAccessViolation)},
        // An INTEGER has at least one octet. Wine writes 02 00.
        {"no serial",
         {0, nullptr},
         1,
         Error(E_INVALIDARG),
         Der(("30 33 020101 3010 300c310a30080603550403130141 0200" + rest).c_str())},
        // The version is written as a signed 32-bit number, as by Windows.
        {"version 0x80000000",
         {2, g_serial},
         0x80000000,
         Der(("30 38 020480000000 3012 300c310a30080603550403130141 02028001" + rest).c_str()),
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMSG_SIGNER_INFO s = MinimalSigner();
        s.SerialNumber = c.serial;
        s.dwVersion = c.version;
        EXPECT_EQ(Encode(PKCS7_SIGNER_INFO, &s), Expected(c.expected, c.onWine));
    }

    CMSG_SIGNER_INFO s = MinimalSigner();
    s.Issuer = {0, nullptr};
    EXPECT_EQ(Encode(PKCS7_SIGNER_INFO, &s), Error(E_INVALIDARG)); // a signer needs an issuer

    s = MinimalSigner();
    s.HashEncryptionAlgorithm.pszObjId = nullptr;
    // Without an algorithm identifier there is nothing valid to write. Wine
    // writes an empty OBJECT IDENTIFIER (06 00), which no decoder accepts.
    EXPECT_EQ(
        Encode(PKCS7_SIGNER_INFO, &s),
        Expected(Error(E_INVALIDARG), Der("30 2c 020101 3012 300c310a3008060355040313014102028001"
                                          " 3009 06052b0e03021a 0500 3004 0600 0500 0402 dead")));
}

TEST(CryptEncode, SizesAndRefusedCalls) {
    CERT_NAME_VALUE nv{CERT_RDN_PRINTABLE_STRING, {3, Mutable("abc")}};
    // The size query and a buffer too small are checked with every vector
    // (Encode above); a buffer larger than needed gets the size written.
    BYTE out[16];
    DWORD cb = sizeof out;
    EXPECT_TRUE(CryptEncodeObject(kEncoding, X509_ANY_STRING, &nv, out, &cb));
    EXPECT_EQ(ToHex(out, cb), Der("13 03 616263"));
    // Either half of the encoding type is enough.
    cb = sizeof out;
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_ANY_STRING, &nv, out, &cb));
    cb = sizeof out;
    EXPECT_TRUE(CryptEncodeObject(PKCS_7_ASN_ENCODING, X509_ANY_STRING, &nv, out, &cb));

    struct Refusal {
        const char* name;
        DWORD encoding;
        LPCSTR type;
        const void* pv;
        DWORD flags;
        bool outputGiven;
        DWORD error;
    };
    const Refusal refusals[] = {
        // Neither ASN.1 encoding asked for.
        {"encoding type 0", 0, X509_ANY_STRING, &nv, 0, true, ERROR_FILE_NOT_FOUND},
        // A structure type nobody registered, by number and by identifier.
        {"unknown number", kEncoding, (LPCSTR)9999, &nv, 0, true, ERROR_FILE_NOT_FOUND},
        {"unknown identifier", kEncoding, "1.2.3.4", &nv, 0, true, ERROR_FILE_NOT_FOUND},
        // Nothing to encode.
        {"no structure", kEncoding, X509_ANY_STRING, nullptr, 0, true, kAccessViolation},
        // Allocation asked for, but nowhere to put the block.
        {"alloc without output", kEncoding, X509_ANY_STRING, &nv, CRYPT_ENCODE_ALLOC_FLAG, false,
         ERROR_INVALID_PARAMETER},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        BYTE* allocated = nullptr;
        void* output = r.flags != 0 ? (void*)&allocated : (void*)out;
        cb = sizeof out;
        SetLastError(0);
        EXPECT_FALSE(CryptEncodeObjectEx(r.encoding, r.type, r.pv, r.flags, nullptr,
                                         r.outputGiven ? output : nullptr, &cb));
        EXPECT_EQ(GetLastError(), r.error);
    }
}

namespace {
int g_allocations = 0;
LPVOID WINAPI CountingAlloc(size_t cb) {
    ++g_allocations;
    return std::malloc(cb);
}
VOID WINAPI CountingFree(LPVOID pv) {
    --g_allocations;
    std::free(pv);
}
} // namespace

TEST(CryptEncode, CallerAllocatorServesAllocatedResults) {
    g_allocations = 0;
    CRYPT_DATA_BLOB blob{2, Mutable("\x01\x02")};
    CRYPT_ENCODE_PARA para{sizeof para, CountingAlloc, CountingFree};
    BYTE* pb = nullptr;
    DWORD cb = 0;
    ASSERT_TRUE(CryptEncodeObjectEx(kEncoding, X509_OCTET_STRING, &blob, CRYPT_ENCODE_ALLOC_FLAG,
                                    &para, &pb, &cb));
    EXPECT_EQ(g_allocations, 1);
    EXPECT_EQ(ToHex(pb, cb), Der("04 02 0102"));
    CountingFree(pb);

    CRYPT_DECODE_PARA decodePara{sizeof decodePara, CountingAlloc, CountingFree};
    const BYTE in[] = {0x04, 0x02, 0x01, 0x02};
    CRYPT_DATA_BLOB* decoded = nullptr;
    ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, X509_OCTET_STRING, in, sizeof in,
                                    CRYPT_DECODE_ALLOC_FLAG, &decodePara, &decoded, &cb));
    EXPECT_EQ(g_allocations, 1);
    EXPECT_EQ(Hex(*decoded), "0102");
    CountingFree(decoded);
    EXPECT_EQ(g_allocations, 0);
}

// --- decoding -------------------------------------------------------------------

namespace {

std::string DescribeBits(const CRYPT_BIT_BLOB& b) {
    return std::to_string(b.cUnusedBits) + ":" + ToHex(b.pbData, b.cbData);
}

} // namespace

TEST(CryptDecode, KeyUsageAndBits) {
    const std::vector<DecodeCase> cases = {
        {"digitalSignature, nonRepudiation", "03 02 01 06", "1:06", ""},
        {"unused bits come out clear", "03 02 01 ff", "1:fe", ""},
        {"one bit", "03 02 07 80", "7:80", ""},
        {"no bits", "03 01 00", "0:", ""},
        {"two octets", "03 03 01 0602", "1:0602", ""},
        {"long-form length", "03 81 02 01 0a", "1:0a", ""},
        {"octets after the element are ignored", "03 02 01 06 00", "1:06", ""},
        // Empty input, or a tag without a length.
        {"empty", "", Error(CRYPT_E_ASN1_CORRUPT), ""},
        {"tag only", "03", Error(CRYPT_E_ASN1_CORRUPT), ""},
        // Contents shorter than the length says.
        {"truncated", "03 05 01", Error(CRYPT_E_ASN1_EOD), ""},
        // OCTET STRING, and a constructed BIT STRING, are other tags.
        {"octet string", "04 02 01 06", Error(CRYPT_E_ASN1_BADTAG), ""},
        {"constructed", "23 02 01 06", Error(CRYPT_E_ASN1_BADTAG), ""},
        // Indefinite length is not DER.
        {"indefinite length", "03 80 02 01 06 00 00", Error(CRYPT_E_ASN1_CORRUPT), ""},
        // Five length octets cannot describe anything that fits.
        {"length of five octets", "03 85 00 00 00 00 02 01 0a", Error(CRYPT_E_ASN1_LARGE), ""},
        // Unused bits without any octets. Wine hands them out.
        {"unused bits of nothing", "03 01 01", Error(CRYPT_E_ASN1_CORRUPT), "1:"},
        // More unused bits than an octet has. Wine hands out the count.
        {"eight unused bits", "03 02 08 ff", Error(CRYPT_E_ASN1_CORRUPT), "8:00"},
    };
    for (LPCSTR type : {X509_KEY_USAGE, (LPCSTR)szOID_KEY_USAGE, X509_BITS}) {
        SCOPED_TRACE(type == X509_BITS ? "X509_BITS" : "key usage");
        ExpectDecodes<CRYPT_BIT_BLOB>(type, cases, DescribeBits);
    }

    // No unused-bits octet at all. Wine takes the content length to be
    // 2^32 - 1 octets and copies until it faults, overwriting its heap on the
    // way (an access violation, then hangs): the case runs on the stand-in only.
    if (!RunningUnderWine()) {
        EXPECT_EQ(Decoded<CRYPT_BIT_BLOB>(X509_KEY_USAGE, "03 00", DescribeBits),
                  Error(CRYPT_E_ASN1_CORRUPT));
    }

    // A BIT STRING whose one content octet is missing: the stand-in finds the
    // end of the input; Wine reads the octet after it and succeeds.
    DWORD error = 0;
    auto bits = Decode<CRYPT_BIT_BLOB>(X509_KEY_USAGE, "03 02 01", &error);
    if (RunningUnderWine()) {
        EXPECT_TRUE(bits);
    } else {
        EXPECT_FALSE(bits);
        EXPECT_EQ(error, DWORD(CRYPT_E_ASN1_EOD));
    }
}

TEST(CryptDecode, SubjectKeyIdentifierAndOctetStrings) {
    const std::vector<DecodeCase> cases = {
        {"identifier", "04 03 010203", "010203", ""},
        {"empty", "04 00", "", ""},
        {"BIT STRING is another tag", "03 03 010203", Error(CRYPT_E_ASN1_BADTAG), ""},
        {"truncated", "04 05 01", Error(CRYPT_E_ASN1_EOD), ""},
        // A constructed OCTET STRING is BER, not DER. Wine reads its contents
        // from the wrong offset and succeeds.
        {"constructed", "24 03 040101", Error(CRYPT_E_ASN1_BADTAG), "01"},
    };
    for (LPCSTR type : {(LPCSTR)szOID_SUBJECT_KEY_IDENTIFIER, X509_OCTET_STRING})
        ExpectDecodes<CRYPT_DATA_BLOB>(type, cases, Hex);
}

namespace {

// "type:value", the value in hex octets, or in UTF-16 units for the wide types.
std::string DescribeNameValue(const CERT_NAME_VALUE& v) {
    std::string out = std::to_string(v.dwValueType) + ":";
    if (v.dwValueType == CERT_RDN_UTF8_STRING || v.dwValueType == CERT_RDN_BMP_STRING) {
        char unit[8];
        for (DWORD i = 0; i + 1 < v.Value.cbData; i += 2) {
            WCHAR w;
            std::memcpy(&w, v.Value.pbData + i, sizeof w);
            std::snprintf(unit, sizeof unit, "%s%04x", i == 0 ? "" : " ", unsigned(w));
            out += unit;
        }
        return out;
    }
    return out + ToHex(v.Value.pbData, v.Value.cbData);
}

} // namespace

TEST(CryptDecode, AnyString) {
    const std::vector<DecodeCase> cases = {
        {"printable", "13 03 616263", "4:616263", ""},
        // Decoding does not judge the characters.
        {"printable with *", "13 03 2a2a2a", "4:2a2a2a", ""},
        {"IA5 with an eight-bit octet", "16 03 61ff63", "7:61ff63", ""},
        {"UTF-8 Chinese comes out as UTF-16", "0c 06 e4b8ade69687", "13:4e2d 6587", ""},
        {"ill-formed UTF-8 becomes U+FFFD", "0c 02 ff61", "13:fffd 0061", ""},
        {"empty UTF-8", "0c 00", "13:", ""},
        {"BMP", "1e 04 4e2d6587", "12:4e2d 6587", ""},
        {"octets", "04 02 0102", "2:0102", ""},
        {"numeric", "12 02 3132", "3:3132", ""},
        {"teletex", "14 01 61", "5:61", ""},
        {"visible", "1a 01 61", "9:61", ""},
        // Not strings.
        {"INTEGER", "02 01 01", Error(CRYPT_E_ASN1_BADTAG), ""},
        {"SEQUENCE", "30 00", Error(CRYPT_E_ASN1_BADTAG), ""},
        // The universal string is offered by neither implementation.
        {"universal", "1c 04 0001f600", Error(CRYPT_E_ASN1_BADTAG), ""},
        // A BMPString is whole 16-bit units. Wine hands out the odd octet.
        {"BMP of odd length", "1e 03 4e2d65", Error(CRYPT_E_ASN1_CORRUPT), "12:4e2d"},
    };
    ExpectDecodes<CERT_NAME_VALUE>(X509_ANY_STRING, cases, DescribeNameValue);
}

namespace {

std::string DescribeAttribute(const CRYPT_ATTRIBUTE& a) {
    std::string out = a.pszObjId != nullptr ? a.pszObjId : "(null)";
    for (DWORD i = 0; i < a.cValue; ++i)
        out += " " + Hex(a.rgValue[i]);
    return out;
}

} // namespace

TEST(CryptDecode, Attribute) {
    const std::vector<DecodeCase> cases = {
        {"two values", "30 0c 0602 2a03 3106 020100 020101", "1.2.3 020100 020101", ""},
        {"no values", "30 06 0602 2a03 3100", "1.2.3", ""},
        {"large first arcs", "30 07 0603 883703 3100", "2.999.3", "3.16.55.3"},
        // The SET is not optional.
        {"no values set", "30 04 0602 2a03", Error(CRYPT_E_ASN1_CORRUPT), ""},
        // Something after the SET inside the SEQUENCE.
        {"trailing field", "30 08 0602 2a03 3100 0500", Error(CRYPT_E_ASN1_CORRUPT), ""},
        // A SET must be constructed.
        {"primitive set", "30 06 0602 2a03 1100", Error(CRYPT_E_ASN1_BADTAG), ""},
        // An identifier whose last octet still has bit 8 set.
        {"unfinished identifier", "30 06 0602 2a83 3100", Error(CRYPT_E_ASN1_CORRUPT), ""},
        // An empty identifier. Wine hands out a null pszObjId.
        {"empty identifier", "30 04 0600 3100", Error(CRYPT_E_ASN1_CORRUPT), "(null)"},
        // An arc padded with a leading 0x80. Wine reads it as if unpadded.
        {"padded arc", "30 07 0603 2a8003 3100", Error(CRYPT_E_ASN1_CORRUPT), "1.2.3"},
    };
    ExpectDecodes<CRYPT_ATTRIBUTE>(PKCS_ATTRIBUTE, cases, DescribeAttribute);
}

TEST(CryptDecode, ContentInfo) {
    auto describe = [](const CRYPT_CONTENT_INFO& ci) {
        return std::string(ci.pszObjId) + " " + Hex(ci.Content);
    };
    const std::vector<DecodeCase> cases = {
        {"data", "30 11 0609 2a864886f70d010701 a004 0402aabb", "1.2.840.113549.1.7.1 0402aabb",
         ""},
        {"no content", "30 0b 0609 2a864886f70d010701", "1.2.840.113549.1.7.1 ", ""},
        // [0] holds exactly one element.
        {"two elements in [0]", "30 13 0609 2a864886f70d010701 a006 0402aabb 0500",
         Error(CRYPT_E_ASN1_CORRUPT), ""},
        {"empty [0]", "30 0d 0609 2a864886f70d010701 a000", Error(CRYPT_E_ASN1_CORRUPT), ""},
        // [1] is not a field of ContentInfo.
        {"[1] instead of [0]", "30 11 0609 2a864886f70d010701 a104 0402aabb",
         Error(CRYPT_E_ASN1_CORRUPT), ""},
        {"trailing field", "30 13 0609 2a864886f70d010701 a004 0402aabb 0500",
         Error(CRYPT_E_ASN1_CORRUPT), ""},
    };
    ExpectDecodes<CRYPT_CONTENT_INFO>(PKCS_CONTENT_INFO, cases, describe);
}

TEST(CryptDecode, SignerInfo) {
    DWORD error = 0;
    auto s = Decode<CMSG_SIGNER_INFO>(PKCS7_SIGNER_INFO, kSignerWithAttributes, &error);
    ASSERT_TRUE(s) << Error(error);
    EXPECT_EQ(s->dwVersion, 1u);
    EXPECT_EQ(Hex(s->Issuer), ToHex(g_issuer, sizeof g_issuer));
    EXPECT_EQ(Hex(s->SerialNumber), "0180"); // little-endian
    EXPECT_STREQ(s->HashAlgorithm.pszObjId, szOID_OIWSEC_sha1);
    EXPECT_EQ(Hex(s->HashAlgorithm.Parameters), "0500");
    EXPECT_STREQ(s->HashEncryptionAlgorithm.pszObjId, szOID_RSA_RSA);
    EXPECT_EQ(Hex(s->EncryptedHash), "dead");
    ASSERT_EQ(s->AuthAttrs.cAttr, 2u);
    EXPECT_EQ(DescribeAttribute(s->AuthAttrs.rgAttr[0]), "1.2.840.113549.1.9.4 040111");
    EXPECT_EQ(DescribeAttribute(s->AuthAttrs.rgAttr[1]),
              "1.2.840.113549.1.9.3 06092a864886f70d010701");
    ASSERT_EQ(s->UnauthAttrs.cAttr, 1u);
    EXPECT_EQ(DescribeAttribute(s->UnauthAttrs.rgAttr[0]), "1.2.840.113549.1.9.4 040111");

    // Algorithms without parameters; a negative version read as Windows reads it.
    s = Decode<CMSG_SIGNER_INFO>(PKCS7_SIGNER_INFO,
                                 "30 31 0201ff 3012 300c310a3008060355040313014102028001"
                                 " 3007 06052b0e03021a 300b 06092a864886f70d010101 0402dead",
                                 &error);
    ASSERT_TRUE(s) << Error(error);
    EXPECT_EQ(s->dwVersion, 0xFFFFFFFFu);
    EXPECT_EQ(s->HashAlgorithm.Parameters.cbData, 0u);
    EXPECT_EQ(s->AuthAttrs.cAttr, 0u);

    struct Refusal {
        const char* name;
        const char* hex;
        DWORD error;
    };
    const Refusal refusals[] = {
        // Something after the last field.
        {"trailing field",
         "30 37 020101 3012 300c310a3008060355040313014102028001 3009 06052b0e03021a 0500"
         " 300d 06092a864886f70d010101 0500 0402dead 0500",
         DWORD(CRYPT_E_ASN1_CORRUPT)},
        // A serial number without octets.
        {"empty serial",
         "30 33 020101 3010 300c310a30080603550403130141 0200 3009 06052b0e03021a 0500"
         " 300d 06092a864886f70d010101 0500 0402dead",
         DWORD(CRYPT_E_ASN1_CORRUPT)},
        // A version beyond 32 bits.
        {"five-octet version",
         "30 39 02050100000000 3012 300c310a3008060355040313014102028001 3009 06052b0e03021a"
         " 0500 300d 06092a864886f70d010101 0500 0402dead",
         DWORD(CRYPT_E_ASN1_LARGE)},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        EXPECT_FALSE(Decode<CMSG_SIGNER_INFO>(PKCS7_SIGNER_INFO, r.hex, &error));
        EXPECT_EQ(error, r.error);
    }
}

TEST(CryptDecode, AlgorithmIdentifier) {
    auto describe = [](const CRYPT_ALGORITHM_IDENTIFIER& a) {
        return std::string(a.pszObjId) + " " + Hex(a.Parameters);
    };
    // Wine has no decoder for this structure type.
    const std::string noDecoder = Error(ERROR_FILE_NOT_FOUND);
    ExpectDecodes<CRYPT_ALGORITHM_IDENTIFIER>(
        X509_ALGORITHM_IDENTIFIER,
        {
            {"NULL parameters", "30 0d 0609 2a864886f70d01010b 0500", "1.2.840.113549.1.1.11 0500",
             noDecoder},
            {"no parameters", "30 04 0602 2a03", "1.2.3 ", noDecoder},
            // Parameters are one element.
            {"two parameters", "30 08 0602 2a03 0500 0500", Error(CRYPT_E_ASN1_CORRUPT), noDecoder},
        },
        describe);
}

TEST(CryptDecode, SizesAndRefusedCalls) {
    // The non-Ex form sizes as the Ex form does.
    const BYTE in[] = {0x04, 0x02, 0x01, 0x02};
    DWORD size = 0, sizeAgain = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, X509_OCTET_STRING, in, sizeof in, 0, nullptr,
                                    nullptr, &size));
    EXPECT_TRUE(
        CryptDecodeObject(kEncoding, X509_OCTET_STRING, in, sizeof in, 0, nullptr, &sizeAgain));
    EXPECT_EQ(sizeAgain, size);

    struct Refusal {
        const char* name;
        DWORD encoding;
        LPCSTR type;
        const BYTE* pb;
        DWORD cb;
        DWORD flags;
        DWORD error;
    };
    const Refusal refusals[] = {
        // Neither ASN.1 encoding asked for.
        {"encoding type 0", 0, X509_OCTET_STRING, in, sizeof in, 0, ERROR_FILE_NOT_FOUND},
        // A structure type nobody registered.
        {"unknown number", kEncoding, (LPCSTR)9999, in, sizeof in, 0, ERROR_FILE_NOT_FOUND},
        // Nothing to decode, with or without a pointer.
        {"no input", kEncoding, X509_OCTET_STRING, nullptr, 0, 0, DWORD(CRYPT_E_ASN1_CORRUPT)},
        {"zero length", kEncoding, X509_OCTET_STRING, in, 0, 0, DWORD(CRYPT_E_ASN1_CORRUPT)},
        // Allocation asked for, but nowhere to put the block.
        {"alloc without output", kEncoding, X509_OCTET_STRING, in, sizeof in,
         CRYPT_DECODE_ALLOC_FLAG, ERROR_INVALID_PARAMETER},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        std::vector<uint64_t> buffer(8);
        DWORD cb = DWORD(buffer.size() * 8);
        SetLastError(0);
        EXPECT_FALSE(CryptDecodeObjectEx(r.encoding, r.type, r.pb, r.cb, r.flags, nullptr,
                                         r.flags != 0 ? nullptr : buffer.data(), &cb));
        EXPECT_EQ(GetLastError(), r.error);
    }
}
