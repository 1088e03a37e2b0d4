// DER, the one way this code base reads and writes it: a bounded reader, a
// writer that fixes lengths when a constructed value closes, and the object
// identifier and integer forms. Portable: the POSIX stand-in's structure
// encoder and decoder use it, and so does the system code on both targets
// (requests, names, signed messages). Errors are the CryptoAPI numbers
// (CRYPT_E_ASN1_*) that the encoder's entry points report.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <span>
#include <string>
#include <vector>

namespace orvane::der {

using Bytes = std::span<const BYTE>;

// Identifier octets of the elements we read and write.
namespace tag {
inline constexpr BYTE kInteger = 0x02;
inline constexpr BYTE kBitString = 0x03;
inline constexpr BYTE kOctetString = 0x04;
inline constexpr BYTE kNull = 0x05;
inline constexpr BYTE kOid = 0x06;
inline constexpr BYTE kUtf8String = 0x0C;
inline constexpr BYTE kNumericString = 0x12;
inline constexpr BYTE kPrintableString = 0x13;
inline constexpr BYTE kT61String = 0x14;
inline constexpr BYTE kVideotexString = 0x15;
inline constexpr BYTE kIa5String = 0x16;
inline constexpr BYTE kGraphicString = 0x19;
inline constexpr BYTE kVisibleString = 0x1A;
inline constexpr BYTE kGeneralString = 0x1B;
inline constexpr BYTE kBmpString = 0x1E;
inline constexpr BYTE kSequence = 0x30;
inline constexpr BYTE kSet = 0x31;
// [n] with constructed contents: EXPLICIT tagging, or IMPLICIT over a SET/SEQUENCE.
constexpr BYTE ContextConstructed(unsigned n) {
    return BYTE(0xA0 | n);
}
} // namespace tag

// DerReader: a cursor over bytes that advances only when a read succeeds.
// Definite lengths in any form are accepted (short, or long with up to four
// octets, minimal or not), as Windows accepts them; an indefinite length is
// not. A header that cannot be read is CRYPT_E_ASN1_CORRUPT, contents running
// past the end CRYPT_E_ASN1_EOD, a longer length field CRYPT_E_ASN1_LARGE, and
// another tag than the one expected CRYPT_E_ASN1_BADTAG.
class DerReader {
public:
    explicit DerReader(Bytes data) : rest_(data) {}

    bool AtEnd() const { return rest_.empty(); }

    // Read: the next element, which must carry `expected` (a one-octet
    // identifier); hands out its contents and, if asked, the whole element.
    DWORD Read(BYTE expected, Bytes& contents, Bytes* element = nullptr);
    // ReadAny: the next element whatever its identifier; `first` receives the
    // identifier's first octet.
    DWORD ReadAny(BYTE& first, Bytes& contents, Bytes* element = nullptr);
    // NextIs: whether an element follows whose first identifier octet is `t`.
    bool NextIs(BYTE t) const { return !rest_.empty() && rest_[0] == t; }
    // ExpectEnd: CRYPT_E_ASN1_CORRUPT if anything is left inside the element
    // being read.
    DWORD ExpectEnd() const { return rest_.empty() ? 0 : DWORD(CRYPT_E_ASN1_CORRUPT); }

private:
    Bytes rest_;
};

// DerWriter: builds one encoding. Lengths take their shortest form. The first
// failure sticks: later writes are ignored and Error() reports it.
class DerWriter {
public:
    // Element: identifier, length, contents.
    void Element(BYTE identifier, Bytes contents);
    // Raw: an element the caller encoded already, copied as given.
    void Raw(Bytes encoded);
    // Constructed: identifier, then whatever `body(*this)` writes as contents.
    template <class Body> void Constructed(BYTE identifier, Body&& body) {
        if (error_ != 0)
            return;
        out_.push_back(identifier);
        size_t start = out_.size();
        body(*this);
        CloseLength(start);
    }
    // SetOf: a SET OF (or an IMPLICIT tagged one) whose members, encoded
    // separately, are written in DER's ascending order.
    void SetOf(BYTE identifier, std::vector<std::vector<BYTE>> members);

    void Fail(DWORD error) {
        if (error_ == 0)
            error_ = error;
    }
    DWORD Error() const { return error_; }
    const std::vector<BYTE>& Encoding() const { return out_; }
    std::vector<BYTE> Take() { return std::move(out_); }

private:
    // Inserts the length of out_[start..] just before it.
    void CloseLength(size_t start);

    std::vector<BYTE> out_;
    DWORD error_ = 0;
};

// WriteOid: an OBJECT IDENTIFIER from dotted text ("1.2.840.113549"). Text
// that is not two or more decimal arcs without leading zeros, with the first
// arc 0, 1 or 2 and the second below 40 under 0 and 1, each within 64 bits,
// fails with CRYPT_E_ASN1_ERROR.
void WriteOid(DerWriter& w, const char* dotted);
// ParseOid: the dotted text of an OBJECT IDENTIFIER's contents; empty
// contents, a padded or unfinished arc are CRYPT_E_ASN1_CORRUPT, an arc
// beyond 64 bits CRYPT_E_ASN1_LARGE.
DWORD ParseOid(Bytes contents, std::string& dotted);

// ReadAlgorithmIdentifier: the next element as
//   AlgorithmIdentifier ::= SEQUENCE {
//       algorithm   OBJECT IDENTIFIER,
//       parameters  ANY DEFINED BY algorithm OPTIONAL }
// giving the dotted identifier and the whole parameters element (empty when
// absent).
DWORD ReadAlgorithmIdentifier(DerReader& r, std::string& oid, Bytes& parameters);

// WriteInt32: an INTEGER holding a signed 32-bit value (DWORD fields that
// Windows encodes as signed, such as a version).
void WriteInt32(DerWriter& w, LONG value);
// ParseInt32: an INTEGER's contents of one to four octets as a signed 32-bit
// value; none is CRYPT_E_ASN1_CORRUPT, more CRYPT_E_ASN1_LARGE.
DWORD ParseInt32(Bytes contents, LONG& value);
// WriteLittleEndianInteger: an INTEGER from a two's-complement number stored
// least significant byte first (CRYPT_INTEGER_BLOB), without redundant sign
// octets. An empty number is E_INVALIDARG: it has no encoding.
void WriteLittleEndianInteger(DerWriter& w, Bytes littleEndian);

} // namespace orvane::der
