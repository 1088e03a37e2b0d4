// The certificate viewer the GTK list opens on a double click: gcr's
// certificate widget in a modal window over the dialog.
#pragma once
#include "dialog/SelectCertificateDlg.h"

#include <gtk/gtk.h>

namespace orvane::dialog::gtk {

// ShowCertificate: shows item's certificate in a modal window titled with its
// name and waits until the user closes it (OK, Escape or the window's close
// button). The viewer's outcome is of no interest to the dialog.
void ShowCertificate(GtkWindow* pParent, HMODULE hResourceModule,
                     const CERTIFICATE_DISPLAY_ITEM& item);

} // namespace orvane::dialog::gtk
