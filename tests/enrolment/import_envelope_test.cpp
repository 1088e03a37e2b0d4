// The issuer's envelope and the structures built from it, on both targets:
// number fields, key fields, both header readers with every refusal, the EVP
// structure, the enveloped import blobs, the SM2 reorderings and the PKCS#1
// key taken apart into CryptoAPI's private-key blob.
#include "foundation/ASN1Engine.h"
#include "enrolment/CertificateImport.h"
#include "enrolment/EncryptCertEnvelope.h"
#include "enrolment/EncryptCertImport.h"
#include "tests/enrolment/ImportFixtures.h"
#include "tests/enrolment/ImportTestSupport.h"
#include "enrolment/SoftKeyDecrypt.h"

#include <climits>
#include <cstring>

using namespace importtest;

namespace {

TEST(ImportEnvelope, NumberFieldsReadAsTheCLibraryReadsThem) {
    struct Case {
        const char* text;
        size_t position;
        HRESULT hr;
        int value;
    } cases[] = {
        {"0000000000000002", 0, VURO_OK, 2},
        {"               2", 0, VURO_OK, 2}, // right-aligned with blanks
        {"\t\n\v\f\r 7", 0, VURO_OK, 7},     // every blank the C library skips
        {"+000000000000003", 0, VURO_OK, 3},
        {"-000000000000001", 0, VURO_OK, -1},
        {"  -12abc      99", 0, VURO_OK, -12}, // digits end at the first other character
        {"abc", 0, VURO_OK, 0},                // no digits at all
        {"+", 0, VURO_OK, 0},                  // a sign without digits
        {"                ", 0, VURO_OK, 0},
        {"9999999999999999", 0, VURO_OK, INT_MAX}, // saturates like the 32-bit conversion
        {"-999999999999999", 0, VURO_OK, INT_MIN},
        {"00000000000000011234", 0, VURO_OK, 1},             // only 16 characters count
        {"xx12", 2, VURO_OK, 12},                            // a field cut short by the end
        {"0000000000000001", 16, VURO_E_ENVELOPE_FORMAT, 0}, // starts at the end
        {"", 0, VURO_E_ENVELOPE_FORMAT, 0},
        {"12", 1000, VURO_E_ENVELOPE_FORMAT, 0}, // far past the end
    };
    for (const Case& c : cases) {
        int value = 12345;
        EXPECT_EQ(c.hr, ReadEnvelopeNumber(W(c.text), c.position, &value)) << c.text;
        EXPECT_EQ(c.hr == VURO_OK ? c.value : 12345, value) << c.text;
    }
}

TEST(ImportEnvelope, KeyFieldsAreBoundedAndEndWithAComma) {
    struct Case {
        const char* text;
        size_t position;
        HRESULT hr;
        const char* key;
        size_t next;
    } cases[] = {
        {"0000000000000005QUJD,", 0, VURO_OK, "QUJD", 21},
        {"0000000000000005QUJD,tail", 0, VURO_OK, "QUJD", 21}, // what follows is not read
        {"0000000000000007Q,UJ,D,", 0, VURO_OK, "QUJD", 23},   // commas inside are dropped
        {"0000000000000000", 0, VURO_OK, "", 16},              // empty key: only the length
        {"0000000000000000QUJD,", 0, VURO_OK, "", 16},
        {"xx0000000000000001,", 2, VURO_OK, "", 19},
        {"000000000000005", 0, VURO_E_ENVELOPE_FORMAT, "", 0},         // 15 characters left
        {"0000000000000005QUJD,", 21, VURO_E_ENVELOPE_FORMAT, "", 0},  // nothing left
        {"0000000000000005QUJD,", 400, VURO_E_ENVELOPE_FORMAT, "", 0}, // past the end
        {"0000000000000006QUJD,", 0, VURO_E_ENVELOPE_FORMAT, "", 0},   // longer than the rest
        {"-000000000000001QUJD,", 0, VURO_E_ENVELOPE_FORMAT, "", 0},   // negative
        {"9999999999999999QUJD,", 0, VURO_E_ENVELOPE_FORMAT, "", 0},   // overflows
        {"0000000000000004QUJD,", 0, VURO_E_ENVELOPE_FORMAT, "", 0},   // no comma at its end
        {"0000000000000005QUJDx", 0, VURO_E_ENVELOPE_FORMAT, "", 0},
    };
    for (const Case& c : cases) {
        WString key = W("unchanged");
        size_t position = c.position;
        EXPECT_EQ(c.hr, GetBase64KeyFromEncryptedData(W(c.text), &key, &position)) << c.text;
        if (c.hr == VURO_OK) {
            EXPECT_EQ(c.key, U8(key)) << c.text;
            EXPECT_EQ(c.next, position) << c.text;
        } else {
            EXPECT_EQ("unchanged", U8(key)) << c.text;
            EXPECT_EQ(c.position, position) << c.text;
        }
    }
}

TEST(ImportEnvelope, KeyObjectsNeedExactlyTwoElements) {
    const Bytes key = {0xDE, 0xAD, 0xBE, 0xEF};
    struct Case {
        const char* what;
        Bytes der;
        HRESULT hr;
    } cases[] = {
        {"INTEGER and OCTET STRING", WrapKey(key), VURO_OK},
        {"two OCTET STRINGs", Der(0x30, Cat({Der(0x04, {1}), Der(0x04, key)})), VURO_OK},
        {"one element", Der(0x30, Der(0x04, key)), VURO_E_ENVELOPE_FORMAT},
        {"three elements", Der(0x30, Cat({Der(0x02, {0}), Der(0x04, key), Der(0x04, key)})),
         VURO_E_ENVELOPE_FORMAT},
        {"a primitive", Der(0x04, key), VURO_E_ENVELOPE_FORMAT},
        {"truncated", Bytes{0x30, 0x09, 0x02, 0x01, 0x00, 0x04}, VURO_E_ENVELOPE_FORMAT},
        {"two bytes", Bytes{0x30, 0x00}, VURO_E_ENVELOPE_FORMAT},
        // The issuer's wider forms: a non-minimal long length, an indefinite
        // length, and bytes after the field, which are not read.
        {"long length",
         Bytes{0x30, 0x0D, 0x02, 0x01, 0x00, 0x04, 0x84, 0, 0, 0, 4, 0xDE, 0xAD, 0xBE, 0xEF},
         VURO_OK},
        {"indefinite length", Cat({Bytes{0x30, 0x80}, Der(0x02, {0}), Der(0x04, key), Bytes{0, 0}}),
         VURO_OK},
        {"bytes after the field", Cat({WrapKey(key), Bytes{0xFF}}), VURO_OK},
        {"a nested element that does not read", Der(0x30, Cat({Der(0x30, {0xFF}), Der(0x04, key)})),
         VURO_E_ENVELOPE_FORMAT},
    };
    for (const Case& c : cases) {
        Bytes out;
        EXPECT_EQ(c.hr,
                  GetSessionKeyorPrivateKeyFromASN1Obj(c.der.data(), DWORD(c.der.size()), out))
            << c.what;
        if (c.hr == VURO_OK) {
            EXPECT_EQ(key, out) << c.what;
        } else {
            EXPECT_TRUE(out.empty()) << c.what;
        }
    }
}

struct Parsed {
    HRESULT hr = E_FAIL;
    Bytes session, privateKey;
    ALG_ID alg = 0xFFFF;
};

Parsed Parse(const WString& text, bool fNew) {
    Parsed p;
    p.hr = fNew ? ParseEncryptCertPrivateKeyDataEx(text, p.session, &p.alg, p.privateKey)
                : ParseEncryptCertPrivateKeyData(text, p.session, &p.alg, p.privateKey);
    return p;
}

TEST(ImportEnvelope, BothFormatsParseTheIssuersText) {
    Bytes sessionKey(128), privateKey(608);
    for (size_t i = 0; i < sessionKey.size(); ++i)
        sessionKey[i] = BYTE(i * 7 + 1);
    for (size_t i = 0; i < privateKey.size(); ++i)
        privateKey[i] = BYTE(i * 13 + 5);
    const Bytes wrappedSession = WrapKey(sessionKey), wrappedPrivate = WrapKey(privateKey);
    const WString good = Envelope(1, 1, 306, wrappedSession, wrappedPrivate, 0);
    const WString goodSpaces = W("               2               2") + NumberField(306) +
                               KeyField(wrappedSession) + KeyField(wrappedPrivate);
    const WString noSession = Envelope(0, 2, 0, {}, wrappedPrivate);
    // Session type 0 with something in the session field: read, never decoded.
    const WString unusedSession = NumberField(2) + NumberField(1) + NumberField(0) +
                                  NumberField(5) + W("!!!!,") + KeyField(wrappedPrivate);
    const WString oneElement = Envelope(1, 1, 306, wrappedSession, Der(0x30, Der(0x04, {1})));
    const WString threeElements =
        Envelope(1, 1, 306, Der(0x30, Cat({Der(0x02, {0}), Der(0x04, {1}), Der(0x04, {1})})),
                 wrappedPrivate);
    WString noTerminator = good;
    noTerminator.back() = 'A';
    WString sessionTooLong = good;
    sessionTooLong.replace(48, 16, NumberField(long(good.size())));
    WString sessionNegative = good;
    sessionNegative.replace(48, 16, W("-000000000000010"));
    const WString notBase64 = NumberField(1) + NumberField(1) + NumberField(306) +
                              KeyField(wrappedSession) + NumberField(5) + W("!!!!,");

    struct Case {
        const char* what;
        WString text;
        HRESULT hrOld, hrNew;
    } cases[] = {
        {"good, one line", good, VURO_OK, VURO_OK},
        {"good, commas every 64", Envelope(1, 1, 306, wrappedSession, wrappedPrivate, 64), VURO_OK,
         VURO_OK},
        {"good, commas every character", Envelope(2, 2, 306, wrappedSession, wrappedPrivate, 1),
         VURO_OK, VURO_OK},
        {"blanks before the numbers", goodSpaces, VURO_OK, VURO_OK},
        {"characters after the last field", good + W("trailing, ignored"), VURO_OK, VURO_OK},
        {"device type 3", Envelope(3, 1, 306, wrappedSession, wrappedPrivate),
         VURO_E_ENVELOPE_DEVICE_TYPE, VURO_E_ENVELOPE_DEVICE_TYPE},
        {"device type -1", Envelope(-1, 1, 306, wrappedSession, wrappedPrivate),
         VURO_E_ENVELOPE_DEVICE_TYPE, VURO_E_ENVELOPE_DEVICE_TYPE},
        {"encrypt type 0", Envelope(0, 0, 306, wrappedSession, wrappedPrivate),
         VURO_E_ENVELOPE_ENCRYPT_TYPE, VURO_E_ENVELOPE_ENCRYPT_TYPE},
        {"encrypt type 3", Envelope(0, 3, 306, wrappedSession, wrappedPrivate),
         VURO_E_ENVELOPE_ENCRYPT_TYPE, VURO_E_ENVELOPE_ENCRYPT_TYPE},
        {"session key type 0", noSession, VURO_E_ENVELOPE_SESSION_KEY_TYPE, VURO_OK},
        {"session key type 0, field not decoded", unusedSession, VURO_E_ENVELOPE_SESSION_KEY_TYPE,
         VURO_OK},
        {"session key type 305", Envelope(0, 1, 305, wrappedSession, wrappedPrivate),
         VURO_E_ENVELOPE_SESSION_KEY_TYPE, VURO_E_ENVELOPE_SESSION_KEY_TYPE},
        {"exactly 48 characters", good.substr(0, 48), VURO_E_ENVELOPE_FORMAT,
         VURO_E_ENVELOPE_FORMAT},
        // The session key type is read as far as it goes: "00000000" is 0.
        {"header cut short", good.substr(0, 40), VURO_E_ENVELOPE_SESSION_KEY_TYPE,
         VURO_E_ENVELOPE_FORMAT},
        {"only the device type", good.substr(0, 10), VURO_E_ENVELOPE_FORMAT,
         VURO_E_ENVELOPE_FORMAT},
        // Each number is checked before the next is read.
        {"bad device type, nothing after it", TEXT("3"), VURO_E_ENVELOPE_DEVICE_TYPE,
         VURO_E_ENVELOPE_DEVICE_TYPE},
        {"bad encrypt type, nothing after it", NumberField(0) + TEXT("5"),
         VURO_E_ENVELOPE_ENCRYPT_TYPE, VURO_E_ENVELOPE_ENCRYPT_TYPE},
        {"session key longer than the text", sessionTooLong, VURO_E_ENVELOPE_FORMAT,
         VURO_E_ENVELOPE_FORMAT},
        {"negative session key length", sessionNegative, VURO_E_ENVELOPE_FORMAT,
         VURO_E_ENVELOPE_FORMAT},
        {"private key field without its comma", noTerminator, VURO_E_ENVELOPE_FORMAT,
         VURO_E_ENVELOPE_FORMAT},
        {"no private key field", good.substr(0, 64 + KeyField(wrappedSession, 0).size() - 16),
         VURO_E_ENVELOPE_FORMAT, VURO_E_ENVELOPE_FORMAT},
        {"private key DER of one element", oneElement, VURO_E_ENVELOPE_FORMAT,
         VURO_E_ENVELOPE_FORMAT},
        {"session key DER of three elements", threeElements, VURO_E_ENVELOPE_FORMAT,
         VURO_E_ENVELOPE_FORMAT},
        {"private key not Base64", notBase64, VURO_E_BASE64_DECODE, VURO_E_BASE64_DECODE},
        {"empty private key", Envelope(0, 1, 306, wrappedSession, {}), E_FAIL, E_FAIL},
    };
    for (const Case& c : cases) {
        for (bool fNew : {false, true}) {
            const Parsed p = Parse(c.text, fNew);
            const HRESULT hrExpected = fNew ? c.hrNew : c.hrOld;
            EXPECT_EQ(hrExpected, p.hr) << c.what << (fNew ? " (new)" : " (old)");
            if (hrExpected != VURO_OK) {
                EXPECT_TRUE(p.session.empty() && p.privateKey.empty()) << c.what;
                continue;
            }
            EXPECT_EQ(privateKey, p.privateKey) << c.what;
            if (p.alg == CALG_3DES) {
                EXPECT_EQ(sessionKey, p.session) << c.what;
            } else {
                EXPECT_TRUE(fNew && p.alg == 0 && p.session.empty()) << c.what;
            }
        }
    }
}

TEST(ImportEnvelope, HeaderReadersHandOutTheWrappedFields) {
    const Bytes session = WrapKey({1, 2, 3}), privateKey = WrapKey({4, 5, 6, 7});
    ALG_ID alg = 0;
    Bytes s, p;
    ASSERT_EQ(VURO_OK, GetSessionKeyandPrivateKeyASN1Obj(Envelope(1, 1, 306, session, privateKey),
                                                         &alg, s, p));
    EXPECT_EQ(ALG_ID(CALG_3DES), alg);
    EXPECT_EQ(session, s);
    EXPECT_EQ(privateKey, p);

    Bytes s2{0x77}, p2;
    ASSERT_EQ(VURO_OK,
              GetSessionKeyandPrivateKeyASN1ObjEx(Envelope(1, 2, 0, {}, privateKey), &alg, s2, p2));
    EXPECT_EQ(ALG_ID(0), alg);
    EXPECT_TRUE(s2.empty()) << "no session key field is handed out as none";
    EXPECT_EQ(privateKey, p2);
}

TEST(ImportEnvelope, CertificateTextLosesItsCommas) {
    const Bytes cert = Hex(kTempKeyCert);
    WString text = CommaText(cert);
    Bytes out;
    ASSERT_EQ(VURO_OK, ParseEncryptCertPublicKeyCert(text, out));
    EXPECT_EQ(cert, out);
    EXPECT_EQ(WString::npos, text.find(WCHAR(','))) << "commas are removed from the string given";

    WString notBase64 = W("!!!! ,,, ????");
    Bytes none;
    EXPECT_EQ(VURO_E_BASE64_DECODE, ParseEncryptCertPublicKeyCert(notBase64, none));
    EXPECT_TRUE(none.empty());
    WString empty;
    EXPECT_TRUE(FAILED(ParseEncryptCertPublicKeyCert(empty, none)));
    EXPECT_TRUE(none.empty());
}

TEST(ImportEnvelope, EraseCommaKeepsTheOtherCharacters) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"", ""}, {"abc", "abc"}, {",a,,b,", "ab"}, {",,,", ""}, {"a, b", "a b"}};
    for (const Case& c : cases) {
        WString s = W(c.in);
        EraseCommaInWstr(s);
        EXPECT_EQ(c.out, U8(s)) << c.in;
    }
}

