#include "dialog/gtk/CertificateListCtrl.h"

#include "dialog/DialogGeometry.h"
#include "dialog/gtk/DrawingHelpers.h"
#include "dialog/DialogResources.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <cmath>

#define TRACE_MODULE "CertificateListCtrl"

namespace orvane::dialog::gtk {

namespace {

constexpr Rgb kTextColour{0, 0, 0};

void SetSourceRgb(cairo_t* cr, Rgb c) {
    cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
}

// RoundedRectangle: the outline GDI's RoundRect draws for a 1-pixel pen over
// (0, 0, width, height) with a corner ellipse of corner x corner.
void RoundedRectangle(cairo_t* cr, double width, double height, double corner) {
    const double r = corner / 2;
    const double left = 0.5;
    const double top = 0.5;
    const double right = width - 0.5;
    const double bottom = height - 0.5;
    cairo_new_sub_path(cr);
    cairo_arc(cr, right - r, top + r, r, -M_PI / 2, 0);
    cairo_arc(cr, right - r, bottom - r, r, 0, M_PI / 2);
    cairo_arc(cr, left + r, bottom - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, left + r, top + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void PaintPicture(cairo_t* cr, GdkPixbuf* pPicture, const Box& box, int scale) {
    if (pPicture == nullptr)
        return;
    cairo_save(cr);
    cairo_translate(cr, box.x, box.y);
    cairo_scale(cr, 1.0 / scale, 1.0 / scale);
    gdk_cairo_set_source_pixbuf(cr, pPicture, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
}

} // namespace

CCertificateList::~CCertificateList() = default;

HRESULT CCertificateList::Initialize(HMODULE hResourceModule, bool bModernSystem,
                                     const std::vector<CERTIFICATE_DISPLAY_ITEM>& items) {
    const WCHAR* op = TEXT("CCertificateList::Initialize");
    m_bModernSystem = bModernSystem;
    HRESULT hResult =
        LoadImageFromResource(hResourceModule, IDB_SYSTEM_CERTIFICATE, &m_pSystemCertificate);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("LoadImageFromResource (System certificate)"),
                   hResult))
        return hResult;
    hResult = LoadImageFromResource(hResourceModule, IDB_KEY_CERTIFICATE, &m_pKeyCertificate);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("LoadImageFromResource (Key certificate)"), hResult))
        return hResult;
    hResult = LoadImageFromResource(hResourceModule, IDB_CERTIFICATE_FRAME, &m_pFramePicture);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("LoadImageFromResource (Certificate frame)"), hResult))
        return hResult;
    m_vtrItems = items;

    m_pOuter = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_name(m_pOuter, "certificate-list");
    gtk_style_context_add_class(gtk_widget_get_style_context(m_pOuter), "orvane-certificate-list");

    m_pArea = gtk_drawing_area_new();
    gtk_widget_set_name(m_pArea, "certificate-rows");
    gtk_widget_set_can_focus(m_pArea, TRUE);
    gtk_widget_set_hexpand(m_pArea, TRUE);
    gtk_widget_set_vexpand(m_pArea, TRUE);
    gtk_widget_add_events(m_pArea, GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK |
                                       GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK |
                                       GDK_SCROLL_MASK | GDK_SMOOTH_SCROLL_MASK);
    gtk_widget_set_has_tooltip(m_pArea, TRUE);
    g_signal_connect(m_pArea, "draw", G_CALLBACK(OnDraw), this);
    g_signal_connect(m_pArea, "motion-notify-event", G_CALLBACK(OnMotion), this);
    g_signal_connect(m_pArea, "leave-notify-event", G_CALLBACK(OnLeave), this);
    g_signal_connect(m_pArea, "button-press-event", G_CALLBACK(OnButtonPress), this);
    g_signal_connect(m_pArea, "key-press-event", G_CALLBACK(OnKeyPress), this);
    g_signal_connect(m_pArea, "scroll-event", G_CALLBACK(OnScroll), this);
    g_signal_connect(m_pArea, "query-tooltip", G_CALLBACK(OnQueryTooltip), this);
    g_signal_connect(m_pArea, "size-allocate", G_CALLBACK(OnSizeAllocate), this);

    m_pAdjustment = gtk_adjustment_new(0, 0, 0, 1, 1, 1);
    g_signal_connect(m_pAdjustment, "value-changed", G_CALLBACK(OnScrolled), this);
    m_pScrollbar = gtk_scrollbar_new(GTK_ORIENTATION_VERTICAL, m_pAdjustment);
    gtk_widget_set_no_show_all(m_pScrollbar, TRUE);

    gtk_box_pack_start(GTK_BOX(m_pOuter), m_pArea, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(m_pOuter), m_pScrollbar, FALSE, FALSE, 0);
    return VURO_OK;
}

