// Certificate contexts and the serialized property records of stored
// certificates, shared by the crypt32 store code and its fuzz target.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The record of a serialized element that holds the encoded certificate; the
// property is internal (the SDK headers do not name it).
#define CERT_CERT_PROP_ID 32

namespace orvane::crypt32 {

struct Store;

// CertObject: what a PCCERT_CONTEXT points at. The public CERT_CONTEXT comes
// first so the handle converts back; everything the SDK structures point to is
// owned here and never moves after parsing.
struct CertObject {
    CERT_CONTEXT ctx{};
    CERT_INFO info{};
    std::atomic<long> refs{1};
    std::vector<BYTE> encoded;
    std::vector<BYTE> serial; // least significant byte first
    std::string sigAlgOid;
    std::vector<BYTE> sigAlgParams;
    std::string keyAlgOid;
    std::vector<BYTE> keyAlgParams;
    std::vector<BYTE> publicKey;
    std::vector<std::string> extOids;
    std::vector<CERT_EXTENSION> extensions;
    // Sha1: the certificate's SHA-1 (20 bytes), computed when first asked for:
    // most contexts of a listing are never asked.
    const std::vector<BYTE>& Sha1();
    // A system store's context: the name of its certificate key, by which the
    // store knows it (empty for contexts of other stores).
    std::u16string keyName;
    // A context of a store belongs to it: refs counts the references handed
    // out, each pair of 0 -> 1 and 1 -> 0 holds one reference on the store, and
    // the store frees the object once it is neither referenced nor inStore.
    Store* store = nullptr;
    bool inStore = false; // guarded by the store's mutex

    std::mutex propMutex;
    std::map<DWORD, std::vector<BYTE>> props; // serialized values, by id

private:
    std::once_flag sha1Once_;
    std::vector<BYTE> sha1_;
};

inline CertObject* ToObject(PCCERT_CONTEXT c) {
    return reinterpret_cast<CertObject*>(const_cast<CERT_CONTEXT*>(c));
}

// ParseCertificate: a new object for the DER certificate (reference count 1,
// no store), or null with the CryptoAPI error number in err.
std::unique_ptr<CertObject> ParseCertificate(std::span<const BYTE> der, DWORD& err);
// ReleaseObject: drops one reference; the last one frees a context of no store
// and hands a store's context back to its store (ObjectUnreferenced).
void ReleaseObject(CertObject* obj);
// ObjectUnreferenced drops that reference under the store's lock.
void ObjectUnreferenced(CertObject* obj);
// ProcessEmptyStore: the empty memory store a context of no store names as
// its hCertStore (Windows gives such contexts one too); it is never freed.
HCERTSTORE ProcessEmptyStore();
// PersistProperties: writes obj's properties through to its store when the
// store keeps them anywhere (system stores); ERROR_SUCCESS or a Win32/HRESULT number.
DWORD PersistProperties(CertObject* obj);

// --- serialized elements ------------------------------------------------------
// A stored certificate is a run of property records, each
//   DWORD propId; DWORD reserved (1); DWORD cbValue; BYTE value[cbValue]
// in little-endian order; record CERT_CERT_PROP_ID holds the encoded
// certificate. Other ids carry properties in their serialized form.
struct SerializedElement {
    std::span<const BYTE> certificate;
    std::map<DWORD, std::vector<BYTE>> props; // all but CERT_CERT_PROP_ID
};

// ReadSerializedElement: splits a Blob into its records, read as
// der/SerializedProperties.h reads them for every user of these records (the
// chain import among them). Records of ids we do not keep are skipped; false
// when a record overruns the data, or when the blob has not exactly one
// certificate record holding exactly one whole DER element
// (orvane::der::ReadSerializedCertificate).
bool ReadSerializedElement(std::span<const BYTE> blob, SerializedElement& out);
// ParseSerializedElement: what a store makes of a Blob: the element read as
// above, its certificate parsed (ParseCertificate) and its kept properties
// attached; a new object of no store, or null with the CryptoAPI error number
// in err (CRYPT_E_ASN1_CORRUPT when the records do not read).
std::unique_ptr<CertObject> ParseSerializedElement(std::span<const BYTE> blob, DWORD& err);
// WriteSerializedElement: the Blob for a certificate and its properties.
std::vector<BYTE> WriteSerializedElement(std::span<const BYTE> certificate,
                                         const std::map<DWORD, std::vector<BYTE>>& props);

// Properties kept in a Blob: the key-provider link and friendly name, plus any
// application property. Hashes are computed, handles are process-local.
bool IsPersistedProperty(DWORD id);

// KeyProvInfo serialized form: the structure with its pointers replaced by
// offsets from the start of the value, then the strings and parameters:
//   DWORD offContainerName, offProvName, dwProvType, dwFlags, cProvParam,
//         offProvParams, dwKeySpec;
//   params: { DWORD dwParam, offData, cbData, dwFlags } [cProvParam]
// An offset of 0 stands for a null pointer.
std::vector<BYTE> SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info);
// KeyProvInfoToBlock: expands the serialized form into the caller's buffer as
// one self-contained CRYPT_KEY_PROV_INFO block; size says what it needs. False
// when the serialized form is malformed.
bool KeyProvInfoToBlock(std::span<const BYTE> serialized, BYTE* out, size_t& size);

} // namespace orvane::crypt32
