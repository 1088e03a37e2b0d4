// Certificates the store tests use, embedded as DER from the files in
// tests/support/certificates/. Each was made once with the OpenSSL command
// line (commands in that folder's README); they are fixed data, never
// regenerated at test time.
#pragma once
#include <windows.h>

#include <cstddef>

struct TestCertificate {
    const BYTE* data;
    DWORD size;
};
extern const TestCertificate kCaCertificate;
extern const TestCertificate kRsaCertificate;
extern const TestCertificate kEcCertificate;
extern const TestCertificate kOddNameCertificate;
extern const TestCertificate kExpiredCertificate;
extern const TestCertificate kChainPkcs7;
