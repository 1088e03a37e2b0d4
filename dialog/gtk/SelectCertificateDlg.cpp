// The selection dialog on GTK 3: a modal window laid out from the same
// template as the Win32 dialog (dialog units mapped with the template font's
// base units), a white client area with the heading, a separator, the card
// list, OK and Cancel. It runs its own main loop on the calling thread.
#include "dialog/SelectCertificateDlg.h"

#include "dialog/DialogGeometry.h"
#include "dialog/gtk/CertificateListCtrl.h"
#include "dialog/gtk/CertificateViewer.h"
#include "dialog/gtk/DrawingHelpers.h"
#include "dialog/DialogResources.h"
#include "foundation/Trace.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>

#define TRACE_MODULE "SelectCertificateDlg"

namespace orvane::dialog::gtk {

namespace {

constexpr char kCss[] = "window.orvane-select-certificate { background-color: #ffffff; }\n"
                        ".orvane-certificate-list { border: 1px solid #828790;"
                        " background-color: #ffffff; }\n";

// StartToolkit: GTK is started once per process; without a display (or when
// it cannot be opened) there is no window to show, and the next call tries
// again rather than remembering the failure.
bool StartToolkit() {
    static bool bStarted = false;
    if (bStarted)
        return true;
    const char* pszX11 = std::getenv("DISPLAY");
    const char* pszWayland = std::getenv("WAYLAND_DISPLAY");
    if ((pszX11 == nullptr || pszX11[0] == 0) && (pszWayland == nullptr || pszWayland[0] == 0))
        return false;
    bStarted = gtk_init_check(nullptr, nullptr) != FALSE;
    return bStarted;
}

WString LoadText(HMODULE hModule, UINT uId) {
    WCHAR szText[128] = {};
    const int n = LoadStringW(hModule, uId, szText, 128);
    return WString(szText, size_t(std::max(n, 0)));
}

class CSelectCertificateDlg {
public:
    explicit CSelectCertificateDlg(CSelectCertificateDlgModel& model) : m_model(model) {}
    ~CSelectCertificateDlg() {
        if (m_pWindow != nullptr)
            gtk_widget_destroy(m_pWindow);
        if (m_pLoop != nullptr)
            g_main_loop_unref(m_pLoop);
    }
    CSelectCertificateDlg(const CSelectCertificateDlg&) = delete;
    CSelectCertificateDlg& operator=(const CSelectCertificateDlg&) = delete;

    INT_PTR DoModal(const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams);

private:
    bool OnInitDialog(const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams);
    void Layout();
    void OnOK();
    void OnCancel();
    void End(INT_PTR nResult);

    static gboolean OnDrawHeading(GtkWidget* pWidget, cairo_t* cr, gpointer pSelf);
    static gboolean OnDrawSeparator(GtkWidget* pWidget, cairo_t* cr, gpointer pSelf);
    static gboolean OnKeyPress(GtkWidget* pWidget, GdkEventKey* pEvent, gpointer pSelf);
    static gboolean OnDelete(GtkWidget* pWidget, GdkEvent* pEvent, gpointer pSelf);
    static void OnResolutionChanged(GObject* pObject, GParamSpec* pSpec, gpointer pSelf);