TEST(ImportEnvelope, ObjectIdentifiersAlone) {
    struct Case {
        const char* oid;
        const char* der;
    } cases[] = {
        {"1.2.840.113549.1.1.1", "06092a864886f70d010101"},
        {"1.3.6.1.4.1.4929.1.7", "06092b06010401a6410107"},
        {"2.5.4.3", "0603550403"},
    };
    for (const Case& c : cases) {
        Bytes out;
        ASSERT_EQ(VURO_OK, ComposeObjectIdentifier(c.oid, &out)) << c.oid;
        EXPECT_EQ(Hex(c.der), out) << c.oid;
    }
}

TEST(ImportEnvelope, EvpStructureBytes) {
    const Bytes oids = Hex("020101"
                           "06092a864886f70d010101"
                           "06092b06010401a6410107");
    struct Case {
        const char* what;
        Bytes session, privateKey;
    } cases[] = {
        {"both keys", {0xAA, 0xBB}, {0x01, 0x02, 0x03}},
        {"empty session key", {}, {0x01}},
        {"long private key (long-form lengths)", {0x11}, Bytes(300, 0x5A)},
    };
    for (const Case& c : cases) {
        const Bytes expected =
            Der(0x30, Cat({oids, Der(0x04, c.session), Der(0x04, c.privateKey)}));
        Bytes out;
        ASSERT_EQ(VURO_OK, ComposeRSAEVPPrivateKey(c.privateKey.data(), DWORD(c.privateKey.size()),
                                                   c.session.empty() ? nullptr : c.session.data(),
                                                   DWORD(c.session.size()), out))
            << c.what;
        EXPECT_EQ(expected, out) << c.what;
    }
}

