#include "dialog/win32/CertificateListCtrl.h"

#include "dialog/DialogGeometry.h"
#include "dialog/DialogResources.h"
#include "foundation/Trace.h"

#include <commctrl.h>
#include <cryptuiapi.h>

#define TRACE_MODULE "CertificateListCtrl"

namespace orvane::dialog::win32 {

namespace {

constexpr UINT_PTR kSubclassId = 1001;

Gdiplus::Color ToColor(Rgb c) {
    return Gdiplus::Color(255, c.r, c.g, c.b);
}

HMODULE ThisModule() {
    HMODULE hModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &hModule);
    return hModule;
}

} // namespace

CCertificateList::~CCertificateList() {
    if (m_hWnd != nullptr && IsWindow(m_hWnd))
        RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
}

bool CCertificateList::Attach(HWND hList) {
    if (m_hWnd != nullptr)
        return true;
    if (hList == nullptr ||
        !SetWindowSubclass(hList, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this)))
        return false;
    m_hWnd = hList;
    return true;
}

HRESULT CCertificateList::Initialize(HMODULE hResourceModule, bool bModernSystem,
                                     const std::vector<CERTIFICATE_DISPLAY_ITEM>& items) {
    const WCHAR* op = L"CCertificateList::Initialize";
    m_bModernSystem = bModernSystem;
    HRESULT hResult =
        LoadImageFromResource(hResourceModule, IDB_SYSTEM_CERTIFICATE, &m_pSystemCertificate);
    if (FAILED(hResult))
        return TRACE_FAIL_W(op, L"LoadImageFromResource (System certificate)", hResult,
                            L"FAILED(hResult)");
    hResult = LoadImageFromResource(hResourceModule, IDB_KEY_CERTIFICATE, &m_pKeyCertificate);
    if (FAILED(hResult))
        return TRACE_FAIL_W(op, L"LoadImageFromResource (Key certificate)", hResult,
                            L"FAILED(hResult)");
    hResult = LoadImageFromResource(hResourceModule, IDB_CERTIFICATE_FRAME, &m_pFrame);
    if (FAILED(hResult))
        return TRACE_FAIL_W(op, L"LoadImageFromResource (Certificate frame)", hResult,
                            L"FAILED(hResult)");
    m_vtrItems = items;

    m_hTooltip =
        CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, m_hWnd, nullptr, ThisModule(), nullptr);
    if (m_hTooltip != nullptr) {
        TTTOOLINFOW info{};
        info.cbSize = TTTOOLINFOW_V2_SIZE;
        info.uFlags = TTF_IDISHWND;
        info.hwnd = GetParent(m_hWnd);
        info.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
        info.lpszText = const_cast<LPWSTR>(L"");
        SendMessageW(m_hTooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
        SendMessageW(m_hTooltip, TTM_ACTIVATE, TRUE, 0);
    }
    return VURO_OK;
}

