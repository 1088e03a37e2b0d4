#include "dialog/win32/DrawingHelpers.h"

#include "foundation/Trace.h"

#include <algorithm>

// Trace lines keep the module name readers of older traces know.
#define TRACE_MODULE "FoundationLibrary"

namespace orvane::dialog::win32 {

namespace {

// Per-monitor DPI calls exist from Windows 10 1607 on; older systems (and
// older Wine) lack them, so they are looked up rather than linked.
template <class F> F UserProc(const char* pszName) {
    HMODULE hUser = GetModuleHandleW(L"user32.dll");
    return hUser != nullptr
               ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(hUser, pszName)))
               : nullptr;
}

struct GlobalBlock {
    HGLOBAL h = nullptr;
    ~GlobalBlock() {
        if (h != nullptr)
            GlobalFree(h);
    }
};

} // namespace

UINT GetWindowDPI(HWND hWnd) {
    const WCHAR* op = L"GetWindowDPI";
    if (hWnd == nullptr) {
        TRACE_FAILED_W(op, L"Check hWnd", E_INVALIDARG, L"hWnd == NULL");
        return 96;
    }
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto pGetDpiForWindow = UserProc<GetDpiForWindowFn>("GetDpiForWindow");
    if (pGetDpiForWindow != nullptr) {
        const UINT uDpi = pGetDpiForWindow(hWnd);
        if (uDpi != 0)
            return uDpi;
    }
    HDC hDC = GetDC(hWnd);
    if (hDC == nullptr) {
        TRACE_FAILED_W(op, L"Check hDC", E_FAIL, L"hDC == NULL");
        return 96;
    }
    const int nDpi = GetDeviceCaps(hDC, LOGPIXELSX);
    ReleaseDC(hWnd, hDC);
    return nDpi > 0 ? UINT(nDpi) : 96;
}

int GetSystemMetricsWithDpi(int nIndex, UINT dpi) {
    using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);
    static const auto pForDpi = UserProc<GetSystemMetricsForDpiFn>("GetSystemMetricsForDpi");
    int nValue = 0;
    if (pForDpi != nullptr)
        nValue = pForDpi(nIndex, dpi);
    if (nValue == 0)
        nValue = GetSystemMetrics(nIndex);
    if (nValue == 0)
        TRACE_FAILED_W(L"GetSystemMetricsWithDpi", L"GetSystemMetrics", E_FAIL, L"0 == nValue");
    return nValue;
}

RECT GetMonitorRect(HWND hWnd) {
    HMONITOR hMonitor = hWnd != nullptr ? MonitorFromWindow(hWnd, MONITOR_DEFAULTTONEAREST)
                                        : MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (hMonitor == nullptr || !GetMonitorInfoW(hMonitor, &info))
        return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    return info.rcMonitor;
}

int GetMonitorHeight(HWND hWnd) {
    const RECT rc = GetMonitorRect(hWnd);
    return rc.bottom - rc.top;
}

HRESULT LoadImageFromResource(HMODULE hModule, UINT uId,
                              std::unique_ptr<Gdiplus::Bitmap>* ppImage) {
    const WCHAR* op = L"LoadImageFromResource";
    HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(uId), L"PNG");
    if (hResource == nullptr)
        return FAIL_LAST_ERROR_W(op, L"FindResource", L"hResource == NULL");
    const DWORD dwResSize = SizeofResource(hModule, hResource);
    if (dwResSize == 0)
        return FAIL_LAST_ERROR_W(op, L"SizeofResource", L"dwResSize == 0");
    HGLOBAL hData = LoadResource(hModule, hResource);
    const void* lpResData = hData != nullptr ? LockResource(hData) : nullptr;
    if (lpResData == nullptr)
        return FAIL_LAST_ERROR_W(op, L"LoadResource", L"lpResData == NULL");
    const HRESULT hResult =
        LoadImageFromData(dwResSize, static_cast<const BYTE*>(lpResData), ppImage);
    FreeResource(hData);
    if (FAILED(hResult))
        return TRACE_FAIL_W(op, L"_LoadImageFromData", hResult, L"FAILED(hResult)");
    return VURO_OK;
}