DWORD Le32(const BYTE* pb) {
    return DWORD(pb[0]) | DWORD(pb[1]) << 8 | DWORD(pb[2]) << 16 | DWORD(pb[3]) << 24;
}

TEST(ImportEnvelope, EnvelopedBlobLayouts) {
    const Bytes evp(300, 0x30);
    BYTE rsa[ENVELOPED_RSA_BLOB_BYTES];
    ASSERT_EQ(VURO_OK, BuildEnvelopedRSABlob(2048, evp.data(), DWORD(evp.size()), rsa));
    EXPECT_EQ(Hex("07020100"
                  "00a40000"
                  "00a40000"),
              Bytes(rsa, rsa + 12));
    EXPECT_EQ(2048u, Le32(rsa + 12));
    EXPECT_EQ(2400u, Le32(rsa + 16));
    const BYTE* pbAddress = nullptr;
    std::memcpy(&pbAddress, rsa + 20, sizeof pbAddress);
    EXPECT_EQ(evp.data(), pbAddress);
    EXPECT_EQ(20 + sizeof(void*), sizeof rsa); // 24 bytes in 32-bit builds

    const Bytes cipher(97 + 32, 0x42);
    BYTE sm2[ENVELOPED_SM2_BLOB_BYTES];
    ASSERT_EQ(VURO_OK, BuildEnvelopedSM2Blob(cipher.data(), DWORD(cipher.size()), sm2));
    EXPECT_EQ(Hex("07020100"
                  "00be0000"
                  "00be0000"),
              Bytes(sm2, sm2 + 12));
    EXPECT_EQ(DWORD(cipher.size() * 8), Le32(sm2 + 12));
    std::memcpy(&pbAddress, sm2 + 16, sizeof pbAddress);
    EXPECT_EQ(cipher.data(), pbAddress);
    EXPECT_EQ(16 + sizeof(void*), sizeof sm2); // 20 bytes in 32-bit builds

    // A length whose bit count does not fit the 32-bit field is refused.
    EXPECT_EQ(VURO_E_ENVELOPE_FORMAT, BuildEnvelopedSM2Blob(cipher.data(), 0x20000000, sm2));
    EXPECT_EQ(VURO_E_ENVELOPE_FORMAT, BuildEnvelopedRSABlob(2048, evp.data(), 0x20000000, rsa));
}

