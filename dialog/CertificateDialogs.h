// The certificate selection dialog's entry points: the signing agent hands
// its candidate certificates to CustomCryptUIDlgSelectCertificate and gets
// back the one the user picked. A sole candidate is taken without asking
// unless the caller insists on the dialog.
#pragma once
#include "foundation/ResultCodes.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

// SELECT_CERTIFICATE_OPTIONS: filled by the caller.
typedef struct _SELECT_CERTIFICATE_OPTIONS {
    DWORD dwType;            // 0
    HMODULE hResourceModule; // module with string rows 203-207, images 105-107, icon 102
    BOOL bAlwaysShow;        // non-zero: show the dialog even for one candidate
    DWORD dwParentGiven;     // 1: hParentWindow is the dialog's owner
    HWND hParentWindow;
} SELECT_CERTIFICATE_OPTIONS;

// SELECT_CERTIFICATE_DIALOG_PARAMS: handed to the dialog when it is created.
// Every optional text may be null.
typedef struct _SELECT_CERTIFICATE_DIALOG_PARAMS {
    HMODULE hResourceModule; // null keeps the dialog's default (none)
    HCERTSTORE hCertStore;   // the certificates to list
    HWND hParentWindow;      // owner of the dialog, may be null
    LPCWSTR pwszTitle;       // window title; null keeps the template's
    LPCWSTR pwszDisplayText; // heading; null or empty: string 203; cut at 127 characters
    LPCVOID pvReserved;      // not read
    LPCWSTR pwszOkText;      // caption of the OK button
    LPCWSTR pwszCancelText;  // caption of the Cancel button
} SELECT_CERTIFICATE_DIALOG_PARAMS;

// Results of RunSelectCertificateDialog.
constexpr INT_PTR SELECT_CERTIFICATE_RESULT_OK = 1;
constexpr INT_PTR SELECT_CERTIFICATE_RESULT_CANCEL = 2;
constexpr INT_PTR SELECT_CERTIFICATE_RESULT_FAILED = -1;

// Error codes the dialog reports (thread error numbers, not result codes):
// the user's Cancel (the program's "User canceled operation." number with the
// customer bit), and a window that could not be created.
constexpr DWORD SELECT_CERTIFICATE_ERROR_CANCELED = 0x20001002;
constexpr DWORD SELECT_CERTIFICATE_ERROR_NO_WINDOW = 1406; // ERROR_TLW_WITH_WSCHILD

// CustomCryptUIDlgSelectCertificate: lets the user pick one of candidates and
// hands out a duplicate of it in *ppSelected (the caller frees it with
// CertFreeCertificateContext); the candidates stay the caller's. With exactly
// one candidate and bAlwaysShow zero that one is taken without a window.
// Returns 0; VURO_E_USER_CANCELED when the user cancels or closes the dialog;
// 0x8007057E when no window can be created (no display); E_INVALIDARG for null
// options, a null out-parameter or a null candidate; VURO_E_NO_AVAILABLE_CERT
// for an empty candidate list; or the failing step's code.
[[nodiscard]] HRESULT
CustomCryptUIDlgSelectCertificate(const SELECT_CERTIFICATE_OPTIONS* pOptions,
                                  const std::vector<PCCERT_CONTEXT>& candidates,
                                  PCCERT_CONTEXT* ppSelected);

// CustomCryptUIDlgSelectCertificateFromStore: shows the dialog over the
// certificates of hCertStore, owned by the options' parent window when
// dwParentGiven is 1, else by the thread's active window. Returns the chosen
// certificate (the caller frees it) or null; the thread's last error is the
// dialog's error code either way (ERROR_INVALID_PARAMETER without options).
PCCERT_CONTEXT
CustomCryptUIDlgSelectCertificateFromStore(const SELECT_CERTIFICATE_OPTIONS* pOptions,
                                           HCERTSTORE hCertStore);

// RunSelectCertificateDialog: runs the modal dialog on the calling thread.
// Returns SELECT_CERTIFICATE_RESULT_OK, _CANCEL or _FAILED (no window);
// *ppSelected receives the chosen certificate after OK (caller frees) and
// null otherwise, *pdwErrorCode the dialog's error code: 0 after OK,
// SELECT_CERTIFICATE_ERROR_CANCELED, SELECT_CERTIFICATE_ERROR_NO_WINDOW, or
// the result code of a failed initialisation.
INT_PTR RunSelectCertificateDialog(const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams,
                                   PCCERT_CONTEXT* ppSelected, DWORD* pdwErrorCode);
