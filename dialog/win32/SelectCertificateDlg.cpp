// The selection dialog on Windows: dialog template 101, its list box
// subclassed as CCertificateList, the heading painted on a white client area,
// and GDI+ for the pictures. The dialog procedure below is the small glue a
// window framework would otherwise provide: it finds the dialog object and
// hands the list its draw and measure messages.
#include "dialog/SelectCertificateDlg.h"

#include "dialog/DialogGeometry.h"
#include "dialog/win32/CertificateListCtrl.h"
#include "dialog/win32/DrawingHelpers.h"
#include "dialog/DialogResources.h"
#include "foundation/Trace.h"

#include <commctrl.h>
#include <versionhelpers.h>

#define TRACE_MODULE "SelectCertificateDlg"

namespace orvane::dialog::win32 {

namespace {

constexpr int IDC_CERTIFICATE_LIST = 1001;

HMODULE ThisModule() {
    HMODULE hModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &hModule);
    return hModule;
}

Box BoxOf(HWND hWnd, HWND hParent) {
    RECT rc{};
    GetWindowRect(hWnd, &rc);
    if (hParent != nullptr)
        MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rc), 2);
    return {rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top};
}

class CSelectCertificateDlg {
public:
    CSelectCertificateDlg(CSelectCertificateDlgModel& model,
                          const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams)
        : m_model(model), m_pParams(pParams) {}
    ~CSelectCertificateDlg() {
        for (HICON h : {m_hBigIcon, m_hSmallIcon})
            if (h != nullptr)
                DestroyIcon(h);
        if (m_hWhite != nullptr)
            DeleteObject(m_hWhite);
    }
    CSelectCertificateDlg(const CSelectCertificateDlg&) = delete;
    CSelectCertificateDlg& operator=(const CSelectCertificateDlg&) = delete;

    INT_PTR DoModal(HMODULE hModule, HWND hParent) {
        if (!m_gdiplus.Started())
            return SELECT_CERTIFICATE_RESULT_FAILED;
        m_hWhite = CreateSolidBrush(RGB(255, 255, 255));
        return DialogBoxParamW(hModule, MAKEINTRESOURCEW(IDD_SELECT_CERTIFICATE), hParent,
                               DialogProc, reinterpret_cast<LPARAM>(this));
    }

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog();
    void OnPaint();
    void OnOK();
    void OnCancel();
    void OnDestroy();
    void AdjustWindowSize();
    void CentreWindow();

    // Declared first so it goes last: the list's pictures are GDI+ objects.
    GdiplusSession m_gdiplus;
    CSelectCertificateDlgModel& m_model;
    const SELECT_CERTIFICATE_DIALOG_PARAMS* m_pParams;
    CCertificateList m_list;
    HWND m_hWnd = nullptr;
    HICON m_hBigIcon = nullptr;
    HICON m_hSmallIcon = nullptr;
    HBRUSH m_hWhite = nullptr;
};