    CSelectCertificateDlgModel& m_model;
    CCertificateList m_list;
    GtkWidget* m_pWindow = nullptr;
    GtkWidget* m_pFixed = nullptr;
    GtkWidget* m_pHeading = nullptr;
    GtkWidget* m_pSeparator = nullptr;
    GtkWidget* m_pOk = nullptr;
    GtkWidget* m_pCancel = nullptr;
    GMainLoop* m_pLoop = nullptr;
    gulong m_ulResolutionHandler = 0;
    INT_PTR m_nResult = SELECT_CERTIFICATE_RESULT_CANCEL;
};

INT_PTR CSelectCertificateDlg::DoModal(const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams) {
    if (!StartToolkit())
        return SELECT_CERTIFICATE_RESULT_FAILED;

    m_pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(m_pWindow, "select-certificate-dialog");
    gtk_style_context_add_class(gtk_widget_get_style_context(m_pWindow),
                                "orvane-select-certificate");
    GtkCssProvider* pCss = gtk_css_provider_new();
    gtk_css_provider_load_from_data(pCss, kCss, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(m_pWindow),
                                              GTK_STYLE_PROVIDER(pCss),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(pCss);
    gtk_window_set_modal(GTK_WINDOW(m_pWindow), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(m_pWindow), FALSE);
    gtk_window_set_type_hint(GTK_WINDOW(m_pWindow), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(m_pWindow), FALSE);
    g_signal_connect(m_pWindow, "key-press-event", G_CALLBACK(OnKeyPress), this);
    g_signal_connect(m_pWindow, "delete-event", G_CALLBACK(OnDelete), this);

    if (!OnInitDialog(pParams)) {
        // The failure is the model's error code; the window is never shown.
        m_model.OnCancel();
        m_model.OnDestroy();
        return SELECT_CERTIFICATE_RESULT_CANCEL;
    }

    m_pLoop = g_main_loop_new(nullptr, FALSE);
    gtk_widget_show_all(m_pWindow);
    gtk_window_present(GTK_WINDOW(m_pWindow));
    gtk_widget_grab_focus(m_list.FocusWidget());
    g_main_loop_run(m_pLoop);

    if (m_ulResolutionHandler != 0)
        g_signal_handler_disconnect(gtk_settings_get_for_screen(gtk_widget_get_screen(m_pWindow)),
                                    m_ulResolutionHandler);
    gtk_widget_destroy(m_pWindow);
    m_pWindow = nullptr;
    // Let the window go from the screen before the caller carries on.
    gdk_display_flush(gdk_display_get_default());
    m_model.OnDestroy();
    return m_nResult;
}

bool CSelectCertificateDlg::OnInitDialog(const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams) {
    const WCHAR* op = TEXT("CSelectCertificateDlg::OnInitDialog");
    if (FAILED(m_model.Initialize(pParams, true)))
        return false;
    HMODULE hModule = m_model.ResourceModule();

    UniquePixbuf icon;
    // The icon is an icon file here: the loader picks its largest picture.
    if (SUCCEEDED(LoadImageFromResource(hModule, IDI_DIALOG_ICON, &icon, RT_GROUP_ICON)))
        gtk_window_set_icon(GTK_WINDOW(m_pWindow), icon.get());

    const WString strTitle = pParams->pwszTitle != nullptr ? WString(pParams->pwszTitle)
                                                           : LoadText(hModule, IDS_WINDOW_TITLE);
    gtk_window_set_title(GTK_WINDOW(m_pWindow), ToUtf8(strTitle).c_str());

    const HRESULT hResult = m_list.Initialize(hModule, m_model.IsModernSystem(), m_model.Items());
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("CCertificateList::Initialize"), hResult, TEXT("FAILED(hResult)"));
        m_model.OnInitFailed(hResult);
        return false;
    }

