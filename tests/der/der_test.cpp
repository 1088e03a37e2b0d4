// The DER reader and writer: headers under both reading rules (DER, and the
// wider form the issuer's data is read in), the reader's cursor, lengths
// at every form boundary, integers and object identifiers; and the reader of
// serialized property records that the stores and the chain import share.
// Every read goes over a heap copy of exactly the input's size, so a read
// past the end is an overread for AddressSanitizer.
#include "der/Der.h"
#include "tests/der/ExactCopy.h"
#include "der/SerializedProperties.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace orvane::der;
using Vec = std::vector<BYTE>;
using orvane::tests::Exact;
using orvane::tests::Hex;

Vec Cat(std::initializer_list<Vec> parts) {
    Vec out;
    for (const Vec& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const DWORD kCorrupt = DWORD(CRYPT_E_ASN1_CORRUPT);
const DWORD kLarge = DWORD(CRYPT_E_ASN1_LARGE);
const DWORD kEod = DWORD(CRYPT_E_ASN1_EOD);

// ---- Headers -------------------------------------------------------------------

TEST(DerHeader, DerAndEngineRules) {
    // Each input read under both rules: the code, then (on success) header
    // size, length octets, length and whether it is indefinite.
    struct Expect {
        DWORD err;
        size_t size, lengthOctets;
        DWORD length;
        bool indefinite;
    };
    const struct {
        const char* input;
        Expect der, engine;
    } cases[] = {
        {"02 01 05", {0, 2, 1, 1, false}, {0, 2, 1, 1, false}},
        {"05 00", {0, 2, 1, 0, false}, {0, 2, 1, 0, false}},
        // Non-minimal long forms are read as Windows reads them.
        {"04 81 01 41", {0, 3, 2, 1, false}, {0, 3, 2, 1, false}},
        {"04 84 00 00 00 01 41", {0, 6, 5, 1, false}, {0, 6, 5, 1, false}},
        // Five length octets: too large for DER; the engine keeps the last four.
        {"04 85 01 00 00 00 01 41", {kLarge, 0, 0, 0, false}, {0, 7, 6, 1, false}},
        // Too large before it is known whether the octets are there.
        {"04 85", {kLarge, 0, 0, 0, false}, {kCorrupt, 0, 0, 0, false}},
        {"04 ff", {kLarge, 0, 0, 0, false}, {kCorrupt, 0, 0, 0, false}},
        // Cut short.
        {"", {kCorrupt, 0, 0, 0, false}, {kCorrupt, 0, 0, 0, false}},
        {"30", {kCorrupt, 0, 0, 0, false}, {kCorrupt, 0, 0, 0, false}},
        {"04 82 01", {kCorrupt, 0, 0, 0, false}, {kCorrupt, 0, 0, 0, false}},
        // Contents past the end: DER refuses, the engine leaves it to its caller.
        {"04 02 41", {kEod, 0, 0, 0, false}, {0, 2, 1, 2, false}},
        // A length of nearly 4 GiB must not wrap around the end.
        {"04 84 ff ff ff ff 41", {kEod, 0, 0, 0, false}, {0, 6, 5, 0xFFFFFFFF, false}},
        // Indefinite lengths are not DER.
        {"30 80 00 00", {kCorrupt, 0, 0, 0, false}, {0, 2, 1, 0, true}},
        // High tag numbers: DER reads up to four more identifier octets; the
        // engine knows one-octet tags only and reads the next octet as length.
        {"1f 81 01 00", {0, 4, 1, 0, false}, {0, 3, 2, 1, false}},
        {"1f 02 00", {0, 3, 1, 0, false}, {0, 2, 1, 2, false}},
        {"1f 81 81 81 81 01 00", {kCorrupt, 0, 0, 0, false}, {0, 3, 2, 0x81, false}},
        {"1f 81", {kCorrupt, 0, 0, 0, false}, {kCorrupt, 0, 0, 0, false}},
    };
    for (const auto& c : cases) {
        const Exact in(Hex(c.input));
        for (int i = 0; i < 2; ++i) {
            const Expect& e = i == 0 ? c.der : c.engine;
            const char* rules = i == 0 ? "DER" : "engine";
            Header h;
            h.size = 99;
            EXPECT_EQ(ReadHeader(in.span(), i == 0 ? kDerRules : kEngineRules, h), e.err)
                << c.input << " (" << rules << ")";
            if (e.err != 0) {
                EXPECT_EQ(h.size, 99u) << "nothing is set on failure: " << c.input;
                continue;
            }
            EXPECT_EQ(h.identifier, in.data[0]) << c.input;
            EXPECT_EQ(h.size, e.size) << c.input << " (" << rules << ")";
            EXPECT_EQ(h.lengthOctets, e.lengthOctets) << c.input << " (" << rules << ")";
            EXPECT_EQ(h.length, e.length) << c.input << " (" << rules << ")";
            EXPECT_EQ(h.indefinite, e.indefinite) << c.input << " (" << rules << ")";
        }
    }
}

// ---- Reader --------------------------------------------------------------------

TEST(DerReader, MovesOnlyWhenAReadSucceeds) {
    const Exact in(Hex("30 06 02 01 05 04 01 41 05 00"));
    DerReader r(in.span());
    Bytes contents, element;
    BYTE first = 0;
    // The wrong tag, and a peek, leave the cursor where it was.
    EXPECT_EQ(r.Read(tag::kSet, contents), DWORD(CRYPT_E_ASN1_BADTAG));
    ASSERT_EQ(r.Peek(first, contents, &element), 0u);
    EXPECT_EQ(first, tag::kSequence);
    EXPECT_EQ(element.size(), 8u);
    EXPECT_EQ(r.Rest().size(), in.size);

    ASSERT_EQ(r.Read(tag::kSequence, contents, &element), 0u);
    EXPECT_EQ(element.data(), in.data.get());
    EXPECT_EQ(contents.data(), in.data.get() + 2);
    EXPECT_EQ(contents.size(), 6u);
    EXPECT_TRUE(r.NextIs(tag::kNull));
    EXPECT_EQ(r.ExpectEnd(), kCorrupt);

    DerReader inner(contents);
    ASSERT_EQ(inner.Read(tag::kInteger, contents), 0u);
    EXPECT_EQ(Vec(contents.begin(), contents.end()), Hex("05"));
    ASSERT_EQ(inner.ReadAny(first, contents), 0u);
    EXPECT_EQ(first, tag::kOctetString);
    EXPECT_TRUE(inner.AtEnd());
    EXPECT_EQ(inner.ExpectEnd(), 0u);
    EXPECT_EQ(inner.Read(tag::kNull, contents), kCorrupt) << "nothing left";

    // An element whose contents run past the end is refused and not passed.
    const Exact cut(Hex("04 05 41 41"));
    DerReader c(cut.span());
    EXPECT_EQ(c.ReadAny(first, contents), kEod);
    EXPECT_EQ(c.Rest().size(), 4u);
}

TEST(DerReader, AlgorithmIdentifiers) {
    const struct {
        const char* input;
        DWORD err;
        const char* oid;
        const char* parameters;
    } cases[] = {
        {"30 0d 06 09 2a 86 48 86 f7 0d 01 01 05 05 00", 0, "1.2.840.113549.1.1.5", "05 00"},
        {"30 09 06 07 2a 86 48 ce 3d 02 01", 0, "1.2.840.10045.2.1", ""},
        // Anything after the parameters.
        {"30 09 06 03 55 04 03 05 00 05 00", kCorrupt, nullptr, nullptr},
        {"30 03 02 01 05", DWORD(CRYPT_E_ASN1_BADTAG), nullptr, nullptr},
        {"31 05 06 03 55 04 03", DWORD(CRYPT_E_ASN1_BADTAG), nullptr, nullptr},
        // An identifier with an unfinished arc.
        {"30 03 06 01 81", kCorrupt, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const Exact in(Hex(c.input));
        DerReader r(in.span());
        std::string oid;
        Bytes parameters;
        ASSERT_EQ(ReadAlgorithmIdentifier(r, oid, parameters), c.err) << c.input;
        if (c.err != 0)
            continue;
        EXPECT_EQ(oid, c.oid);
        EXPECT_EQ(Vec(parameters.begin(), parameters.end()), Hex(c.parameters));
        EXPECT_TRUE(r.AtEnd());
    }
}

// ---- Writer --------------------------------------------------------------------

TEST(DerWriter, LengthsAtEveryFormBoundary) {
    const struct {
        size_t length;
        const char* field;
    } cases[] = {
        {0, "00"},
        {127, "7f"},
        {128, "81 80"},
        {255, "81 ff"},
        {256, "82 01 00"},
        {65535, "82 ff ff"},
        {65536, "83 01 00 00"},
        {0x1000000, "84 01 00 00 00"},
    };
    for (const auto& c : cases) {
        const Vec body(c.length, 0x5A);
        const Vec expected = Cat({{0x04}, Hex(c.field), body});
        // Contents given whole, and contents written inside a constructed
        // value whose length is fixed only when it closes.
        DerWriter element, constructed;
        element.Element(tag::kOctetString, body);
        constructed.Constructed(tag::kOctetString, [&](DerWriter& w) { w.Raw(body); });
        ASSERT_EQ(element.Error(), 0u);
        ASSERT_EQ(constructed.Error(), 0u);
        EXPECT_TRUE(element.Encoding() == expected) << c.length;
        EXPECT_TRUE(constructed.Encoding() == expected) << c.length;
    }
    BYTE field[kMaxLengthField];
    ASSERT_EQ(EncodeLength(0xFFFFFFFF, field), 5u);
    EXPECT_EQ(Vec(field, field + 5), Hex("84 ff ff ff ff"));
    if (sizeof(size_t) > 4) {
        EXPECT_EQ(EncodeLength(size_t(0xFFFFFFFF) + 1, field), 0u)
            << "no DER length beyond 32 bits";
    }
}

TEST(DerWriter, NestedValuesReadBack) {
    // SEQUENCE { [0] { SET { OCTET STRING (300 bytes) } }, SEQUENCE {}, NULL }:
    // a long inner body moves every enclosing header.
    const Vec payload(300, 0xA5);
    DerWriter w;
    w.Constructed(tag::kSequence, [&](DerWriter& seq) {
        seq.Constructed(tag::ContextConstructed(0), [&](DerWriter& a0) {
            a0.Constructed(tag::kSet,
                           [&](DerWriter& set) { set.Element(tag::kOctetString, payload); });
        });
        seq.Constructed(tag::kSequence, [](DerWriter&) {});
        seq.Element(tag::kNull, {});
    });
    ASSERT_EQ(w.Error(), 0u);
    const Vec expected =
        Cat({Hex("30 82 01 3c a0 82 01 34 31 82 01 30 04 82 01 2c"), payload, Hex("30 00 05 00")});
    ASSERT_TRUE(w.Encoding() == expected);

    const Exact in(w.Encoding());
    DerReader r(in.span());
    Bytes seq, a0, set, octets, empty, null;
    ASSERT_EQ(r.Read(tag::kSequence, seq), 0u);
    DerReader rs(seq);
    ASSERT_EQ(rs.Read(tag::ContextConstructed(0), a0), 0u);
    ASSERT_EQ(DerReader(a0).Read(tag::kSet, set), 0u);
    ASSERT_EQ(DerReader(set).Read(tag::kOctetString, octets), 0u);
    EXPECT_EQ(Vec(octets.begin(), octets.end()), payload);
    ASSERT_EQ(rs.Read(tag::kSequence, empty), 0u);
    EXPECT_TRUE(empty.empty());
    ASSERT_EQ(rs.Read(tag::kNull, null), 0u);
    EXPECT_TRUE(rs.AtEnd());
}

TEST(DerWriter, FirstFailureSticks) {
    DerWriter w;
    w.Element(tag::kNull, {});
    WriteOid(w, "1");                                 // one arc: refused
    WriteOid(w, "1.2.840");                           // ignored after the failure
    w.Constructed(tag::kSequence, [](DerWriter&) {}); // ignored too
    EXPECT_EQ(w.Error(), DWORD(CRYPT_E_ASN1_ERROR));
    EXPECT_TRUE(w.Encoding() == Hex("05 00"));
    w.Fail(kCorrupt);
    EXPECT_EQ(w.Error(), DWORD(CRYPT_E_ASN1_ERROR)) << "the first code is kept";
}

TEST(DerWriter, SetOfSortsItsMembers) {
    DerWriter w;
    w.SetOf(tag::kSet, {Hex("04 01 02"), Hex("02 01 05"), Hex("04 01 01"), Hex("04 00")});
    EXPECT_TRUE(w.Encoding() == Hex("31 0b 02 01 05 04 00 04 01 01 04 01 02"));
}

// ---- Integers and object identifiers ---------------------------------------------

TEST(DerIntegers, UnsignedSignedAndLittleEndian) {
    const struct {
        const char* bigEndian;
        const char* integer;
    } unsignedCases[] = {
        {"00", "02 01 00"},
        {"00 00 00", "02 01 00"},
        {"7f", "02 01 7f"},
        {"80", "02 02 00 80"},
        // Redundant zeros go; a zero stays where the top bit needs it.
        {"00 00 7f ff", "02 02 7f ff"},
        {"00 80", "02 02 00 80"},
        {"00 00 80", "02 02 00 80"},
        {"ff ff", "02 03 00 ff ff"},
    };
    for (const auto& c : unsignedCases) {
        DerWriter w;
        WriteUnsignedInteger(w, Hex(c.bigEndian));
        ASSERT_EQ(w.Error(), 0u) << c.bigEndian;
        EXPECT_TRUE(w.Encoding() == Hex(c.integer)) << c.bigEndian;
    }
    DerWriter none;
    WriteUnsignedInteger(none, {});
    EXPECT_EQ(none.Error(), DWORD(E_INVALIDARG));

    const struct {
        LONG value;
        const char* integer;
    } int32Cases[] = {
        {0, "02 01 00"},
        {127, "02 01 7f"},
        {128, "02 02 00 80"},
        {-1, "02 01 ff"},
        {-128, "02 01 80"},
        {-129, "02 02 ff 7f"},
        {0x7FFFFFFF, "02 04 7f ff ff ff"},
        {LONG(0x80000000), "02 04 80 00 00 00"},
    };
    for (const auto& c : int32Cases) {
        DerWriter w;
        WriteInt32(w, c.value);
        EXPECT_TRUE(w.Encoding() == Hex(c.integer)) << c.value;
        const Vec tlv = w.Encoding();
        LONG back = 0;
        ASSERT_EQ(ParseInt32(Bytes(tlv).subspan(2), back), 0u) << c.value;
        EXPECT_EQ(back, c.value);
    }
    LONG v = 0;
    EXPECT_EQ(ParseInt32({}, v), kCorrupt);
    EXPECT_EQ(ParseInt32(Hex("01 00 00 00 00"), v), kLarge);

    // CRYPT_INTEGER_BLOB order: least significant byte first, signed.
    DerWriter le;
    WriteLittleEndianInteger(le, Hex("01 80 ff ff"));
    EXPECT_TRUE(le.Encoding() == Hex("02 02 80 01"));
}

TEST(DerOids, WrittenAndParsed) {
    const struct {
        const char* dotted;
        const char* contents; // nullptr: refused
    } cases[] = {
        {"1.2.840.113549.1.1.1", "2a 86 48 86 f7 0d 01 01 01"},
        {"2.5.4.3", "55 04 03"},
        {"1.2.156.10197.1.301", "2a 81 1c cf 55 01 82 2d"},
        {"0.0", "00"},
        {"2.999.1", "88 37 01"},
        {"1.39.18446744073709551615", "4f 81 ff ff ff ff ff ff ff ff 7f"},
        // Refused texts: one arc, empty arcs, leading zeros, signs, a first
        // arc above 2, a second of 40 or more under 0 and 1, 64-bit overflow.
        {"", nullptr},
        {"1", nullptr},
        {"1..2", nullptr},
        {"1.2.", nullptr},
        {"1.02", nullptr},
        {"1.+2", nullptr},
        {"3.1", nullptr},
        {"1.40", nullptr},
        {"1.2.18446744073709551616", nullptr},
    };
    for (const auto& c : cases) {
        DerWriter w;
        WriteOid(w, c.dotted);
        if (c.contents == nullptr) {
            EXPECT_EQ(w.Error(), DWORD(CRYPT_E_ASN1_ERROR)) << c.dotted;
            continue;
        }
        const Vec contents = Hex(c.contents);
        ASSERT_EQ(w.Error(), 0u) << c.dotted;
        EXPECT_TRUE(w.Encoding() == Cat({{tag::kOid, BYTE(contents.size())}, contents}))
            << c.dotted;
        std::string back;
        ASSERT_EQ(ParseOid(contents, back), 0u) << c.dotted;
        EXPECT_EQ(back, c.dotted);
    }
    const struct {
        const char* contents;
        DWORD err;
    } badContents[] = {
        {"", kCorrupt},
        {"2a 86", kCorrupt},                          // the last octet still has bit 8
        {"2a 80 01", kCorrupt},                       // a padded arc
        {"2a 82 80 80 80 80 80 80 80 80 00", kLarge}, // beyond 64 bits
    };
    for (const auto& c : badContents) {
        std::string dotted;
        EXPECT_EQ(ParseOid(Hex(c.contents), dotted), c.err) << c.contents;
    }
}

// Record: a serialized property record, id, reserved 1 and length as given.
Vec Record(DWORD id, DWORD length, const Vec& value) {
    Vec out;
    for (DWORD v : {id, DWORD(1), length})
        for (int i = 0; i < 4; ++i)
            out.push_back(BYTE(v >> (8 * i)));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

TEST(SerializedProperties, RecordsReadWholeIdsAndLengthsAndTheCursorMovesOnlyOnSuccess) {
    const Vec value = Hex("30 03 02 01 05");
    const Exact blob(Cat(
        {Record(0x01000020, 5, value), Record(0xFFFFFFFF, 0, {}), Record(32, 0x01000005, value)}));
    SerializedPropertyReader r(blob.span());
    SerializedProperty p;
    ASSERT_EQ(r.Next(p), 0u);
    EXPECT_EQ(p.id, 0x01000020u); // all 32 bits: not the certificate's record
    EXPECT_EQ(p.reserved, 1u);
    EXPECT_EQ(Vec(p.value.begin(), p.value.end()), value);
    ASSERT_EQ(r.Next(p), 0u);
    EXPECT_EQ(p.id, 0xFFFFFFFFu);
    EXPECT_TRUE(p.value.empty());
    // Invalid: a length of 0x01000005 runs past the end (its top byte counts).
    const Bytes before = r.Rest();
    p.id = 7;
    EXPECT_EQ(r.Next(p), kEod);
    EXPECT_EQ(p.id, 7u);
    EXPECT_EQ(r.Rest().data(), before.data());
    EXPECT_EQ(r.Rest().size(), before.size());

    // Invalid: lengths that would wrap a sum, and headers cut short.
    for (DWORD length : {DWORD(0xFFFFFFFF), DWORD(0xFFFFFFF4), DWORD(0x80000000)}) {
        const Exact huge(Record(32, length, value));
        SerializedPropertyReader h(huge.span());
        EXPECT_EQ(h.Next(p), kEod) << length;
    }
    for (size_t cut = 1; cut < kPropertyHeaderBytes; ++cut) {
        const Exact shortHeader(Vec(cut, 0));
        SerializedPropertyReader h(shortHeader.span());
        EXPECT_EQ(h.Next(p), kEod) << cut;
    }
}

TEST(SerializedProperties, TheCertificateIsExactlyOneRecord32OfExactlyOneDerElement) {
    const Vec a = Hex("30 03 02 01 05"), b = Hex("30 03 02 01 06");
    const Vec hash(20, 0xAB);
    const struct {
        const char* what;
        Vec blob;
        DWORD err;
        Vec found;
    } cases[] = {
        {"alone", Record(32, 5, a), 0, a},
        {"after other properties",
         Cat({Record(3, 20, hash), Record(20, 2, {1, 2}), Record(32, 5, a)}), 0, a},
        {"before other properties", Cat({Record(32, 5, a), Record(3, 20, hash)}), 0, a},
        {"a long-form length, as the certificate parser reads it",
         Record(32, 6, Hex("30 81 03 02 01 05")), 0, Hex("30 81 03 02 01 05")},
        // The masked-id pair: a top byte makes another property, so the
        // certificate is the second value, for every reader alike.
        {"an id with a top byte is another property",
         Cat({Record(0x01000020, 5, a), Record(32, 5, b)}), 0, b},
        // Invalid: no record 32, two of them.
        {"no certificate", Record(3, 20, hash), DWORD(CRYPT_E_NOT_FOUND), {}},
        {"empty blob", {}, DWORD(CRYPT_E_NOT_FOUND), {}},
        {"only a masked id", Record(0xFF000020, 5, a), DWORD(CRYPT_E_NOT_FOUND), {}},
        {"two certificates", Cat({Record(32, 5, a), Record(32, 5, b)}), DWORD(CRYPT_E_EXISTS), {}},
        {"two, the same", Cat({Record(32, 5, a), Record(32, 5, a)}), DWORD(CRYPT_E_EXISTS), {}},
        // Invalid: the value is not exactly one DER element.
        {"empty value", Record(32, 0, {}), kCorrupt, {}},
        {"a byte after the element", Record(32, 6, Cat({a, {0x00}})), kCorrupt, {}},
        {"two elements", Record(32, 10, Cat({a, b})), kCorrupt, {}},
        {"not a SEQUENCE", Record(32, 3, Hex("04 01 00")), DWORD(CRYPT_E_ASN1_BADTAG), {}},
        {"an element running past the value", Record(32, 4, Hex("30 03 02 01")), kEod, {}},
        {"an indefinite length", Record(32, 7, Hex("30 80 02 01 05 00 00")), kCorrupt, {}},
        // Invalid: every record must fit, also after the certificate.
        {"a masked length", Record(32, 0x01000005, a), kEod, {}},
        {"a value running past the end", Record(32, 6, a), kEod, {}},
        {"a later record running past the end",
         Cat({Record(32, 5, a), Record(3, 200, hash)}),
         kEod,
         {}},
        {"a header cut short after the certificate", Cat({Record(32, 5, a), Vec(11, 0)}), kEod, {}},
    };
    for (const auto& c : cases) {
        const Exact blob(c.blob);
        Bytes found(blob.data.get(), 0);
        const Bytes untouched = found;
        EXPECT_EQ(ReadSerializedCertificate(blob.span(), found), c.err) << c.what;
        if (c.err == 0) {
            EXPECT_EQ(Vec(found.begin(), found.end()), c.found) << c.what;
            EXPECT_GE(found.data(), blob.data.get()) << c.what;
            EXPECT_LE(found.data() + found.size(), blob.data.get() + blob.size) << c.what;
        } else {
            EXPECT_EQ(found.data(), untouched.data()) << c.what;
            EXPECT_EQ(found.size(), 0u) << c.what;
        }
    }
}

} // namespace
