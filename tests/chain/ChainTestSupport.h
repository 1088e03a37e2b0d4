// Helpers of the chain maintenance tests, for both targets: the demo
// authority's files (embedded in the test program as resources "DEMOCHAIN" and
// "DEMOCERT"), and the machine state the tests look at: root-store entries in
// the registry and the "CA" stores.
#pragma once
#include "foundation/Types.h"

#include <windows.h>
#include <wincrypt.h>

#include <initializer_list>
#include <set>
#include <string>
#include <vector>

using Bytes = std::vector<BYTE>;

// Record: one serialized property record (id, reserved 1, length, value),
// with the length given apart so that a test can make it lie.
Bytes Record(DWORD dwId, DWORD dwLength, const Bytes& value);
// Join: the parts one after the other.
Bytes Join(std::initializer_list<Bytes> parts);

// The root store's key below HKEY_LOCAL_MACHINE.
extern const WCHAR kRootStoreKey[];

// DemoDocument: "PRODUCTION" or "TEST", the demo chain documents.
Bytes DemoDocument(const char* pszName);
std::string DemoDocumentText(const char* pszName);
// DemoCertificate: the DER of a demo certificate by its file name without
// ".pem" ("w-rsa-ca-1").
Bytes DemoCertificate(const char* pszFile);

std::string ThumbprintOf(const Bytes& certificate);
// SubjectOf: the subject text (UTF-8) of a certificate.
std::string SubjectOf(const Bytes& certificate);

// RootEntry: the "Blob" of the root store's key for that thumbprint, or false.
bool RootEntry(const std::string& strThumbprint, Bytes* pBlob = nullptr);
// RootEntryThumbprints: the names of the root store's keys whose blob holds
// a certificate of the demo authorities ("Orvane" in the subject).
std::set<std::string> RootEntryThumbprints();
// CaSubjects: subjects of the demo certificates in the "CA" store at dwLocation.
std::multiset<std::string> CaSubjects(DWORD dwLocation);

// AddToStore: adds the certificate to the system store at dwLocation.
bool AddToStore(DWORD dwLocation, const WCHAR* pwszStore, const Bytes& certificate);
// AddRootEntry: writes the certificate's root-store entry as the import does.
bool AddRootEntry(const Bytes& certificate);
// InstallWithdrawn: the demo certificate as an older installation left it:
// an intermediate in the user's and the machine's "CA" stores, a root in the
// machine's "CA" store and the root store.
bool InstallWithdrawn(const char* pszFile);

// DeleteKeyTree: the key strName below hParent with everything below it.
void DeleteKeyTree(HKEY hParent, const WString& strName);
// MachineKeyExists: whether HKEY_LOCAL_MACHINE\strPath opens.
bool MachineKeyExists(const WString& strPath);

// ResetMachine: removes every demo certificate from both "CA" stores, every
// demo root-store entry, and the scratch keys below SOFTWARE\OrvaneChainTest.
void ResetMachine();

// WithdrawnHierarchy: the demo's withdrawn certificates, file names of the
// rows of the RSA and the SM2 table in table order.
extern const char* const kWithdrawnRsaFiles[9];
extern const char* const kWithdrawnSm2Files[8];
