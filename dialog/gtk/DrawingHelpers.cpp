#include "dialog/gtk/DrawingHelpers.h"

#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <tuple>

// Trace lines keep the module name readers of older traces know.
#define TRACE_MODULE "FoundationLibrary"

namespace orvane::dialog::gtk {

namespace {

// Families tried for a Windows face name: the face itself (a desktop may have
// it), then the fonts Debian ships that cover the same scripts.
const char* FamiliesFor(const WCHAR* pwszFace) {
    const WString face = pwszFace != nullptr ? pwszFace : TEXT("");
    if (face == TEXT("Arial"))
        return "Arial,Liberation Sans,Noto Sans,DejaVu Sans,Noto Sans CJK SC,sans-serif";
    return "Microsoft YaHei,Noto Sans CJK SC,WenQuanYi Zen Hei,Noto Sans,DejaVu Sans,sans-serif";
}

struct FontDescriptionDeleter {
    void operator()(PangoFontDescription* p) const { pango_font_description_free(p); }
};
using OwnedFontDescription = std::unique_ptr<PangoFontDescription, FontDescriptionDeleter>;

// MappedFont: a Windows font request as Pango takes it: the size at which
// the font's cell (ascent plus descent) is the requested height, and the
// horizontal scale that gives the requested average character width.
struct MappedFont {
    OwnedFontDescription description;
    double scaleX = 1.0;
};

double CellHeight(PangoContext* pContext, const PangoFontDescription* pDescription,
                  double* pCharWidth) {
    PangoFontMetrics* pMetrics =
        pango_context_get_metrics(pContext, pDescription, pango_language_from_string("en"));
    const double cell =
        double(pango_font_metrics_get_ascent(pMetrics) + pango_font_metrics_get_descent(pMetrics)) /
        PANGO_SCALE;
    *pCharWidth = double(pango_font_metrics_get_approximate_char_width(pMetrics)) / PANGO_SCALE;
    pango_font_metrics_unref(pMetrics);
    return cell;
}

const MappedFont& MapFont(PangoContext* pContext, const FontSpec& font) {
    using Key = std::tuple<WString, int, int>;
    static std::map<Key, MappedFont> cache; // one UI thread; fonts do not change while it runs
    const Key key{font.face != nullptr ? font.face : TEXT(""), font.height, font.width};
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;

    MappedFont mapped;
    mapped.description.reset(pango_font_description_new());
    pango_font_description_set_family(mapped.description.get(), FamiliesFor(font.face));
    pango_font_description_set_weight(mapped.description.get(), PANGO_WEIGHT_NORMAL);
    const int height = std::max(font.height, 1);
    pango_font_description_set_absolute_size(mapped.description.get(), height * PANGO_SCALE);
    double charWidth = 0;
    const double cell = CellHeight(pContext, mapped.description.get(), &charWidth);
    if (cell > 0) {
        pango_font_description_set_absolute_size(mapped.description.get(),
                                                 height * height / cell * PANGO_SCALE);
        CellHeight(pContext, mapped.description.get(), &charWidth);
    }
    // A forced average width stretches or narrows the glyphs; keep the
    // stretch within what still reads as the same typeface.
    if (font.width > 0 && charWidth > 0)
        mapped.scaleX = std::clamp(double(font.width) / charWidth, 0.85, 1.2);
    return cache.emplace(key, std::move(mapped)).first->second;
}

struct LoaderDeleter {
    void operator()(GdkPixbufLoader* p) const {
        gdk_pixbuf_loader_close(p, nullptr);
        g_object_unref(p);
    }
};

} // namespace

std::string ToUtf8(const WCHAR* pwszText) {
    if (pwszText == nullptr || pwszText[0] == 0)
        return std::string();
    std::string out;
    if (FAILED(UTF16ToUTF8(pwszText, &out)))
        return std::string();
    return out;
}

std::string ToUtf8(const WString& strText) {
    return ToUtf8(strText.c_str());
}

UINT GetWidgetDPI(GtkWidget* pWidget) {
    GdkScreen* pScreen =
        pWidget != nullptr ? gtk_widget_get_screen(pWidget) : gdk_screen_get_default();
    const double resolution = pScreen != nullptr ? gdk_screen_get_resolution(pScreen) : -1;
    if (resolution <= 0)
        return kDefaultDpi;
    return static_cast<UINT>(std::lround(resolution));
}

GdkRectangle GetMonitorGeometry(GtkWidget* pWidget) {
    GdkRectangle geometry{0, 0, 1024, 768};
    GdkDisplay* pDisplay =
        pWidget != nullptr ? gtk_widget_get_display(pWidget) : gdk_display_get_default();
    if (pDisplay == nullptr)
        return geometry;
    GdkMonitor* pMonitor = nullptr;
    GdkWindow* pWindow = pWidget != nullptr ? gtk_widget_get_window(pWidget) : nullptr;
    if (pWindow != nullptr)
        pMonitor = gdk_display_get_monitor_at_window(pDisplay, pWindow);
    if (pMonitor == nullptr)
        pMonitor = gdk_display_get_primary_monitor(pDisplay);
    if (pMonitor == nullptr)
        pMonitor = gdk_display_get_monitor(pDisplay, 0);
    if (pMonitor != nullptr)
        gdk_monitor_get_geometry(pMonitor, &geometry);
    return geometry;
}

HRESULT LoadImageFromResource(HMODULE hModule, UINT uId, UniquePixbuf* pImage, LPCWSTR pwszType) {
    const WCHAR* op = TEXT("LoadImageFromResource");
    HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(uId), pwszType);
    if (hResource == nullptr)
        return FAIL_LAST_ERROR_W(op, TEXT("FindResource"), TEXT("hResource == NULL"));
    const DWORD dwResSize = SizeofResource(hModule, hResource);
    if (dwResSize == 0)
        return FAIL_LAST_ERROR_W(op, TEXT("SizeofResource"), TEXT("dwResSize == 0"));
    HGLOBAL hData = LoadResource(hModule, hResource);
    const void* lpResData = hData != nullptr ? LockResource(hData) : nullptr;
    if (lpResData == nullptr)
        return FAIL_LAST_ERROR_W(op, TEXT("LoadResource"), TEXT("lpResData == NULL"));
    const HRESULT hResult =
        LoadImageFromData(dwResSize, static_cast<const BYTE*>(lpResData), pImage);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("_LoadImageFromData"), hResult))
        return hResult;
    return VURO_OK;
}