TEST(ImportEnvelope, Sm2OrdersConvertBothWays) {
    for (DWORD cbC2 : {0u, 1u, 32u, 33u}) {
        Bytes c1(64), c3(32), c2(cbC2);
        for (size_t i = 0; i < 64; ++i)
            c1[i] = BYTE(i);
        for (size_t i = 0; i < 32; ++i)
            c3[i] = BYTE(0x80 + i);
        for (size_t i = 0; i < cbC2; ++i)
            c2[i] = BYTE(0xC0 + i);
        const Bytes c1c3c2 = Cat({c1, c3, c2}), c1c2c3 = Cat({c1, c2, c3});
        const DWORD cb = DWORD(c1c3c2.size());
        Bytes a, b;
        ASSERT_EQ(VURO_OK, ConvertC1C3C2ToC1C2C3(c1c3c2.data(), cb, a));
        EXPECT_EQ(c1c2c3, a) << cbC2;
        ASSERT_EQ(VURO_OK, ConvertC1C2C3ToC1C3C2(a.data(), cb, b));
        EXPECT_EQ(c1c3c2, b) << cbC2;
    }
    // Shorter than C1 and C3: nothing to reorder.
    const Bytes shortCipher(95, 1);
    Bytes none;
    EXPECT_EQ(E_INVALIDARG, ConvertC1C3C2ToC1C2C3(shortCipher.data(), 95, none));
    EXPECT_EQ(E_INVALIDARG, ConvertC1C2C3ToC1C3C2(shortCipher.data(), 95, none));
    EXPECT_TRUE(none.empty());
}