void CCertificateList::SetDPI(UINT uDpi) {
    m_uDpi = uDpi;
    m_pScaledSystem.reset();
    m_pScaledKey.reset();
    m_pScaledFrame.reset();
    UpdateScrollRange();
    if (m_nSelected >= 0)
        EnsureVisible(m_nSelected);
    if (m_pArea != nullptr)
        gtk_widget_queue_draw(m_pArea);
}

void CCertificateList::SetOuterSize(int width, int height) {
    gtk_widget_set_size_request(m_pOuter, width, height);
}

void CCertificateList::SetCurSel(int nRow) {
    if (m_vtrItems.empty())
        return;
    nRow = std::clamp(nRow, 0, int(m_vtrItems.size()) - 1);
    m_nSelected = nRow;
    EnsureVisible(nRow);
    gtk_widget_queue_draw(m_pArea);
}

int CCertificateList::RowHeightPixels() const {
    return RowHeight(m_uDpi);
}

int CCertificateList::RowAt(double y) const {
    if (y < 0 || m_pArea == nullptr || y >= gtk_widget_get_allocated_height(m_pArea))
        return -1;
    const double offset = gtk_adjustment_get_value(m_pAdjustment);
    const int nRow = int(std::floor((y + offset) / RowHeightPixels()));
    return nRow >= 0 && nRow < int(m_vtrItems.size()) ? nRow : -1;
}

int CCertificateList::HitTest() const {
    GdkWindow* pWindow = m_pArea != nullptr ? gtk_widget_get_window(m_pArea) : nullptr;
    if (pWindow == nullptr)
        return -1;
    GdkSeat* pSeat = gdk_display_get_default_seat(gdk_window_get_display(pWindow));
    GdkDevice* pPointer = pSeat != nullptr ? gdk_seat_get_pointer(pSeat) : nullptr;
    if (pPointer == nullptr)
        return -1;
    double x = 0;
    double y = 0;
    gdk_window_get_device_position_double(pWindow, pPointer, &x, &y, nullptr);
    if (x < 0 || x >= gtk_widget_get_allocated_width(m_pArea))
        return -1;
    return RowAt(y);
}

void CCertificateList::EnsureVisible(int nRow) {
    if (m_pAdjustment == nullptr || nRow < 0)
        return;
    const double row = RowHeightPixels();
    const double page = gtk_adjustment_get_page_size(m_pAdjustment);
    double value = gtk_adjustment_get_value(m_pAdjustment);
    // Before the list has its size the row goes to the top; the first
    // allocation then keeps it in view.
    if (page < row)
        value = nRow * row;
    else if (nRow * row < value)
        value = nRow * row;
    else if ((nRow + 1) * row > value + page)
        value = (nRow + 1) * row - page;
    gtk_adjustment_set_value(m_pAdjustment, value);
}

void CCertificateList::UpdateScrollRange() {
    if (m_pArea == nullptr)
        return;
    const double row = RowHeightPixels();
    const double upper = row * double(m_vtrItems.size());
    const double page = std::max(gtk_widget_get_allocated_height(m_pArea), 1);
    const double value =
        std::clamp(gtk_adjustment_get_value(m_pAdjustment), 0.0, std::max(upper - page, 0.0));
    gtk_adjustment_configure(m_pAdjustment, value, 0, upper, row, page, page);
    // As the list box: the scroll bar shows only while some rows are hidden.
    const bool bNeeded = upper > page;
    if (bNeeded != bool(gtk_widget_get_visible(m_pScrollbar)))
        gtk_widget_set_visible(m_pScrollbar, bNeeded);
}

