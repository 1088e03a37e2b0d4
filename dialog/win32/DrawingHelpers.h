// The Win32 dialog's drawing, DPI and picture helpers.
#pragma once
#include "foundation/ResultCodes.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <memory>

namespace orvane::dialog::win32 {

// GetWindowDPI: the window's DPI: GetDpiForWindow where the system has it,
// else the logical pixels per inch of its device context; 96 for a null
// window or when neither can be read.
UINT GetWindowDPI(HWND hWnd);

// GetSystemMetricsWithDpi: the metric at dpi (GetSystemMetricsForDpi where the
// system has it and it answers), else the unscaled metric.
int GetSystemMetricsWithDpi(int nIndex, UINT dpi);

// GetMonitorRect: the whole rectangle (not the work area) of the monitor that
// holds the window; the primary monitor's for a null window.
RECT GetMonitorRect(HWND hWnd);

// GetMonitorHeight: the pixel height of GetMonitorRect.
int GetMonitorHeight(HWND hWnd);

// LoadImageFromResource: resource uId of type "PNG" in hModule, decoded into
// a bitmap that owns its pixels (*ppImage). Returns 0, the resource loader's
// error as a result code, or the decoder's failure.
[[nodiscard]] HRESULT LoadImageFromResource(HMODULE hModule, UINT uId,
                                            std::unique_ptr<Gdiplus::Bitmap>* ppImage);

// LoadImageFromData: decodes cbData bytes of a picture file through a stream
// over a global memory block. The decoded picture is copied into a bitmap of
// its own, so it needs neither the stream nor the block afterwards.
[[nodiscard]] HRESULT LoadImageFromData(DWORD cbData, const BYTE* pbData,
                                        std::unique_ptr<Gdiplus::Bitmap>* ppImage);

// DrawTextWithFont: one line of text at (x, y) in the default GUI font with
// the given face (null keeps it), character width and height, normal weight,
// in crColour on a transparent background, cut at nRightLimit when positive.
void DrawTextWithFont(const WCHAR* pwszFace, HDC hDC, const WCHAR* pwszText, int x, int y,
                      int nRightLimit, int nCharWidth, int nCharHeight, COLORREF crColour);

// GdiplusSession: GDI+ started for the lifetime of the object.
class GdiplusSession {
public:
    GdiplusSession();
    ~GdiplusSession();
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    bool Started() const { return m_token != 0; }

private:
    ULONG_PTR m_token = 0;
};

} // namespace orvane::dialog::win32