TEST(ImportSoftKey, IntegersLoseOneLeadingZeroAndTurnAround) {
    struct Case {
        Bytes in, out;
    } cases[] = {
        {{0x00, 0x80, 0x01}, {0x01, 0x80}}, // the sign byte of a positive value goes
        {{0x00, 0x00, 0x05}, {0x05, 0x00}}, // only one of two leading zeros goes
        {{0x7F, 0x01}, {0x01, 0x7F}},       {{0x00}, {}}, {{}, {}},
    };
    for (const Case& c : cases) {
        SecretBytes out;
        ASSERT_EQ(VURO_OK, CopyPrivateKeyAttribute(c.in.empty() ? nullptr : c.in.data(),
                                                   DWORD(c.in.size()), out));
        EXPECT_EQ(c.out, Bytes(out.begin(), out.end()));
    }
}

// Pkcs1: RSAPrivateKey from its nine (or more, or fewer) INTEGER contents.
Bytes Pkcs1(const std::vector<Bytes>& integers) {
    Bytes content;
    for (const Bytes& i : integers) {
        const Bytes tlv = Der(0x02, i);
        content.insert(content.end(), tlv.begin(), tlv.end());
    }
    return Der(0x30, content);
}

// FixedKeyIntegers: the nine INTEGER contents of the fixed PKCS#1 key.
std::vector<Bytes> FixedKeyIntegers() {
    const Bytes der = Hex(kIssuedKeyPkcs1);
    std::vector<Bytes> out;
    size_t pos = der[1] & 0x80 ? 2 + (der[1] & 0x7F) : 2;
    while (pos < der.size()) {
        size_t len = der[pos + 1], at = pos + 2;
        if (len & 0x80) {
            const size_t n = len & 0x7F;
            len = 0;
            for (size_t i = 0; i < n; ++i)
                len = len << 8 | der[at + i];
            at += n;
        }
        out.emplace_back(der.begin() + ptrdiff_t(at), der.begin() + ptrdiff_t(at + len));
        pos = at + len;
    }
    return out;
}