HRESULT LoadImageFromData(DWORD cbData, const BYTE* pbData, UniquePixbuf* pImage) {
    const WCHAR* op = TEXT("_LoadImageFromData");
    if (TRACE_IF_W(pbData == nullptr || cbData == 0 || pImage == nullptr, op,
                   TEXT("Check parameter"), E_INVALIDARG))
        return E_INVALIDARG;
    std::unique_ptr<GdkPixbufLoader, LoaderDeleter> loader(gdk_pixbuf_loader_new());
    if (!gdk_pixbuf_loader_write(loader.get(), pbData, cbData, nullptr) ||
        !gdk_pixbuf_loader_close(loader.get(), nullptr))
        return TRACE_FAIL_W(op, TEXT("gdk_pixbuf_loader_write"), E_FAIL,
                            TEXT("the data is not a picture"));
    GdkPixbuf* pDecoded = gdk_pixbuf_loader_get_pixbuf(loader.get());
    if (TRACE_IF_W(pDecoded == nullptr, op, TEXT("FromStream"), E_POINTER))
        return E_POINTER;
    // The loader keeps its own reference: the image gets one more.
    pImage->reset(GDK_PIXBUF(g_object_ref(pDecoded)));
    return VURO_OK;
}

void DrawTextWithFont(cairo_t* cr, GtkWidget* pWidget, const FontSpec& font,
                      const std::string& strText, int x, int y, int rightLimit, Rgb colour) {
    if (strText.empty())
        return;
    PangoLayout* pLayout = gtk_widget_create_pango_layout(pWidget, strText.c_str());
    const MappedFont& mapped = MapFont(gtk_widget_get_pango_context(pWidget), font);
    pango_layout_set_font_description(pLayout, mapped.description.get());
    pango_layout_set_single_paragraph_mode(pLayout, strText.find('\n') == std::string::npos);
    int width = 0;
    int height = 0;
    pango_layout_get_pixel_size(pLayout, &width, &height);
    const int scaledWidth = int(std::ceil(width * mapped.scaleX));
    int right = x + scaledWidth;
    if (rightLimit > 0 && right >= rightLimit)
        right = rightLimit;

    cairo_save(cr);
    cairo_rectangle(cr, x, y, std::max(right - x, 0), height);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0);
    cairo_translate(cr, x, y);
    cairo_scale(cr, mapped.scaleX, 1.0);
    pango_cairo_show_layout(cr, pLayout);
    cairo_restore(cr);
    g_object_unref(pLayout);
}

} // namespace orvane::dialog::gtk