GdkPixbuf* CCertificateList::ScaledPicture(GdkPixbuf* pSource, int width, int height, int scale,
                                           UniquePixbuf& cache) {
    if (pSource == nullptr || width <= 0 || height <= 0)
        return nullptr;
    if (cache && gdk_pixbuf_get_width(cache.get()) == width * scale &&
        gdk_pixbuf_get_height(cache.get()) == height * scale)
        return cache.get();
    cache.reset(gdk_pixbuf_scale_simple(pSource, width * scale, height * scale, GDK_INTERP_HYPER));
    return cache.get();
}

void CCertificateList::DrawRow(cairo_t* cr, int nRow, int top, int width) {
    const CERTIFICATE_DISPLAY_ITEM& item = m_vtrItems[size_t(nRow)];
    const int height = RowHeightPixels();
    const int scale = std::max(gtk_widget_get_scale_factor(m_pArea), 1);

    cairo_save(cr);
    cairo_translate(cr, 0, top);
    cairo_rectangle(cr, 0, 0, width, height);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);

    if (const RowColours* pColours = HighlightFor(nRow == m_nSelected, nRow == m_nHover)) {
        cairo_pattern_t* pGradient = cairo_pattern_create_linear(0, 1, 0, height - 1);
        cairo_pattern_add_color_stop_rgb(pGradient, 0, pColours->gradientTop.r / 255.0,
                                         pColours->gradientTop.g / 255.0,
                                         pColours->gradientTop.b / 255.0);
        cairo_pattern_add_color_stop_rgb(pGradient, 1, pColours->gradientBottom.r / 255.0,
                                         pColours->gradientBottom.g / 255.0,
                                         pColours->gradientBottom.b / 255.0);
        cairo_rectangle(cr, 1, 1, width - 2, height - 2);
        cairo_set_source(cr, pGradient);
        cairo_fill(cr);
        cairo_pattern_destroy(pGradient);

        RoundedRectangle(cr, width, height, kHighlightCorner);
        cairo_set_line_width(cr, 1.0);
        SetSourceRgb(cr, pColours->border);
        cairo_stroke(cr);
    }

    const Box picture = PictureBox(m_uDpi);
    PaintPicture(cr,
                 item.bHardwareKey ? ScaledPicture(m_pKeyCertificate.get(), picture.width,
                                                   picture.height, scale, m_pScaledKey)
                                   : ScaledPicture(m_pSystemCertificate.get(), picture.width,
                                                   picture.height, scale, m_pScaledSystem),
                 picture, scale);
    if (m_pFramePicture) {
        const Box frame = FrameBox(m_uDpi, gdk_pixbuf_get_width(m_pFramePicture.get()),
                                   gdk_pixbuf_get_height(m_pFramePicture.get()));
        PaintPicture(
            cr,
            ScaledPicture(m_pFramePicture.get(), frame.width, frame.height, scale, m_pScaledFrame),
            frame, scale);
    }

    const int right = TextRightLimit(width, m_uDpi);
    for (const RowTextLine& l : RowTextLines(item, m_uDpi, m_bModernSystem))
        DrawTextWithFont(cr, m_pArea, l.font, ToUtf8(*l.pText), l.origin.x, l.origin.y, right,
                         kTextColour);
    cairo_restore(cr);
}

gboolean CCertificateList::OnDraw(GtkWidget* pWidget, cairo_t* cr, gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    const int width = gtk_widget_get_allocated_width(pWidget);
    const int height = gtk_widget_get_allocated_height(pWidget);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    const int row = self->RowHeightPixels();
    const int offset = int(gtk_adjustment_get_value(self->m_pAdjustment));
    for (int nRow = offset / row; nRow < int(self->m_vtrItems.size()); ++nRow) {
        const int top = nRow * row - offset;
        if (top >= height)
            break;
        self->DrawRow(cr, nRow, top, width);
    }
    return TRUE;
}

gboolean CCertificateList::OnMotion(GtkWidget*, GdkEventMotion* pEvent, gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    const int nHover = self->RowAt(pEvent->y);
    if (nHover != self->m_nHover) {
        self->m_nHover = nHover;
        gtk_widget_queue_draw(self->m_pArea);
    }
    return FALSE;
}

gboolean CCertificateList::OnLeave(GtkWidget*, GdkEventCrossing*, gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    if (self->m_nHover != -1) {
        self->m_nHover = -1;
        gtk_widget_queue_draw(self->m_pArea);
    }
    return FALSE;
}

