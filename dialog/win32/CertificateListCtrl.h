// CCertificateList (Win32): the dialog's owner-drawn list box, subclassed to
// draw certificate cards, highlight the row under the mouse, keep a tooltip
// with the row's full name and open the certificate viewer on double click.
#pragma once
#include "dialog/SelectCertificateDlg.h"
#include "dialog/win32/DrawingHelpers.h"

#include <windows.h>

#include <memory>
#include <vector>

namespace orvane::dialog::win32 {

class CCertificateList {
public:
    CCertificateList() = default;
    ~CCertificateList();
    CCertificateList(const CCertificateList&) = delete;
    CCertificateList& operator=(const CCertificateList&) = delete;

    // Attach: subclasses the list box hList (once).
    [[nodiscard]] bool Attach(HWND hList);
    HWND Window() const { return m_hWnd; }

    // Initialize: loads pictures 105, 106 and 107 from hResourceModule, takes
    // a copy of the rows and creates the tooltip. Returns 0 or the picture
    // loader's code.
    [[nodiscard]] HRESULT Initialize(HMODULE hResourceModule, bool bModernSystem,
                                     const std::vector<CERTIFICATE_DISPLAY_ITEM>& items);

    // SetDPI: rows are d * 80 / 96 pixels high from now on.
    void SetDPI(UINT uDpi);

    // HitTest: the row under the cursor, or -1.
    int HitTest() const;

    // The dialog hands these on from its own messages.
    void OnDrawItem(const DRAWITEMSTRUCT* pDraw);
    void OnMeasureItem(MEASUREITEMSTRUCT* pMeasure) const;

private:
    static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR uIdSubclass, DWORD_PTR dwRefData);
    void OnMouseMove(WPARAM wParam, LPARAM lParam);
    void OnMouseLeave();
    void OnLButtonDblClk();
    void UpdateTooltip(int nRow);

    HWND m_hWnd = nullptr;
    bool m_bModernSystem = false;
    UINT m_uDpi = 96;
    std::unique_ptr<Gdiplus::Bitmap> m_pSystemCertificate;
    std::unique_ptr<Gdiplus::Bitmap> m_pKeyCertificate;
    std::unique_ptr<Gdiplus::Bitmap> m_pFrame;
    std::vector<CERTIFICATE_DISPLAY_ITEM> m_vtrItems;
    HWND m_hTooltip = nullptr;
    bool m_bTracking = false;
};

} // namespace orvane::dialog::win32
