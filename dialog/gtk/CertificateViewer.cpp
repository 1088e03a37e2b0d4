#include "dialog/gtk/CertificateViewer.h"

#include "dialog/DialogGeometry.h"
#include "dialog/gtk/DrawingHelpers.h"

#define GCR_API_SUBJECT_TO_CHANGE
#include <gcr/gcr.h>

namespace orvane::dialog::gtk {

void ShowCertificate(GtkWindow* pParent, HMODULE hResourceModule,
                     const CERTIFICATE_DISPLAY_ITEM& item) {
    if (item.pCertContext == nullptr)
        return;
    WCHAR szOk[64] = {};
    if (LoadStringW(hResourceModule, 209, szOk, 64) == 0)
        szOk[0] = 0;
    const std::string strTitle =
        item.strName.empty() ? ToUtf8(item.strIssuer) : ToUtf8(item.strName);
    GtkWidget* pDialog = gtk_dialog_new_with_buttons(
        strTitle.c_str(), pParent,
        GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), nullptr, nullptr);
    gtk_widget_set_name(pDialog, "certificate-viewer");
    // gcr 3.41 styles its Details expander with a red background of its own
    // (".gcr-red"); the viewer keeps the theme's look instead.
    GtkCssProvider* pCss = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        pCss, "#certificate-viewer .gcr-red * { background-color: transparent; }", -1, nullptr);
    gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(pDialog),
                                              GTK_STYLE_PROVIDER(pCss),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
    g_object_unref(pCss);
    GtkWidget* pOk = gtk_dialog_add_button(
        GTK_DIALOG(pDialog), szOk[0] != 0 ? ToUtf8(szOk).c_str() : "OK", GTK_RESPONSE_OK);
    gtk_widget_grab_default(pOk);

    GcrCertificate* pCertificate = gcr_simple_certificate_new(item.pCertContext->pbCertEncoded,
                                                              item.pCertContext->cbCertEncoded);
    GcrCertificateWidget* pDetails = gcr_certificate_widget_new(pCertificate);
    g_object_unref(pCertificate);
    GtkWidget* pScrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(pScrolled), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(pScrolled), GTK_WIDGET(pDetails));
    GtkWidget* pContent = gtk_dialog_get_content_area(GTK_DIALOG(pDialog));
    gtk_box_pack_start(GTK_BOX(pContent), pScrolled, TRUE, TRUE, 0);

    const UINT uDpi = GetWidgetDPI(GTK_WIDGET(pParent));
    gtk_window_set_default_size(GTK_WINDOW(pDialog), ScaleForDpi(480, uDpi),
                                ScaleForDpi(560, uDpi));
    gtk_window_set_position(GTK_WINDOW(pDialog), GTK_WIN_POS_CENTER_ON_PARENT);
    gtk_widget_show_all(pDialog);
    gtk_dialog_run(GTK_DIALOG(pDialog));
    gtk_widget_destroy(pDialog);
}

} // namespace orvane::dialog::gtk