HRESULT LoadImageFromData(DWORD cbData, const BYTE* pbData,
                          std::unique_ptr<Gdiplus::Bitmap>* ppImage) {
    const WCHAR* op = L"_LoadImageFromData";
    if (TRACE_IF_W(pbData == nullptr || cbData == 0 || ppImage == nullptr, op, L"Check parameter",
                   E_INVALIDARG))
        return E_INVALIDARG;
    GlobalBlock block;
    block.h = GlobalAlloc(GMEM_MOVEABLE, cbData);
    if (block.h == nullptr)
        return FAIL_LAST_ERROR_W(op, L"GlobalAlloc", L"hMemoryObject == NULL");
    void* pMemoryBlock = GlobalLock(block.h);
    if (pMemoryBlock == nullptr)
        return FAIL_LAST_ERROR_W(op, L"GlobalLock", L"pMemoryBlock == NULL");
    CopyMemory(pMemoryBlock, pbData, cbData);
    GlobalUnlock(block.h);

    IStream* pStream = nullptr;
    HRESULT hResult = CreateStreamOnHGlobal(block.h, FALSE, &pStream);
    if (FAILED(hResult))
        return TRACE_FAIL_W(op, L"CreateStreamOnHGlobal", hResult, L"FAILED(hResult)");
    std::unique_ptr<Gdiplus::Bitmap> decoded(Gdiplus::Bitmap::FromStream(pStream));
    // A picture decoded from a stream may read it again when drawn; the copy
    // below owns its pixels, so the stream and its block can go now.
    std::unique_ptr<Gdiplus::Bitmap> owned;
    if (decoded && decoded->GetLastStatus() == Gdiplus::Ok) {
        const INT width = INT(decoded->GetWidth());
        const INT height = INT(decoded->GetHeight());
        owned = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppPARGB);
        if (owned->GetLastStatus() == Gdiplus::Ok) {
            Gdiplus::Graphics graphics(owned.get());
            graphics.DrawImage(decoded.get(), 0, 0, width, height);
        } else {
            owned.reset();
        }
    }
    decoded.reset();
    pStream->Release();
    if (!owned)
        return TRACE_FAIL_W(op, L"FromStream", E_POINTER, L"*ppImage == NULL");
    *ppImage = std::move(owned);
    return VURO_OK;
}

void DrawTextWithFont(const WCHAR* pwszFace, HDC hDC, const WCHAR* pwszText, int x, int y,
                      int nRightLimit, int nCharWidth, int nCharHeight, COLORREF crColour) {
    if (pwszText == nullptr || pwszText[0] == 0)
        return;
    LOGFONTW lf{};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
    lf.lfWidth = nCharWidth;
    lf.lfHeight = nCharHeight;
    lf.lfWeight = FW_NORMAL;
    if (pwszFace != nullptr)
        lstrcpynW(lf.lfFaceName, pwszFace, LF_FACESIZE);
    HFONT hFont = CreateFontIndirectW(&lf);
    HGDIOBJ hOld = SelectObject(hDC, hFont);
    SetTextColor(hDC, crColour);
    SetBkMode(hDC, TRANSPARENT);
    const bool bMultiLine = wcschr(pwszText, L'\n') != nullptr;
    const UINT uFormat = bMultiLine ? 0u : UINT(DT_SINGLELINE);
    RECT rc{0, 0, 0, 0};
    DrawTextW(hDC, pwszText, -1, &rc, uFormat | DT_CALCRECT | DT_NOPREFIX);
    OffsetRect(&rc, x, y);
    if (nRightLimit > 0 && rc.right >= nRightLimit)
        rc.right = nRightLimit;
    DrawTextW(hDC, pwszText, -1, &rc, uFormat | DT_LEFT | DT_TOP | DT_NOPREFIX);
    SelectObject(hDC, hOld);
    DeleteObject(hFont);
}

GdiplusSession::GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&m_token, &input, nullptr) != Gdiplus::Ok)
        m_token = 0;
}

GdiplusSession::~GdiplusSession() {
    if (m_token != 0)
        Gdiplus::GdiplusShutdown(m_token);
}

} // namespace orvane::dialog::win32