Bytes LittleEndian(Bytes integer) {
    if (!integer.empty() && integer[0] == 0)
        integer.erase(integer.begin());
    return Reversed(integer);
}

TEST(ImportSoftKey, DecodePrivateKeyRefusals) {
    std::vector<Bytes> eight = FixedKeyIntegers();
    eight.pop_back();
    std::vector<Bytes> ten = FixedKeyIntegers();
    ten.push_back({0x01});
    Bytes notInteger = Pkcs1(eight);
    {
        // The coefficient as an OCTET STRING in ninth place.
        Bytes content(notInteger.begin() + (notInteger[1] & 0x80 ? 2 + (notInteger[1] & 0x7F) : 2),
                      notInteger.end());
        const Bytes octets = Der(0x04, FixedKeyIntegers()[8]);
        content.insert(content.end(), octets.begin(), octets.end());
        notInteger = Der(0x30, content);
    }
    struct Case {
        const char* what;
        Bytes der;
        HRESULT hr;
    } cases[] = {
        {"eight elements", Pkcs1(eight), VURO_E_ENVELOPE_FORMAT},
        {"one element", Pkcs1({{0}}), VURO_E_ENVELOPE_FORMAT},
        {"ten elements (other primes)", Pkcs1(ten), VURO_OK},
        {"an element that is not an INTEGER", notInteger, VURO_E_ENVELOPE_FORMAT},
        {"a SET, not a SEQUENCE", Der(0x31, Pkcs1(ten)), VURO_E_ENVELOPE_FORMAT},
        {"unreadable header", Bytes{0x30}, VURO_E_ASN1_DECODE},
        // The outermost header must be followed by at least one more octet.
        {"empty SEQUENCE alone", Bytes{0x30, 0x00}, VURO_E_ASN1_DECODE},
        {"indefinite header alone", Bytes{0x30, 0x80}, VURO_E_ASN1_DECODE},
        {"empty SEQUENCE and one octet", Bytes{0x30, 0x00, 0x00}, VURO_E_ENVELOPE_FORMAT},
        {"content past the end", Bytes{0x30, 0x7F, 0x02, 0x01, 0x00}, HRESULT(ASN1_E_PARSE)},
    };
    for (const Case& c : cases) {
        PKCS1_PRIVATE_KEY key;
        EXPECT_EQ(c.hr, DecodePrivateKey(c.der.data(), DWORD(c.der.size()), &key)) << c.what;
        if (c.hr != VURO_OK) {
            EXPECT_TRUE(key.modulus.empty()) << c.what;
        }
    }
}

