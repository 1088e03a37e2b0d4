// The pieces of the signed messages on both targets: SM2 signature values,
// algorithm identifiers and SignerInfo bytes, and the message's Base64 text
// written piece by piece into one system string.
#include "certificates/Names.h"
#include "der/Der.h"
#include "foundation/Encodings.h"
#include "signing/RsaPkcs7.h"
#include "signing/SignedData.h"
#include "signing/Sm2Pkcs7.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
namespace der = orvane::der;

const HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA); // 0x8007000D

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Repeat(BYTE b, size_t n) {
    return Bytes(n, b);
}

// --- SM2 signature values ------------------------------------------------------------

TEST(Sm2RawSignature, IntegersTakeTheirMinimalForm) {
    struct Case {
        const char* what;
        Bytes half;    // 32 bytes, most significant first
        Bytes integer; // the INTEGER expected for it
    };
    const Case cases[] = {
        {"top bit set: a sign octet in front", Cat({{0x80}, Repeat(0x11, 31)}),
         Cat({{0x02, 0x21, 0x00, 0x80}, Repeat(0x11, 31)})},
        {"no top bit: 32 octets as they are", Cat({{0x7F}, Repeat(0x22, 31)}),
         Cat({{0x02, 0x20, 0x7F}, Repeat(0x22, 31)})},
        {"below 2^248: the leading zero goes", Cat({{0x00, 0x7F}, Repeat(0x33, 30)}),
         Cat({{0x02, 0x1F, 0x7F}, Repeat(0x33, 30)})},
        {"below 2^248 with the next top bit: the zero stays as sign",
         Cat({{0x00, 0x80}, Repeat(0x44, 30)}), Cat({{0x02, 0x20, 0x00, 0x80}, Repeat(0x44, 30)})},
        {"two leading zeros", Cat({{0x00, 0x00, 0x01}, Repeat(0x55, 29)}),
         Cat({{0x02, 0x1E, 0x01}, Repeat(0x55, 29)})},
        {"zero", Repeat(0x00, 32), {0x02, 0x01, 0x00}},
    };
    const Bytes plain = Cat({{0x12}, Repeat(0x66, 31)});
    const Bytes plainInteger = Cat({{0x02, 0x20, 0x12}, Repeat(0x66, 31)});
    for (const Case& c : cases) {
        // The case as r and as s, the other half plain.
        for (bool asR : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (asR ? " (r)" : " (s)"));
            const Bytes raw = asR ? Cat({c.half, plain}) : Cat({plain, c.half});
            const Bytes seqContent =
                asR ? Cat({c.integer, plainInteger}) : Cat({plainInteger, c.integer});
            const Bytes expected = Cat(
                {{0x04, BYTE(seqContent.size() + 2), 0x30, BYTE(seqContent.size())}, seqContent});
            Bytes encoded;
            ASSERT_EQ(SM2EncodeRawSignature(encoded, raw.data(), DWORD(raw.size())), S_OK);
            EXPECT_EQ(encoded, expected);
        }
    }
}

TEST(Sm2RawSignature, OnlySixtyFourBytesAreASignature) {
    // Providers that pad, prefix or wrap their signature (65 bytes, 72 bytes
    // of DER) are refused rather than misread.
    for (DWORD size : {0u, 32u, 63u, 65u, 72u}) {
        SCOPED_TRACE(size);
        Bytes raw(size, 0x5A);
        const Bytes before = raw;
        Bytes encoded{0x77};
        EXPECT_EQ(SM2EncodeRawSignature(encoded, raw.data(), size), kInvalidData);
        EXPECT_EQ(encoded, Bytes{0x77}) << "nothing is handed out";
        EXPECT_EQ(raw, before) << "a refused signature is left as it was";
    }
}

// --- identifiers and SignerInfo ---------------------------------------------------------

TEST(Sm2Encoding, AlgorithmIdentifiersCarryNull) {
    struct Case {
        const char* oid;
        HRESULT hResult;
        Bytes encoding;
    };
    const Case cases[] = {
        {kSm3OID,
         S_OK,
         {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11, 0x05, 0x00}},
        {kSm2SignatureOID,
         S_OK,
         {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x01, 0x05,
          0x00}},
        {kRsaPkcs7DigestOID,
         S_OK,
         {0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00}},
        // Not object identifiers.
        {"1.2.x", HRESULT(CRYPT_E_ASN1_ERROR), {}},
        {"", HRESULT(CRYPT_E_ASN1_ERROR), {}},
        {nullptr, E_INVALIDARG, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oid ? c.oid : "null");
        Bytes encoded;
        ASSERT_EQ(SM2EncodeOID(c.oid, encoded), c.hResult);
        EXPECT_EQ(encoded, c.encoding);
    }
}