void CCertificateList::SetDPI(UINT uDpi) {
    m_uDpi = uDpi;
    if (m_hWnd == nullptr)
        return;
    const int nCount = int(SendMessageW(m_hWnd, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < nCount; ++i)
        SendMessageW(m_hWnd, LB_SETITEMHEIGHT, WPARAM(i), LPARAM(RowHeight(uDpi)));
    // Setting the top row again makes the list box recompute its scrolling.
    SendMessageW(m_hWnd, LB_SETTOPINDEX, SendMessageW(m_hWnd, LB_GETTOPINDEX, 0, 0), 0);
}

int CCertificateList::HitTest() const {
    POINT pt{};
    if (m_hWnd == nullptr || !GetCursorPos(&pt) || !ScreenToClient(m_hWnd, &pt))
        return -1;
    const int nCount = int(SendMessageW(m_hWnd, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < nCount; ++i) {
        RECT rc{};
        if (SendMessageW(m_hWnd, LB_GETITEMRECT, WPARAM(i), reinterpret_cast<LPARAM>(&rc)) !=
                LB_ERR &&
            PtInRect(&rc, pt))
            return i;
    }
    return -1;
}

void CCertificateList::OnMeasureItem(MEASUREITEMSTRUCT* pMeasure) const {
    pMeasure->itemHeight = UINT(RowHeight(m_uDpi));
}

void CCertificateList::OnDrawItem(const DRAWITEMSTRUCT* pDraw) {
    if (pDraw->itemID == UINT(-1) || pDraw->itemID >= m_vtrItems.size())
        return;
    const CERTIFICATE_DISPLAY_ITEM& item = m_vtrItems[pDraw->itemID];
    const RECT& rcItem = pDraw->rcItem;
    const int width = rcItem.right - rcItem.left;
    const int height = rcItem.bottom - rcItem.top;
    if (width <= 0 || height <= 0)
        return;

    // Composed off screen and copied in one transfer, so hovering never flickers.
    HDC hMemDC = CreateCompatibleDC(pDraw->hDC);
    HBITMAP hBitmap = CreateCompatibleBitmap(pDraw->hDC, width, height);
    HGDIOBJ hOldBitmap = SelectObject(hMemDC, hBitmap);
    {
        Gdiplus::Graphics graphics(hMemDC);
        graphics.Clear(Gdiplus::Color(255, 255, 255, 255));
        const int nRow = int(pDraw->itemID);
        const bool bSelected = (pDraw->itemState & ODS_SELECTED) != 0;
        if (const RowColours* pColours = HighlightFor(bSelected, nRow == HitTest())) {
            Gdiplus::LinearGradientBrush brush(Gdiplus::Point(0, 1), Gdiplus::Point(0, height - 1),
                                               ToColor(pColours->gradientTop),
                                               ToColor(pColours->gradientBottom));
            graphics.FillRectangle(&brush, 1, 1, width - 2, height - 2);
            graphics.Flush();
            HPEN hPen = CreatePen(PS_SOLID, 1,
                                  RGB(pColours->border.r, pColours->border.g, pColours->border.b));
            HGDIOBJ hOldPen = SelectObject(hMemDC, hPen);
            HGDIOBJ hOldBrush = SelectObject(hMemDC, GetStockObject(NULL_BRUSH));
            RoundRect(hMemDC, 0, 0, width, height, kHighlightCorner, kHighlightCorner);
            SelectObject(hMemDC, hOldBrush);
            SelectObject(hMemDC, hOldPen);
            DeleteObject(hPen);
        }
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
        graphics.SetPageUnit(Gdiplus::UnitPixel);
        const Box picture = PictureBox(m_uDpi);
        Gdiplus::Bitmap* pPicture =
            item.bHardwareKey ? m_pKeyCertificate.get() : m_pSystemCertificate.get();
        if (pPicture != nullptr)
            graphics.DrawImage(pPicture, picture.x, picture.y, picture.width, picture.height);
        if (m_pFrame) {
            const Box frame =
                FrameBox(m_uDpi, int(m_pFrame->GetWidth()), int(m_pFrame->GetHeight()));
            graphics.DrawImage(m_pFrame.get(), frame.x, frame.y, frame.width, frame.height);
        }
        graphics.Flush();
    }
    const int right = TextRightLimit(width, m_uDpi);
    for (const RowTextLine& l : RowTextLines(item, m_uDpi, m_bModernSystem))
        DrawTextWithFont(l.font.face, hMemDC, l.pText->c_str(), l.origin.x, l.origin.y, right,
                         l.font.width, l.font.height, RGB(0, 0, 0));
    BitBlt(pDraw->hDC, rcItem.left, rcItem.top, width, height, hMemDC, 0, 0, SRCCOPY);
    SelectObject(hMemDC, hOldBitmap);
    DeleteObject(hBitmap);
    DeleteDC(hMemDC);

    if (int(pDraw->itemID) == HitTest())
        UpdateTooltip(int(pDraw->itemID));
}

void CCertificateList::UpdateTooltip(int nRow) {
    if (m_hTooltip == nullptr || nRow < 0 || size_t(nRow) >= m_vtrItems.size())
        return;
    WCHAR szCurrent[256] = {};
    TTTOOLINFOW info{};
    info.cbSize = TTTOOLINFOW_V2_SIZE;
    info.hwnd = GetParent(m_hWnd);
    info.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
    info.lpszText = szCurrent;
    SendMessageW(m_hTooltip, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&info));
    const WString& strName = m_vtrItems[size_t(nRow)].strName;
    if (strName == szCurrent)
        return;
    info.lpszText = const_cast<LPWSTR>(strName.c_str());
    SendMessageW(m_hTooltip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&info));
}

void CCertificateList::OnMouseMove(WPARAM wParam, LPARAM lParam) {
    if (!m_bTracking) {
        TRACKMOUSEEVENT track{};
        track.cbSize = sizeof(track);
        track.dwFlags = TME_LEAVE;
        track.hwndTrack = m_hWnd;
        track.dwHoverTime = 0;
        m_bTracking = TrackMouseEvent(&track) != FALSE;
    }
    if (m_hTooltip != nullptr) {
        MSG msg{};
        msg.hwnd = m_hWnd;
        msg.message = WM_MOUSEMOVE;
        msg.wParam = wParam;
        msg.lParam = lParam;
        SendMessageW(m_hTooltip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
    InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CCertificateList::OnMouseLeave() {
    m_bTracking = false;
    InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CCertificateList::OnLButtonDblClk() {
    const int nRow = HitTest();
    if (nRow < 0 || size_t(nRow) >= m_vtrItems.size())
        return;
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view{};
    view.dwSize = sizeof(view);
    view.hwndParent = m_hWnd;
    view.pCertContext = m_vtrItems[size_t(nRow)].pCertContext;
    BOOL bPropertiesChanged = FALSE;
    CryptUIDlgViewCertificateW(&view, &bPropertiesChanged);
}

LRESULT CALLBACK CCertificateList::SubclassProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                                UINT_PTR, DWORD_PTR dwRefData) {
    auto* self = reinterpret_cast<CCertificateList*>(dwRefData);
    switch (uMsg) {
    case WM_MOUSEMOVE:
        self->OnMouseMove(wParam, lParam);
        break;
    case WM_LBUTTONDBLCLK:
        self->OnLButtonDblClk();
        break;
    case WM_MOUSELEAVE:
        self->OnMouseLeave();
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(hWnd, SubclassProc, kSubclassId);
        self->m_hWnd = nullptr;
        break;
    default:
        break;
    }
    return DefSubclassProc(hWnd, uMsg, wParam, lParam);
}

} // namespace orvane::dialog::win32
