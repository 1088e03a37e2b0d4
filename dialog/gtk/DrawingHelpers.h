// The GTK dialog's drawing, DPI and picture helpers: the counterparts of the
// Win32 routines of the same names, over cairo, Pango and GdkPixbuf.
#pragma once
#include "dialog/DialogGeometry.h"
#include "foundation/Types.h"

#include <windows.h>

#include <gtk/gtk.h>

#include <memory>
#include <string>

namespace orvane::dialog::gtk {

// ToUtf8: a wide text as GTK takes it (ill-formed UTF-16 becomes U+FFFD).
std::string ToUtf8(const WString& strText);
std::string ToUtf8(const WCHAR* pwszText);

// GetWidgetDPI: the DPI the widget's texts are laid out for: the desktop's
// font resolution (Xft.dpi, GDK_DPI_SCALE), 96 when it has none. The
// monitor's integer scale factor is applied by GTK on top of it.
UINT GetWidgetDPI(GtkWidget* pWidget);

// GetMonitorGeometry: the whole rectangle (not the work area) of the monitor
// that holds the widget's window, else of the primary monitor, in GTK's
// logical pixels.
GdkRectangle GetMonitorGeometry(GtkWidget* pWidget);

// UniquePixbuf: one reference to a picture, given back when it goes.
struct PixbufUnref {
    void operator()(GdkPixbuf* p) const { g_object_unref(p); }
};
using UniquePixbuf = std::unique_ptr<GdkPixbuf, PixbufUnref>;

// LoadImageFromResource: the picture resource uId of type pwszType ("PNG",
// or RT_GROUP_ICON: an icon file) of hModule, decoded into *pImage. Returns 0
// or the resource loader's error as a result code, or the decoder's failure.
[[nodiscard]] HRESULT LoadImageFromResource(HMODULE hModule, UINT uId, UniquePixbuf* pImage,
                                            LPCWSTR pwszType = TEXT("PNG"));

// LoadImageFromData: decodes cbData bytes of an image file (PNG) into
// *pImage, which owns its pixels. E_INVALIDARG for no data, E_FAIL when the
// bytes are not a picture.
[[nodiscard]] HRESULT LoadImageFromData(DWORD cbData, const BYTE* pbData, UniquePixbuf* pImage);

// DrawTextWithFont: draws one line of text at (x, y), top-left aligned, in
// the font (cell height and average character width in pixels, as the
// Windows font mapper takes them) and colour given, cut at rightLimit when it
// is positive and the text would reach it.
void DrawTextWithFont(cairo_t* cr, GtkWidget* pWidget, const FontSpec& font,
                      const std::string& strText, int x, int y, int rightLimit, Rgb colour);

} // namespace orvane::dialog::gtk