    m_pFixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(m_pWindow), m_pFixed);
    m_pHeading = gtk_drawing_area_new();
    gtk_widget_set_name(m_pHeading, "heading");
    g_signal_connect(m_pHeading, "draw", G_CALLBACK(OnDrawHeading), this);
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_pHeading, 0, 0);
    m_pSeparator = gtk_drawing_area_new();
    g_signal_connect(m_pSeparator, "draw", G_CALLBACK(OnDrawSeparator), this);
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_pSeparator, 0, 0);
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_list.Widget(), 0, 0);

    const WString strOk =
        pParams->pwszOkText != nullptr ? WString(pParams->pwszOkText) : LoadText(hModule, IDS_OK);
    const WString strCancel = pParams->pwszCancelText != nullptr ? WString(pParams->pwszCancelText)
                                                                 : LoadText(hModule, IDS_CANCEL);
    m_pOk = gtk_button_new_with_label(ToUtf8(strOk).c_str());
    gtk_widget_set_name(m_pOk, "ok");
    gtk_widget_set_can_default(m_pOk, TRUE);
    m_pCancel = gtk_button_new_with_label(ToUtf8(strCancel).c_str());
    gtk_widget_set_name(m_pCancel, "cancel");
    g_signal_connect_swapped(m_pOk, "clicked",
                             G_CALLBACK(+[](CSelectCertificateDlg* self) { self->OnOK(); }), this);
    g_signal_connect_swapped(m_pCancel, "clicked",
                             G_CALLBACK(+[](CSelectCertificateDlg* self) { self->OnCancel(); }),
                             this);
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_pOk, 0, 0);
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_pCancel, 0, 0);
    gtk_window_set_default(GTK_WINDOW(m_pWindow), m_pOk);
    // Nothing to choose from: only Cancel can end the dialog.
    gtk_widget_set_sensitive(m_pOk, !m_model.Items().empty());

    m_list.onOpenRow = [this](int nRow) {
        ShowCertificate(GTK_WINDOW(m_pWindow), m_model.ResourceModule(),
                        m_model.Items()[size_t(nRow)]);
    };

    m_model.m_uDpi = GetWidgetDPI(m_pWindow);
    m_list.SetDPI(m_model.m_uDpi);
    Layout();
    if (!m_model.Items().empty())
        m_list.SetCurSel(0);

    m_ulResolutionHandler =
        g_signal_connect(gtk_settings_get_for_screen(gtk_widget_get_screen(m_pWindow)),
                         "notify::gtk-xft-dpi", G_CALLBACK(OnResolutionChanged), this);
    TRACE_OK_W(op, TEXT("OnInitDialog"));
    return true;
}

// Layout: places every part for the current DPI and sizes the list to the
// number of certificates and the monitor, as AdjustWindowSize does on Windows.
void CSelectCertificateDlg::Layout() {
    const UINT uDpi = m_model.m_uDpi;
    const Box client = DialogUnitsToPixels(dialog_template::kDialog, uDpi);
    const Box separator = DialogUnitsToPixels(dialog_template::kSeparator, uDpi);
    DialogLayout layout;
    layout.dialog = client;
    layout.list = DialogUnitsToPixels(dialog_template::kList, uDpi);
    layout.ok = DialogUnitsToPixels(dialog_template::kOk, uDpi);
    layout.cancel = DialogUnitsToPixels(dialog_template::kCancel, uDpi);

    const GdkRectangle monitor = GetMonitorGeometry(m_pWindow);
    m_model.m_nVisibleItems = VisibleRows(monitor.height, uDpi, m_model.Items().size());
    const int frame = ScaleForDpi(kFixedFrame96, uDpi);
    layout = AdjustLayout(layout, monitor.y, monitor.height, m_model.m_nVisibleItems, uDpi, frame);
    // An empty list keeps its template height rather than collapsing.
    if (m_model.Items().empty())
        layout.list.height = std::max(layout.list.height, RowHeight(uDpi) + 2 * frame);

    // GTK's buttons may want more height than the template gives them; the
    // window grows below them instead of squeezing their labels.
    int nButtonHeight = layout.ok.height;
    int nMinimum = 0;
    int nNatural = 0;
    gtk_widget_get_preferred_height(m_pOk, &nMinimum, &nNatural);
    nButtonHeight = std::max(nButtonHeight, nMinimum);
    const int extra = nButtonHeight - layout.ok.height;

    gtk_widget_set_size_request(m_pHeading, client.width, separator.y);
    gtk_widget_set_size_request(m_pSeparator, separator.width, 2);
    gtk_fixed_move(GTK_FIXED(m_pFixed), m_pSeparator, separator.x, separator.y);
    m_list.SetOuterSize(layout.list.width, layout.list.height);
    gtk_fixed_move(GTK_FIXED(m_pFixed), m_list.Widget(), layout.list.x, layout.list.y);
    gtk_widget_set_size_request(m_pOk, layout.ok.width, nButtonHeight);
    gtk_widget_set_size_request(m_pCancel, layout.cancel.width, nButtonHeight);
    gtk_fixed_move(GTK_FIXED(m_pFixed), m_pOk, layout.ok.x, layout.ok.y);
    gtk_fixed_move(GTK_FIXED(m_pFixed), m_pCancel, layout.cancel.x, layout.cancel.y);
    const int height = layout.dialog.height + extra;
    gtk_widget_set_size_request(m_pFixed, client.width, height);
    gtk_window_resize(GTK_WINDOW(m_pWindow), client.width, height);
    gtk_window_move(GTK_WINDOW(m_pWindow), monitor.x + (monitor.width - client.width) / 2,
                    monitor.y + (monitor.height - height) / 2);
    m_list.SetDPI(uDpi);
}