// Each number at its place in the blob is also where the decoder took it from.
TEST(ImportSoftKey, PrivateKeyBlobLayout) {
    const Bytes der = Hex(kIssuedKeyPkcs1);
    const std::vector<Bytes> integers = FixedKeyIntegers();
    SecretBytes blob;
    ASSERT_EQ(VURO_OK,
              getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(der.data(), DWORD(der.size()), 1024, blob));
    ASSERT_EQ(1024u * 9 / 16 + 20, blob.size());
    const Bytes b(blob.begin(), blob.end());
    EXPECT_EQ(Hex("07020000"
                  "00a40000"
                  "52534132"
                  "00040000"
                  "01000100"),
              Bytes(b.begin(), b.begin() + 20));
    auto at = [&](size_t offset, size_t n) {
        return Bytes(b.begin() + ptrdiff_t(offset), b.begin() + ptrdiff_t(offset + n));
    };
    EXPECT_EQ(LittleEndian(integers[1]), at(20, 128));
    EXPECT_EQ(LittleEndian(integers[4]), at(148, 64));
    EXPECT_EQ(LittleEndian(integers[5]), at(212, 64));
    EXPECT_EQ(LittleEndian(integers[6]), at(276, 64));
    EXPECT_EQ(LittleEndian(integers[7]), at(340, 64));
    Bytes coefficient = LittleEndian(integers[8]);
    coefficient.push_back(0); // one byte short: zero at the field's high end
    EXPECT_EQ(coefficient, at(404, 64));
    EXPECT_EQ(LittleEndian(integers[3]), at(468, 128));

    // The public exponent is not read: 3 still gives 65537.
    std::vector<Bytes> exponentThree = integers;
    exponentThree[2] = {0x03};
    const Bytes der3 = Pkcs1(exponentThree);
    SecretBytes blob3;
    ASSERT_EQ(VURO_OK, getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(der3.data(), DWORD(der3.size()),
                                                               1024, blob3));
    EXPECT_EQ(65537u, Le32(blob3.data() + 16));
}