TEST(Sm2Encoding, SignerInfoNamesTheSerialAsTheCertificateHasIt) {
    const Bytes issuer{0x30, 0x0B, 0x31, 0x09, 0x30, 0x07, 0x06,
                       0x03, 0x55, 0x04, 0x03, 0x0C, 0x00};
    const Bytes digest{0x04, 0x02, 0xAA, 0xBB};
    struct Case {
        const char* what;
        Bytes serialLittleEndian; // as CERT_INFO keeps it
        Bytes integer;
    };
    const Case cases[] = {
        {"a sign octet the certificate needs", {0xC3, 0x00}, {0x02, 0x02, 0x00, 0xC3}},
        {"a plain number", {0x34, 0x12}, {0x02, 0x02, 0x12, 0x34}},
        // Written back as the certificate wrote it, so that a verifier
        // comparing the two byte for byte finds its signer.
        {"a padded number kept as it stands", {0x01, 0x00}, {0x02, 0x02, 0x00, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SM2_SIGNER_INFO info{1,
                             DWORD(issuer.size()),
                             issuer.data(),
                             DWORD(c.serialLittleEndian.size()),
                             c.serialLittleEndian.data(),
                             kSm3OID,
                             kSm2SignatureOID,
                             DWORD(digest.size()),
                             digest.data()};
        Bytes encoded;
        ASSERT_EQ(SM2EncodeSignerInfo(&info, encoded), S_OK);
        const Bytes ias = Cat({{0x30, BYTE(issuer.size() + c.integer.size())}, issuer, c.integer});
        const Bytes body = Cat(
            {{0x02, 0x01, 0x01},
             ias,
             {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11, 0x05, 0x00},
             {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x01, 0x05,
              0x00},
             digest});
        EXPECT_EQ(encoded, Cat({{0x30, BYTE(body.size())}, body}));
        EXPECT_EQ(c.serialLittleEndian.size(), info.cbSerialNumber) << "the input is not changed";
    }
    SM2_SIGNER_INFO empty{1,
                          DWORD(issuer.size()),
                          issuer.data(),
                          0,
                          nullptr,
                          kSm3OID,
                          kSm2SignatureOID,
                          DWORD(digest.size()),
                          digest.data()};
    Bytes encoded;
    EXPECT_EQ(SM2EncodeSignerInfo(&empty, encoded), E_INVALIDARG) << "a serial of no octets";
}

// --- the message's text -------------------------------------------------------------------

// The message built the plain way, as nested elements, for comparison.
Bytes NestedMessage(const Bytes& certificate, const Bytes& signerInfo, const Bytes* content) {
    der::DerWriter w;
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& ci) {
        der::WriteOid(ci, kPkcs7SignedDataOID);
        ci.Constructed(der::tag::ContextConstructed(0), [&](der::DerWriter& x) {
            x.Constructed(der::tag::kSequence, [&](der::DerWriter& sd) {
                sd.Raw(std::vector<BYTE>{0x02, 0x01, 0x01});
                sd.Constructed(der::tag::kSet, [&](der::DerWriter& set) {
                    // A failure fails the writer, which the test reads back.
                    static_cast<void>(
                        orvane::names::WriteSpecialAttribute(set, kRsaPkcs7DigestOID, nullptr, 0));
                });
                sd.Constructed(der::tag::kSequence, [&](der::DerWriter& inner) {
                    der::WriteOid(inner, kPkcs7DataOID);
                    if (content != nullptr)
                        inner.Constructed(der::tag::ContextConstructed(0), [&](der::DerWriter& e) {
                            e.Element(der::tag::kOctetString, *content);
                        });
                });
                sd.Element(der::tag::ContextConstructed(0), certificate);
                sd.Element(der::tag::kSet, signerInfo);
            });
        });
    });
    return w.Take();
}

std::string EncodeWhole(DWORD flags, const Bytes& data) {
    std::string text;
    EXPECT_EQ(Base64EncodeEx(flags, &text, data.data(), DWORD(data.size())), S_OK);
    return text;
}

std::string Narrow(BSTR b, DWORD cch) {
    std::string out;
    for (DWORD i = 0; i < cch; ++i)
        out += char(b[i]);
    return out;
}

// A file's content as HashFileForSigning keeps it, appended in pieces of the
// given sizes (short reads included).
SigningFileContent FileContentOf(const Bytes& data, size_t piece) {
    SigningFileContent content;
    for (size_t at = 0; at < data.size();) {
        const DWORD cb = DWORD(std::min(piece, data.size() - at));
        BYTE* pb = content.PrepareAppend(cb, data.size() - at);
        EXPECT_NE(pb, nullptr);
        std::memcpy(pb, data.data() + at, cb);
        content.CommitAppend(cb);
        at += cb;
    }
    return content;
}

