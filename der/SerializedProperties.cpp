#include "der/SerializedProperties.h"

namespace orvane::der {

namespace {

DWORD LittleEndian32(Bytes in) {
    return DWORD(in[0]) | DWORD(in[1]) << 8 | DWORD(in[2]) << 16 | DWORD(in[3]) << 24;
}

} // namespace

DWORD SerializedPropertyReader::Next(SerializedProperty& property) {
    if (rest_.size() < kPropertyHeaderBytes)
        return DWORD(CRYPT_E_ASN1_EOD);
    const DWORD id = LittleEndian32(rest_.subspan(0, 4));
    const DWORD reserved = LittleEndian32(rest_.subspan(4, 4));
    const DWORD cbValue = LittleEndian32(rest_.subspan(8, 4));
    // Compared with what is left after the header: no sum that could wrap.
    if (cbValue > rest_.size() - kPropertyHeaderBytes)
        return DWORD(CRYPT_E_ASN1_EOD);
    property.id = id;
    property.reserved = reserved;
    property.value = rest_.subspan(kPropertyHeaderBytes, cbValue);
    rest_ = rest_.subspan(kPropertyHeaderBytes + cbValue);
    return 0;
}

DWORD ReadSerializedCertificate(Bytes blob, Bytes& certificate) {
    SerializedPropertyReader records(blob);
    Bytes found;
    bool haveCertificate = false;
    while (!records.AtEnd()) {
        SerializedProperty record;
        if (DWORD err = records.Next(record))
            return err;
        if (record.id != kCertificatePropertyId)
            continue;
        if (haveCertificate)
            return DWORD(CRYPT_E_EXISTS);
        found = record.value;
        haveCertificate = true;
    }
    if (!haveCertificate)
        return DWORD(CRYPT_E_NOT_FOUND);
    DerReader value(found);
    Bytes contents;
    if (DWORD err = value.Read(tag::kSequence, contents))
        return err;
    if (DWORD err = value.ExpectEnd())
        return err;
    certificate = found;
    return 0;
}

} // namespace orvane::der
