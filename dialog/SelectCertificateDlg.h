// The selection dialog's model, shared by both backends: the rows it shows
// (one CERTIFICATE_DISPLAY_ITEM per certificate, built by LoadCertificates),
// the certificates it owns, and what OK and Cancel report. The window itself
// lives in dialog/win32/ or dialog/gtk/ behind RunSelectCertificateWindow.
#pragma once
#include "dialog/CertificateDialogs.h"
#include "dialog/DialogGeometry.h"
#include "foundation/Handles.h"
#include "foundation/Types.h"

#include <array>
#include <vector>

// Limits of the row texts, in characters without the terminator: the
// buffers these texts have always had.
constexpr size_t kMaxDisplayText = 127;
constexpr size_t kMaxItemName = 127;
constexpr size_t kMaxIssuerValue = 127;
constexpr size_t kMaxItemLine = 255;

// CERTIFICATE_DISPLAY_ITEM: one row of the list.
struct CERTIFICATE_DISPLAY_ITEM {
    PCCERT_CONTEXT pCertContext = nullptr; // owned by the dialog's certificate list
    WString strName;                       // the subject's CN, empty without one
    WString strIssuer;                     // string 205 with the issuer's O, else its CN
    WString strSerialNumber;               // string 206 with the serial in hexadecimal
    WString strValidDate;                  // string 207 with the start and end dates
    bool bHardwareKey = false;             // private key in hardware or on a removable medium
};

// RowTextLine, RowTextLines: a row's four text lines as both backends draw
// them, each with its font and its top-left corner inside the row.
struct RowTextLine {
    const WString* pText;
    orvane::dialog::FontSpec font;
    orvane::dialog::Point origin;
};
std::array<RowTextLine, 4> RowTextLines(const CERTIFICATE_DISPLAY_ITEM& item, UINT uDpi,
                                        bool bModernSystem);

// FindNameAttribute: the value of the first attribute pwszKey ("CN", "O") in a
// name text of the form "CN=Alice, O=Example, C=CN", read up to the next comma
// (or, for a quoted value, to its closing quote) and cut at cchMax characters;
// empty when there is none. Only whole attribute
// names count: the "O=" inside "ACME CO=1" or a value holding "CN=" is not one.
WString FindNameAttribute(const WString& strName, const WCHAR* pwszKey, size_t cchMax);

// FormatResourceText: the row texts' printf subset over a pattern from the
// string table: %ws (and %s) take the next text, %d with an optional
// zero-padded width (%04d) the next number, %% a percent sign. A conversion
// without an argument left writes nothing. The result is cut at cchMax.
struct FormatArgument {
    const WCHAR* pwszText = nullptr;
    long lNumber = 0;
    FormatArgument(const WCHAR* pwsz) : pwszText(pwsz) {}
    FormatArgument(long l) : lNumber(l) {}
    FormatArgument(int n) : lNumber(n) {}
};
WString FormatResourceText(const WCHAR* pwszPattern, std::initializer_list<FormatArgument> args,
                           size_t cchMax);

// HasHardwareKey: whether the certificate's private key can be acquired and
// its provider reports a hardware or removable implementation.
bool HasHardwareKey(PCCERT_CONTEXT pCertContext);

// SortCertificateItems: hardware keys first, then by name without regard to
// case; rows that compare equal keep their order.
void SortCertificateItems(std::vector<CERTIFICATE_DISPLAY_ITEM>& items);

// LoadCertificates: duplicates every certificate of hCertStore into
// certificates, in the store's order, and builds one sorted row per
// certificate into items, with the texts of hResourceModule's string table.
// On failure both lists are left empty. Returns 0 or the failing step's code.
[[nodiscard]] HRESULT LoadCertificates(HMODULE hResourceModule, HCERTSTORE hCertStore,
                                       std::vector<UniqueCertContext>& certificates,
                                       std::vector<CERTIFICATE_DISPLAY_ITEM>& items);

// CSelectCertificateDlgModel: the portable half of the dialog. A backend
// creates its window, calls Initialize from its initialisation, OnOK or
// OnCancel from the buttons, and OnDestroy when the window goes.
class CSelectCertificateDlgModel {
public:
    CSelectCertificateDlgModel() = default;
    CSelectCertificateDlgModel(const CSelectCertificateDlgModel&) = delete;
    CSelectCertificateDlgModel& operator=(const CSelectCertificateDlgModel&) = delete;

    // Initialize: takes the parameters (resource module, display text cut at
    // 127 characters, string 203 when there is none) and loads the
    // certificates. The window texts the parameters give (title, OK,
    // Cancel) are the backend's to apply. Returns 0 or the failing step's
    // code, which also becomes the error code.
    [[nodiscard]] HRESULT Initialize(const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams,
                                     bool bModernSystem);

    // OnOK: takes the certificate of row nRow. Returns false, and leaves the
    // dialog open, when no row is selected.
    [[nodiscard]] bool OnOK(int nRow);
    // OnCancel: the user's Cancel, unless initialisation failed already, in
    // which case that failure stays the error code.
    void OnCancel();
    // OnInitFailed: records a failure of the window's own initialisation.
    void OnInitFailed(HRESULT hResult);
    // OnDestroy: frees the certificates and rows.
    void OnDestroy();

    HMODULE ResourceModule() const { return m_hResourceModule; }
    bool IsModernSystem() const { return m_bModernSystem; }
    const WString& DisplayText() const { return m_strDisplayText; }
    const std::vector<CERTIFICATE_DISPLAY_ITEM>& Items() const { return m_vtrItems; }
    DWORD GetErrorCode() const { return m_dwErrorCode; }
    // TakeSelectedCertificate: hands out the chosen certificate (null when
    // none); the caller frees it.
    PCCERT_CONTEXT TakeSelectedCertificate() { return m_pstCertificate.release(); }

    int m_nVisibleItems = 0;
    UINT m_uDpi = 96;

private:
    HMODULE m_hResourceModule = nullptr;
    bool m_bModernSystem = false;
    WString m_strDisplayText;
    std::vector<UniqueCertContext> m_vtrCertificates;
    std::vector<CERTIFICATE_DISPLAY_ITEM> m_vtrItems;
    DWORD m_dwErrorCode = 0;
    UniqueCertContext m_pstCertificate;
};

// RunSelectCertificateWindow: implemented by the backend. Creates the modal
// window over pModel, runs it on the calling thread until OK, Cancel or a
// failed initialisation, and returns SELECT_CERTIFICATE_RESULT_OK, _CANCEL, or
// _FAILED when no window could be created.
INT_PTR RunSelectCertificateWindow(CSelectCertificateDlgModel& model,
                                   const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams);

// DefaultOwnerWindow: implemented by the backend: the thread's active window
// on Windows; none elsewhere.
HWND DefaultOwnerWindow();