gboolean CCertificateList::OnButtonPress(GtkWidget* pWidget, GdkEventButton* pEvent,
                                         gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    if (pEvent->button != GDK_BUTTON_PRIMARY)
        return FALSE;
    gtk_widget_grab_focus(pWidget);
    const int nRow = self->RowAt(pEvent->y);
    if (nRow < 0)
        return TRUE; // below the last row: nothing to select or open
    if (pEvent->type == GDK_BUTTON_PRESS)
        self->SetCurSel(nRow);
    else if (pEvent->type == GDK_2BUTTON_PRESS && self->onOpenRow)
        self->onOpenRow(nRow);
    return TRUE;
}

gboolean CCertificateList::OnKeyPress(GtkWidget*, GdkEventKey* pEvent, gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    if (self->m_vtrItems.empty())
        return FALSE;
    const int nLast = int(self->m_vtrItems.size()) - 1;
    const int nPage = std::max(
        int(gtk_adjustment_get_page_size(self->m_pAdjustment)) / self->RowHeightPixels(), 1);
    const int nCurrent = std::max(self->m_nSelected, 0);
    int nNext = -1;
    switch (pEvent->keyval) {
    case GDK_KEY_Up:
    case GDK_KEY_KP_Up:
        nNext = nCurrent - 1;
        break;
    case GDK_KEY_Down:
    case GDK_KEY_KP_Down:
        nNext = self->m_nSelected < 0 ? 0 : nCurrent + 1;
        break;
    case GDK_KEY_Home:
    case GDK_KEY_KP_Home:
        nNext = 0;
        break;
    case GDK_KEY_End:
    case GDK_KEY_KP_End:
        nNext = nLast;
        break;
    case GDK_KEY_Page_Up:
    case GDK_KEY_KP_Page_Up:
        nNext = nCurrent - nPage;
        break;
    case GDK_KEY_Page_Down:
    case GDK_KEY_KP_Page_Down:
        nNext = nCurrent + nPage;
        break;
    default:
        return FALSE;
    }
    self->SetCurSel(std::clamp(nNext, 0, nLast));
    return TRUE;
}

gboolean CCertificateList::OnScroll(GtkWidget*, GdkEventScroll* pEvent, gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    double dRows = 0;
    if (pEvent->direction == GDK_SCROLL_UP)
        dRows = -1;
    else if (pEvent->direction == GDK_SCROLL_DOWN)
        dRows = 1;
    else if (pEvent->direction == GDK_SCROLL_SMOOTH)
        dRows = pEvent->delta_y;
    else
        return FALSE;
    GtkAdjustment* pAdjustment = self->m_pAdjustment;
    const double upper =
        gtk_adjustment_get_upper(pAdjustment) - gtk_adjustment_get_page_size(pAdjustment);
    gtk_adjustment_set_value(pAdjustment, std::clamp(gtk_adjustment_get_value(pAdjustment) +
                                                         dRows * self->RowHeightPixels(),
                                                     0.0, std::max(upper, 0.0)));
    return TRUE;
}

gboolean CCertificateList::OnQueryTooltip(GtkWidget*, gint, gint y, gboolean bKeyboard,
                                          GtkTooltip* pTooltip, gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    if (bKeyboard)
        return FALSE;
    const int nRow = self->RowAt(y);
    if (nRow < 0 || self->m_vtrItems[size_t(nRow)].strName.empty())
        return FALSE;
    gtk_tooltip_set_text(pTooltip, ToUtf8(self->m_vtrItems[size_t(nRow)].strName).c_str());
    // Leaving the row asks again, so the text follows the row under the mouse.
    const int row = self->RowHeightPixels();
    GdkRectangle area{0, nRow * row - int(gtk_adjustment_get_value(self->m_pAdjustment)),
                      gtk_widget_get_allocated_width(self->m_pArea), row};
    gtk_tooltip_set_tip_area(pTooltip, &area);
    return TRUE;
}

void CCertificateList::OnSizeAllocate(GtkWidget*, GdkRectangle*, gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    self->UpdateScrollRange();
}

void CCertificateList::OnScrolled(GtkAdjustment*, gpointer pSelf) {
    auto* self = static_cast<CCertificateList*>(pSelf);
    gtk_widget_queue_draw(self->m_pArea);
}

} // namespace orvane::dialog::gtk