INT_PTR CALLBACK CSelectCertificateDlg::DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam,
                                                   LPARAM lParam) {
    auto* self = reinterpret_cast<CSelectCertificateDlg*>(GetWindowLongPtrW(hDlg, DWLP_USER));
    if (uMsg == WM_INITDIALOG) {
        self = reinterpret_cast<CSelectCertificateDlg*>(lParam);
        SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
        self->m_hWnd = hDlg;
        return self->OnInitDialog();
    }
    if (self == nullptr)
        return FALSE;
    switch (uMsg) {
    case WM_PAINT:
        self->OnPaint();
        return TRUE;
    case WM_ERASEBKGND:
        return TRUE; // WM_PAINT fills the whole client area
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(self->m_hWhite);
    case WM_DRAWITEM:
        if (wParam == IDC_CERTIFICATE_LIST) {
            self->m_list.OnDrawItem(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        }
        return FALSE;
    case WM_MEASUREITEM:
        if (wParam == IDC_CERTIFICATE_LIST) {
            self->m_list.OnMeasureItem(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
            return TRUE;
        }
        return FALSE;
    case WM_DPICHANGED: {
        const RECT* pSuggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(hDlg, nullptr, pSuggested->left, pSuggested->top,
                     pSuggested->right - pSuggested->left, pSuggested->bottom - pSuggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        InvalidateRect(hDlg, nullptr, TRUE);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) {
            self->OnOK();
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            self->OnCancel();
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        self->OnDestroy();
        return FALSE;
    default:
        return FALSE;
    }
}

void CSelectCertificateDlg::CentreWindow() {
    RECT rcDialog{};
    GetWindowRect(m_hWnd, &rcDialog);
    RECT rcArea{};
    HWND hOwner = GetWindow(m_hWnd, GW_OWNER);
    if (hOwner != nullptr && IsWindowVisible(hOwner) && !IsIconic(hOwner)) {
        GetWindowRect(hOwner, &rcArea);
    } else {
        MONITORINFO info{};
        info.cbSize = sizeof(info);
        GetMonitorInfoW(MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &info);
        rcArea = info.rcWork;
    }
    const int width = rcDialog.right - rcDialog.left;
    const int height = rcDialog.bottom - rcDialog.top;
    SetWindowPos(m_hWnd, nullptr, rcArea.left + (rcArea.right - rcArea.left - width) / 2,
                 rcArea.top + (rcArea.bottom - rcArea.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CSelectCertificateDlg::OnInitDialog() {
    const WCHAR* op = L"CSelectCertificateDlg::OnInitDialog";
    CentreWindow();

    m_model.m_uDpi = GetWindowDPI(m_hWnd);
    HMODULE hModule = m_pParams != nullptr ? m_pParams->hResourceModule : nullptr;
    const int cxBig = GetSystemMetricsWithDpi(SM_CXICON, m_model.m_uDpi);
    const int cyBig = GetSystemMetricsWithDpi(SM_CYICON, m_model.m_uDpi);
    const int cxSmall = GetSystemMetricsWithDpi(SM_CXSMICON, m_model.m_uDpi);
    const int cySmall = GetSystemMetricsWithDpi(SM_CYSMICON, m_model.m_uDpi);
    m_hBigIcon = static_cast<HICON>(
        LoadImageW(hModule, MAKEINTRESOURCEW(IDI_DIALOG_ICON), IMAGE_ICON, cxBig, cyBig, 0));
    m_hSmallIcon = static_cast<HICON>(
        LoadImageW(hModule, MAKEINTRESOURCEW(IDI_DIALOG_ICON), IMAGE_ICON, cxSmall, cySmall, 0));
    if (m_hBigIcon != nullptr)
        SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hBigIcon));
    if (m_hSmallIcon != nullptr)
        SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));

    HWND hList = GetDlgItem(m_hWnd, IDC_CERTIFICATE_LIST);
    HRESULT hResult = m_model.Initialize(m_pParams, IsWindowsVistaOrGreater());
    // A list that cannot be taken over would be drawn and driven by nobody:
    // the dialog closes with the reason instead.
    if (SUCCEEDED(hResult) && !m_list.Attach(hList)) {
        hResult = FailureFromLastError();
        TRACE_FAILED_W(op, L"CCertificateList::Attach", hResult, L"!m_list.Attach(hList)");
        m_model.OnInitFailed(hResult);
    }
    if (SUCCEEDED(hResult)) {
        if (m_pParams->pwszTitle != nullptr)
            SetWindowTextW(m_hWnd, m_pParams->pwszTitle);
        if (m_pParams->pwszOkText != nullptr)
            SetDlgItemTextW(m_hWnd, IDOK, m_pParams->pwszOkText);
        if (m_pParams->pwszCancelText != nullptr)
            SetDlgItemTextW(m_hWnd, IDCANCEL, m_pParams->pwszCancelText);
        hResult =
            m_list.Initialize(m_model.ResourceModule(), m_model.IsModernSystem(), m_model.Items());
        if (FAILED(hResult)) {
            TRACE_FAILED_W(op, L"CCertificateList::Initialize", hResult, L"FAILED(hResult)");
            m_model.OnInitFailed(hResult);
        }
    }
    if (FAILED(hResult)) {
        // The standard close presses Cancel, which keeps this failure as the code.
        PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        return TRUE;
    }
    m_list.SetDPI(m_model.m_uDpi);
    AdjustWindowSize();
    for (size_t i = 0; i < m_model.Items().size(); ++i)
        SendMessageW(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L""));
    SendMessageW(hList, LB_SETCURSEL, 0, 0);
    SendMessageW(hList, LB_SETTOPINDEX, 0, 0);
    // Nothing to choose from: only Cancel can end the dialog.
    EnableWindow(GetDlgItem(m_hWnd, IDOK), !m_model.Items().empty());
    ShowWindow(m_hWnd, SW_SHOW);
    SetFocus(hList);
    TRACE_OK_W(op, L"OnInitDialog");
    return FALSE; // the focus is on the list, set above
}

void CSelectCertificateDlg::AdjustWindowSize() {
    HWND hList = GetDlgItem(m_hWnd, IDC_CERTIFICATE_LIST);
    HWND hOk = GetDlgItem(m_hWnd, IDOK);
    HWND hCancel = GetDlgItem(m_hWnd, IDCANCEL);
    const UINT uDpi = m_model.m_uDpi;
    const RECT rcMonitor = GetMonitorRect(m_hWnd);
    const int nMonitorHeight = rcMonitor.bottom - rcMonitor.top;
    m_model.m_nVisibleItems = VisibleRows(nMonitorHeight, uDpi, m_model.Items().size());
    const int frame = GetSystemMetricsWithDpi(SM_CYFIXEDFRAME, uDpi);

    DialogLayout current;
    current.dialog = BoxOf(m_hWnd, nullptr);
    current.list = BoxOf(hList, m_hWnd);
    current.ok = BoxOf(hOk, m_hWnd);
    current.cancel = BoxOf(hCancel, m_hWnd);
    if (m_model.Items().empty())
        return; // an empty list keeps the template's height
    const DialogLayout next =
        AdjustLayout(current, rcMonitor.top, nMonitorHeight, m_model.m_nVisibleItems, uDpi, frame);
    SetWindowPos(m_hWnd, nullptr, next.dialog.x, next.dialog.y, next.dialog.width,
                 next.dialog.height, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(hList, nullptr, 0, 0, next.list.width, next.list.height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(hOk, nullptr, next.ok.x, next.ok.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(hCancel, nullptr, next.cancel.x, next.cancel.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CSelectCertificateDlg::OnPaint() {
    PAINTSTRUCT ps{};
    HDC hDC = BeginPaint(m_hWnd, &ps);
    RECT rcClient{};
    GetClientRect(m_hWnd, &rcClient);
    FillRect(hDC, &rcClient, m_hWhite);

    const UINT uDpi = GetWindowDPI(m_hWnd);
    if (uDpi != m_model.m_uDpi) {
        // The window moved to a monitor with another DPI.
        m_model.m_uDpi = uDpi;
        const int frame = GetSystemMetricsWithDpi(SM_CYFIXEDFRAME, uDpi);
        HWND hList = GetDlgItem(m_hWnd, IDC_CERTIFICATE_LIST);
        const Box list = BoxOf(hList, m_hWnd);
        SetWindowPos(hList, nullptr, 0, 0, list.width,
                     ListHeight(m_model.m_nVisibleItems, uDpi, frame),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        m_list.SetDPI(uDpi);
    }
    const Point origin = HeadingOrigin(uDpi);
    const FontSpec font = HeadingFont(uDpi, m_model.IsModernSystem());
    DrawTextWithFont(font.face, hDC, m_model.DisplayText().c_str(), origin.x, origin.y,
                     HeadingRightLimit(rcClient.right, uDpi), font.width, font.height,
                     RGB(kHeadingColour.r, kHeadingColour.g, kHeadingColour.b));
    EndPaint(m_hWnd, &ps);
}

void CSelectCertificateDlg::OnOK() {
    const int nRow = int(SendDlgItemMessageW(m_hWnd, IDC_CERTIFICATE_LIST, LB_GETCURSEL, 0, 0));
    if (!m_model.OnOK(nRow))
        return;
    EndDialog(m_hWnd, SELECT_CERTIFICATE_RESULT_OK);
}

void CSelectCertificateDlg::OnCancel() {
    m_model.OnCancel();
    EndDialog(m_hWnd, SELECT_CERTIFICATE_RESULT_CANCEL);
}

void CSelectCertificateDlg::OnDestroy() {
    m_model.OnDestroy();
}

} // namespace

} // namespace orvane::dialog::win32

INT_PTR RunSelectCertificateWindow(CSelectCertificateDlgModel& model,
                                   const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams) {
    // Makes this a user-interface thread before any window is created.
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // Without a module of its own the dialog uses the one it is linked into,
    // which carries the template, the pictures and the texts.
    SELECT_CERTIFICATE_DIALOG_PARAMS params{};
    if (pParams != nullptr)
        params = *pParams;
    if (params.hResourceModule == nullptr)
        params.hResourceModule = orvane::dialog::win32::ThisModule();
    orvane::dialog::win32::CSelectCertificateDlg dialog(model,
                                                        pParams != nullptr ? &params : nullptr);
    return dialog.DoModal(params.hResourceModule, params.hParentWindow);
}

HWND DefaultOwnerWindow() {
    return GetActiveWindow();
}
