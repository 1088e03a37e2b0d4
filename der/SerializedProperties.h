// Serialized property records: the form in which the system's certificate
// stores keep a certificate with its properties (the "Blob" value of a
// registry store's certificate key, a chain document's root <Content>):
//   DWORD propId; DWORD reserved (1); DWORD cbValue; BYTE value[cbValue]
// each DWORD little-endian and read whole: all 32 bits of the id and of the
// length count. The record with id 32 holds the encoded certificate.
//
// The one reader of these records for the POSIX stand-in's stores and for the
// chain import and its document tool alike, so that what the import checks is
// what a store later reads. Portable and bounded, like DerReader: it never
// reads outside the bytes given. Errors are CryptoAPI numbers.
#pragma once
#include "der/Der.h"

namespace orvane::der {

// The record holding the encoded certificate (the SDK headers do not name it).
inline constexpr DWORD kCertificatePropertyId = 32;
// Id, reserved and length: the octets in front of every value.
inline constexpr size_t kPropertyHeaderBytes = 12;

// SerializedProperty: one record; value points into the bytes read.
struct SerializedProperty {
    DWORD id = 0;
    DWORD reserved = 0;
    Bytes value;
};

// SerializedPropertyReader: a cursor over records that advances only when a
// read succeeds.
class SerializedPropertyReader {
public:
    explicit SerializedPropertyReader(Bytes data) : rest_(data) {}

    bool AtEnd() const { return rest_.empty(); }
    // Rest: the bytes not read yet.
    Bytes Rest() const { return rest_; }

    // Next: the next record. CRYPT_E_ASN1_EOD when its header is cut short or
    // its value would reach beyond the data (the cursor stays, `property` is
    // untouched).
    [[nodiscard]] DWORD Next(SerializedProperty& property);

private:
    Bytes rest_;
};

// ReadSerializedCertificate: the certificate of a serialized element. Every
// record must lie within the blob, to its last byte; exactly one has id 32,
// and its value must be exactly one whole DER element: a SEQUENCE whose
// length reaches the value's last byte, nothing after it. (Whether that
// SEQUENCE is a certificate is the certificate parser's to say.)
// CRYPT_E_ASN1_EOD for a record that does not fit; CRYPT_E_NOT_FOUND for no
// record 32, CRYPT_E_EXISTS for a second one; for the value, DerReader's code
// (CRYPT_E_ASN1_CORRUPT when empty, CRYPT_E_ASN1_BADTAG when not a SEQUENCE,
// CRYPT_E_ASN1_EOD when it runs past the value) or CRYPT_E_ASN1_CORRUPT for
// bytes after the element. `certificate` (pointing into blob) is set only on
// success.
[[nodiscard]] DWORD ReadSerializedCertificate(Bytes blob, Bytes& certificate);

} // namespace orvane::der
