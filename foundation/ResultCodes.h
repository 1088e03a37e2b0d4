// Result codes: HRESULT-shaped 32-bit values. 0 is success; the system's own
// failures are 0xA0070000 | n (severity, customer bit, facility 7), where n is
// also the id of the code's text in the string table.
#pragma once
#include <windows.h>

#define VURO_OK 0

// Builds an own code from its number n.
[[nodiscard]] constexpr HRESULT VuroCode(unsigned n) {
    return HRESULT(0xA0070000u | (n & 0xFFFFu));
}

constexpr HRESULT VURO_E_NO_AVAILABLE_CERT = VuroCode(0x1001);
constexpr HRESULT VURO_E_USER_CANCELED = VuroCode(0x1002);
constexpr HRESULT VURO_E_QUERY_TYPE_NOT_SUPPORTED = VuroCode(0x1003);
constexpr HRESULT VURO_E_BASE64_ENCODE = VuroCode(0x1004);
constexpr HRESULT VURO_E_BASE64_DECODE = VuroCode(0x1005);
constexpr HRESULT VURO_E_MALICIOUS_PATH = VuroCode(0x1006);
constexpr HRESULT VURO_E_EMPTY_FILE = VuroCode(0x1007);
constexpr HRESULT VURO_E_TOO_MANY_SIGNERS = VuroCode(0x1008);
constexpr HRESULT VURO_E_CONTAINER_CERT_LINKED = VuroCode(0x1009);
constexpr HRESULT VURO_E_NO_KEY_USAGE = VuroCode(0x1020);
constexpr HRESULT VURO_E_NO_SUBJECT_KEY_ID = VuroCode(0x1021);
constexpr HRESULT VURO_E_GET_EXTENSION = VuroCode(0x1022);
constexpr HRESULT VURO_E_CHAIN_TIME_INVALID = VuroCode(0x1031);
constexpr HRESULT VURO_E_CERT_IN_CRL = VuroCode(0x1032);
constexpr HRESULT VURO_E_CHAIN_INCOMPLETE = VuroCode(0x1033);
constexpr HRESULT VURO_E_CHAIN_SIGNATURE_INVALID = VuroCode(0x1034);
constexpr HRESULT VURO_E_CERT_NOT_EXIST = VuroCode(0x1035);
constexpr HRESULT VURO_E_ASN1_DECODE = VuroCode(0x1041);
constexpr HRESULT VURO_E_PKCS7_DECODE = VuroCode(0x1042);
constexpr HRESULT VURO_E_DATA_LENGTH_LIMIT = VuroCode(0x1101);
constexpr HRESULT VURO_E_RECURSION_DEPTH = VuroCode(0x1102);
constexpr HRESULT VURO_E_SM2_FILE_CERT_DECODE = VuroCode(0x1103);
constexpr HRESULT VURO_E_PKCS7_FORMAT = VuroCode(0x1104);
constexpr HRESULT VURO_E_CMS_ENVELOPE_FORMAT = VuroCode(0x1105);
constexpr HRESULT VURO_E_SM2_DECRYPT_CERT_MISSING = VuroCode(0x1106);
constexpr HRESULT VURO_E_SIGN_FAILED = VuroCode(0x1107);
constexpr HRESULT VURO_E_SM2_FILE_CERT_DECRYPT = VuroCode(0x1108);
constexpr HRESULT VURO_E_CHAIN_ENTRY_INCOMPLETE = VuroCode(0x1402);
constexpr HRESULT VURO_E_ENVELOPE_FORMAT = VuroCode(0x1403);
constexpr HRESULT VURO_E_ENVELOPE_DEVICE_TYPE = VuroCode(0x1404);
constexpr HRESULT VURO_E_ENVELOPE_ENCRYPT_TYPE = VuroCode(0x1405);
constexpr HRESULT VURO_E_ENVELOPE_SESSION_KEY_TYPE = VuroCode(0x1406);
constexpr HRESULT VURO_E_CERT_NOT_READY = VuroCode(0x2001);
constexpr HRESULT VURO_E_LANGUAGE_NOT_SUPPORTED = VuroCode(0x2002);
constexpr HRESULT VURO_E_CERT_NOT_UNIQUE = VuroCode(0x2003);
constexpr HRESULT VURO_E_INVALID_HASH_ALG = VuroCode(0x2020);
constexpr HRESULT VURO_E_INVALID_CERT_USAGE = VuroCode(0x2021);
constexpr HRESULT VURO_E_INVALID_SIGN_TYPE = VuroCode(0x2022);
constexpr HRESULT VURO_E_INVALID_ENVELOPE_TYPE = VuroCode(0x2023);
constexpr HRESULT VURO_E_DATA_LIMIT = VuroCode(0x2024);
constexpr HRESULT VURO_E_DATA_NOT_READY = VuroCode(0x2025);
constexpr HRESULT VURO_E_FILE_SIZE_LIMIT = VuroCode(0x2026);
constexpr HRESULT VURO_E_KEY_LENGTH = VuroCode(0x2400);
constexpr HRESULT VURO_E_INVALID_KEY_ALG = VuroCode(0x2401);
constexpr HRESULT VURO_E_JSON_RESPONSE = VuroCode(0x3202);
constexpr HRESULT VURO_E_JSON_ARG_TYPE = VuroCode(0x3204);

// HResultFromError: turns an error number (a thread's last error) into a result
// code by the shared rule: 0 and negative values stay as they are; positive
// values with the customer bit 0x20000000 become 0xA0070000 | low 16 bits; other
// positive values become HRESULT_FROM_WIN32. A user's cancel (ERROR_CANCELLED,
// its HRESULT, SCARD_W_CANCELLED_BY_USER) becomes VURO_E_USER_CANCELED.
[[nodiscard]] HRESULT HResultFromError(DWORD dwError);

// HResultFromLastError: HResultFromError(GetLastError()).
[[nodiscard]] HRESULT HResultFromLastError();

// FailureFromLastError: HResultFromLastError() for a call that failed; never a
// success, so a system call that failed without setting an error does not
// look as if it worked (E_FAIL then).
[[nodiscard]] HRESULT FailureFromLastError();