TEST(ImportSoftKey, PrivateKeyBlobRefusesLengthsThatDoNotFit) {
    const std::vector<Bytes> integers = FixedKeyIntegers();
    auto with = [&](size_t index, Bytes value) {
        std::vector<Bytes> changed = integers;
        changed[index] = std::move(value);
        return Pkcs1(changed);
    };
    const Bytes der = Hex(kIssuedKeyPkcs1);
    struct Case {
        const char* what;
        Bytes der;
        DWORD bits;
        HRESULT hr;
    } cases[] = {
        {"1024-bit key for a 2048-bit length", der, 2048, VURO_E_ENVELOPE_FORMAT},
        {"1024-bit key for a 512-bit length", der, 512, VURO_E_ENVELOPE_FORMAT},
        // Shorter numbers are zero-padded: valid keys have them.
        {"private exponent a byte short", with(3, Bytes(127, 0x11)), 1024, VURO_OK},
        {"CRT exponent a byte short", with(6, Bytes(63, 0x11)), 1024, VURO_OK},
        {"coefficient two bytes short", with(8, Bytes(62, 0x11)), 1024, VURO_OK},
        {"coefficient of full length", with(8, Bytes(64, 0x11)), 1024, VURO_OK},
        {"modulus a byte short", with(1, Bytes(127, 0x11)), 1024, VURO_E_ENVELOPE_FORMAT},
        {"private exponent a byte long", with(3, Bytes(129, 0x11)), 1024, VURO_E_ENVELOPE_FORMAT},
        {"prime a byte long", with(4, Bytes(65, 0x11)), 1024, VURO_E_ENVELOPE_FORMAT},
        {"length not a multiple of 16", der, 1032, VURO_E_ENVELOPE_FORMAT},
        {"length 0", der, 0, VURO_E_ENVELOPE_FORMAT},
        {"length past every key", der, 0x80000000u, VURO_E_ENVELOPE_FORMAT},
        {"eight elements", Pkcs1({integers.begin(), integers.end() - 1}), 1024,
         VURO_E_ENVELOPE_FORMAT},
    };
    for (const Case& c : cases) {
        SecretBytes blob;
        EXPECT_EQ(c.hr, getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(c.der.data(), DWORD(c.der.size()),
                                                                c.bits, blob))
            << c.what;
        EXPECT_EQ(c.hr == VURO_OK, !blob.empty()) << c.what;
    }
}

} // namespace
