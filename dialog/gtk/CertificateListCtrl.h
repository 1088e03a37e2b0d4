// CCertificateList (GTK): the list of certificate cards, drawn with cairo at
// the geometry the Win32 list uses: a drawing area for the rows, a scroll
// bar beside it, a one-pixel border around both. It selects with the mouse
// and the arrow keys, highlights the row under the mouse, shows the row's
// full name as a tooltip and opens a viewer on double click.
#pragma once
#include "dialog/SelectCertificateDlg.h"
#include "dialog/gtk/DrawingHelpers.h"

#include <gtk/gtk.h>

#include <functional>
#include <vector>

namespace orvane::dialog::gtk {

class CCertificateList {
public:
    CCertificateList() = default;
    ~CCertificateList();
    CCertificateList(const CCertificateList&) = delete;
    CCertificateList& operator=(const CCertificateList&) = delete;

    // Initialize: loads the pictures (PNG 105, 106, 107) from hResourceModule
    // and takes a copy of the rows; creates the widgets. Returns 0 or the
    // picture loader's code.
    [[nodiscard]] HRESULT Initialize(HMODULE hResourceModule, bool bModernSystem,
                                     const std::vector<CERTIFICATE_DISPLAY_ITEM>& items);

    // Widget: the list's outer widget (border, rows and scroll bar).
    GtkWidget* Widget() const { return m_pOuter; }
    // FocusWidget: the widget that takes the keyboard.
    GtkWidget* FocusWidget() const { return m_pArea; }

    // SetDPI: rows are d * 80 / 96 pixels high from now on.
    void SetDPI(UINT uDpi);
    // SetOuterSize: the list's outer size in pixels, border included.
    void SetOuterSize(int width, int height);

    int GetCurSel() const { return m_nSelected; }
    void SetCurSel(int nRow);

    // HitTest: the row under the pointer, or -1.
    int HitTest() const;

    // Called on a double click on a row, with that row.
    std::function<void(int)> onOpenRow;

private:
    int RowAt(double y) const;
    int RowHeightPixels() const;
    void EnsureVisible(int nRow);
    void UpdateScrollRange();
    void DrawRow(cairo_t* cr, int nRow, int top, int width);
    GdkPixbuf* ScaledPicture(GdkPixbuf* pSource, int width, int height, int scale,
                             UniquePixbuf& cache);

    static gboolean OnDraw(GtkWidget* pWidget, cairo_t* cr, gpointer pSelf);
    static gboolean OnMotion(GtkWidget* pWidget, GdkEventMotion* pEvent, gpointer pSelf);
    static gboolean OnLeave(GtkWidget* pWidget, GdkEventCrossing* pEvent, gpointer pSelf);
    static gboolean OnButtonPress(GtkWidget* pWidget, GdkEventButton* pEvent, gpointer pSelf);
    static gboolean OnKeyPress(GtkWidget* pWidget, GdkEventKey* pEvent, gpointer pSelf);
    static gboolean OnScroll(GtkWidget* pWidget, GdkEventScroll* pEvent, gpointer pSelf);
    static gboolean OnQueryTooltip(GtkWidget* pWidget, gint x, gint y, gboolean bKeyboard,
                                   GtkTooltip* pTooltip, gpointer pSelf);
    static void OnSizeAllocate(GtkWidget* pWidget, GdkRectangle* pAllocation, gpointer pSelf);
    static void OnScrolled(GtkAdjustment* pAdjustment, gpointer pSelf);

    bool m_bModernSystem = false;
    UINT m_uDpi = 96;
    std::vector<CERTIFICATE_DISPLAY_ITEM> m_vtrItems;
    int m_nSelected = -1;
    int m_nHover = -1;

    UniquePixbuf m_pSystemCertificate;
    UniquePixbuf m_pKeyCertificate;
    UniquePixbuf m_pFramePicture;
    // The pictures scaled to the current row geometry, made when first drawn.
    UniquePixbuf m_pScaledSystem;
    UniquePixbuf m_pScaledKey;
    UniquePixbuf m_pScaledFrame;

    GtkWidget* m_pOuter = nullptr;
    GtkWidget* m_pArea = nullptr;
    GtkWidget* m_pScrollbar = nullptr;
    GtkAdjustment* m_pAdjustment = nullptr;
};

} // namespace orvane::dialog::gtk