TEST(SignedDataText, PiecesJoinIntoTheTextOfTheWholeMessage) {
    // A certificate long enough to move the enclosing lengths past 255.
    const Bytes certificate = Cat({{0x30, 0x82, 0x01, 0x2C}, Repeat(0xCE, 300)});
    const Bytes signerInfo = Cat({{0x30, 0x40}, Repeat(0x51, 64)});
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 140; ++n) // lengths crossing 127 at every level
        sizes.push_back(n);
    // Around 256 and 65536 at the outer levels, and around the text's pieces
    // (57 * 1024 bytes) and its lines.
    for (size_t n :
         {size_t(57), size_t(58), size_t(255), size_t(256), size_t(65000), size_t(65200),
          size_t(65536), size_t(58368 - 500), size_t(58368), size_t(3 * 58368 + 7), size_t(200000)})
        sizes.push_back(n);
    for (size_t size : sizes) {
        Bytes content(size);
        for (size_t i = 0; i < size; ++i)
            content[i] = BYTE(i * 7 + size);
        for (DWORD flags : {DWORD(0), DWORD(BASE64_FLAG_NOCRLF)}) {
            for (bool attached : {true, false}) {
                SCOPED_TRACE(std::to_string(size) + " bytes, flags " + std::to_string(flags) +
                             (attached ? ", attached" : ", detached"));
                const Bytes whole =
                    NestedMessage(certificate, signerInfo, attached ? &content : nullptr);
                const std::string expected = EncodeWhole(flags, whole);
                ASSERT_EQ(Base64TextLength(flags, whole.size()), expected.size());

                SIGNED_DATA_PARTS parts{};
                parts.pszSignedDataOID = kPkcs7SignedDataOID;
                parts.pszDataOID = kPkcs7DataOID;
                parts.pszDigestAlgOID = kRsaPkcs7DigestOID;
                parts.certificate = certificate;
                parts.signerInfo = signerInfo;
                parts.bIncludeContent = attached;
                parts.memoryContent = content;
                BSTR bstr = nullptr;
                DWORD cch = 0;
                ASSERT_EQ(WriteSignedDataBase64(parts, flags, &bstr, &cch), S_OK);
                EXPECT_EQ(cch, SysStringLen(bstr));
                EXPECT_EQ(Narrow(bstr, cch), expected) << "content in memory";
                SysFreeString(bstr);

                if (!attached || (size > 200 && size != 200000))
                    continue;
                // The same from a file's pages, read in uneven pieces; each
                // page block is given back once written.
                SigningFileContent file = FileContentOf(content, 16384 - 3);
                parts.memoryContent = {};
                parts.pFileContent = &file;
                bstr = nullptr;
                ASSERT_EQ(WriteSignedDataBase64(parts, flags, &bstr, &cch), S_OK);
                EXPECT_EQ(Narrow(bstr, cch), expected) << "content from a file";
                SysFreeString(bstr);
                for (size_t i = 0; i < file.BlockCount(); ++i)
                    EXPECT_TRUE(file.Block(i).empty()) << "block " << i << " kept";
            }
        }
    }
}

TEST(SignedDataText, LengthRuleMatchesTheEncoder) {
    for (DWORD flags = 0; flags < 4; ++flags)
        for (size_t n = 0; n <= 400; ++n) {
            const Bytes data(n, 0xA7);
            EXPECT_EQ(Base64TextLength(flags, n), EncodeWhole(flags, data).size())
                << n << " bytes, flags " << flags;
        }
}

TEST(SignedDataText, MissingPartsAreRefused) {
    const Bytes part{0x30, 0x00};
    SIGNED_DATA_PARTS good{};
    good.pszSignedDataOID = kPkcs7SignedDataOID;
    good.pszDataOID = kPkcs7DataOID;
    good.pszDigestAlgOID = kRsaPkcs7DigestOID;
    good.certificate = part;
    good.signerInfo = part;
    struct Case {
        const char* what;
        void (*spoil)(SIGNED_DATA_PARTS&);
        HRESULT hResult;
    };
    const Case cases[] = {
        {"no certificate", [](SIGNED_DATA_PARTS& p) { p.certificate = {}; }, E_INVALIDARG},
        {"no SignerInfo", [](SIGNED_DATA_PARTS& p) { p.signerInfo = {}; }, E_INVALIDARG},
        {"no content type", [](SIGNED_DATA_PARTS& p) { p.pszDataOID = nullptr; }, E_INVALIDARG},
        {"a digest that is no identifier", [](SIGNED_DATA_PARTS& p) { p.pszDigestAlgOID = "sha1"; },
         HRESULT(CRYPT_E_ASN1_ERROR)},
    };
    for (const Case& c : cases) {
        SIGNED_DATA_PARTS parts = good;
        c.spoil(parts);
        BSTR bstr = nullptr;
        DWORD cch = 0;
        EXPECT_EQ(WriteSignedDataBase64(parts, 0, &bstr, &cch), c.hResult) << c.what;
        EXPECT_EQ(bstr, nullptr) << c.what;
    }
}

} // namespace
