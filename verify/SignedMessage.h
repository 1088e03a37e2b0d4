// A signed message as a relying party receives it, taken apart: the text a
// page hands over (Base64 on one line, in CR LF broken lines, with or without
// PEM armour) or the DER of a .p7s file, then the signed data inside it, in
// either of the two families Orvane's signers write:
//
//   ContentInfo ::= SEQUENCE { contentType OID, content [0] EXPLICIT SignedData }
//     contentType 1.2.840.113549.1.7.2 (PKCS #7 signed data) or
//                 1.2.156.10197.6.1.4.2.2 (the SM2 signed data of the Chinese
//                 cryptographic message syntax); the same layout below.
//   SignedData ::= SEQUENCE {
//       version INTEGER, digestAlgorithms SET OF AlgorithmIdentifier,
//       contentInfo SEQUENCE { contentType OID, content [0] EXPLICIT OCTET STRING OPTIONAL },
//       certificates [0] IMPLICIT SET OF Certificate OPTIONAL,
//       crls [1] IMPLICIT SET OF CRL OPTIONAL,
//       signerInfos SET OF SignerInfo }
//   SignerInfo ::= SEQUENCE {
//       version INTEGER,
//       sid issuerAndSerialNumber SEQUENCE { Name, INTEGER } | [0] subjectKeyIdentifier,
//       digestAlgorithm AlgorithmIdentifier,
//       signedAttrs [0] IMPLICIT SET OF Attribute OPTIONAL,
//       signatureAlgorithm AlgorithmIdentifier,
//       signature OCTET STRING,
//       unsignedAttrs [1] IMPLICIT SET OF Attribute OPTIONAL }
//
// Everything handed out points into the caller's bytes.
#pragma once
#include "verify/Asn1Reader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::verify {

// The largest message read: an attached message of the largest file the
// signers put inside one (30 MiB) as line-broken Base64 fits with room.
inline constexpr std::uint64_t kMaxMessageBytes = 64ull * 1024 * 1024;

inline constexpr char kOidPkcs7SignedData[] = "1.2.840.113549.1.7.2";
inline constexpr char kOidPkcs7Data[] = "1.2.840.113549.1.7.1";
inline constexpr char kOidSm2SignedData[] = "1.2.156.10197.6.1.4.2.2";
inline constexpr char kOidSm2Data[] = "1.2.156.10197.6.1.4.2.1";
inline constexpr char kOidContentTypeAttr[] = "1.2.840.113549.1.9.3";
inline constexpr char kOidMessageDigestAttr[] = "1.2.840.113549.1.9.4";

enum class Family { kPkcs7, kSm2 };

struct SignerParts {
    long version = 0;
    bool bySubjectKeyId = false;
    Bytes issuer;       // the issuer Name, whole element
    Bytes serial;       // the serial number INTEGER, whole element
    Bytes subjectKeyId; // or the key identifier's octets
    std::string digestOid;
    Bytes signedAttrs;       // the [0] element whole; empty without signed attributes
    Bytes messageDigest;     // the messageDigest attribute's octets
    std::string contentType; // the contentType attribute's value ("" if none)
    std::string signatureOid;
    Bytes signature; // the signature OCTET STRING's contents
};

struct SignedMessage {
    Family family = Family::kPkcs7;
    long version = 0;
    std::vector<std::string> digestOids;
    std::string contentTypeOid; // the inner content's type
    bool attached = false;
    Bytes content;                   // attached content
    std::vector<Bytes> certificates; // each certificate's whole element
    std::vector<SignerParts> signers;
};

// DecodeMessageText: the DER of a message given as DER or as Base64 text
// (whitespace anywhere, CR LF line breaks, optional PEM armour). False with
// a reason for text that is neither.
bool DecodeMessageText(Bytes input, std::vector<std::uint8_t>& der, std::string& why);

// ParseSignedMessage: the message's parts; false with a reason when the
// bytes are not one signed-data message of either family (trailing bytes
// included), or it has no signer.
bool ParseSignedMessage(Bytes der, SignedMessage& message, std::string& why);

} // namespace orvane::verify