void CSelectCertificateDlg::OnOK() {
    if (!m_model.OnOK(m_list.GetCurSel()))
        return;
    End(SELECT_CERTIFICATE_RESULT_OK);
}

void CSelectCertificateDlg::OnCancel() {
    m_model.OnCancel();
    End(SELECT_CERTIFICATE_RESULT_CANCEL);
}

void CSelectCertificateDlg::End(INT_PTR nResult) {
    m_nResult = nResult;
    gtk_widget_hide(m_pWindow);
    if (m_pLoop != nullptr)
        g_main_loop_quit(m_pLoop);
}

gboolean CSelectCertificateDlg::OnDrawHeading(GtkWidget* pWidget, cairo_t* cr, gpointer pSelf) {
    auto* self = static_cast<CSelectCertificateDlg*>(pSelf);
    const UINT uDpi = self->m_model.m_uDpi;
    const Point origin = HeadingOrigin(uDpi);
    const int width = gtk_widget_get_allocated_width(self->m_pWindow);
    DrawTextWithFont(cr, pWidget, HeadingFont(uDpi, self->m_model.IsModernSystem()),
                     ToUtf8(self->m_model.DisplayText()), origin.x, origin.y,
                     HeadingRightLimit(width, uDpi), kHeadingColour);
    return FALSE;
}

gboolean CSelectCertificateDlg::OnDrawSeparator(GtkWidget* pWidget, cairo_t* cr, gpointer) {
    // An etched line: a grey one with a white one below it.
    const int width = gtk_widget_get_allocated_width(pWidget);
    cairo_set_source_rgb(cr, 160 / 255.0, 160 / 255.0, 160 / 255.0);
    cairo_rectangle(cr, 0, 0, width, 1);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, 0, 1, width, 1);
    cairo_fill(cr);
    return FALSE;
}

gboolean CSelectCertificateDlg::OnKeyPress(GtkWidget* pWidget, GdkEventKey* pEvent,
                                           gpointer pSelf) {
    auto* self = static_cast<CSelectCertificateDlg*>(pSelf);
    switch (pEvent->keyval) {
    case GDK_KEY_Escape:
        self->OnCancel();
        return TRUE;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter: {
        // A focused button answers Return itself (Cancel stays Cancel).
        GtkWidget* pFocus = gtk_window_get_focus(GTK_WINDOW(pWidget));
        if (pFocus != nullptr && GTK_IS_BUTTON(pFocus))
            return FALSE;
        self->OnOK();
        return TRUE;
    }
    default:
        return FALSE;
    }
}

gboolean CSelectCertificateDlg::OnDelete(GtkWidget*, GdkEvent*, gpointer pSelf) {
    static_cast<CSelectCertificateDlg*>(pSelf)->OnCancel();
    return TRUE; // the dialog destroys its window itself
}

void CSelectCertificateDlg::OnResolutionChanged(GObject*, GParamSpec*, gpointer pSelf) {
    // The desktop's DPI changed while the dialog was open: lay it out again,
    // as the Win32 dialog does when its window reports another DPI.
    auto* self = static_cast<CSelectCertificateDlg*>(pSelf);
    const UINT uDpi = GetWidgetDPI(self->m_pWindow);
    if (uDpi == self->m_model.m_uDpi)
        return;
    self->m_model.m_uDpi = uDpi;
    self->Layout();
    gtk_widget_queue_draw(self->m_pWindow);
}

} // namespace

} // namespace orvane::dialog::gtk

INT_PTR RunSelectCertificateWindow(CSelectCertificateDlgModel& model,
                                   const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams) {
    orvane::dialog::gtk::CSelectCertificateDlg dialog(model);
    return dialog.DoModal(pParams);
}

HWND DefaultOwnerWindow() {
    // A GTK window has no window handle of the Windows kind to own it.
    return nullptr;
}
