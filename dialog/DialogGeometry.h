// DialogGeometry: every size, position, font and colour of the certificate
// selection dialog and its card list, as pure functions of the DPI, so that
// the Win32 and GTK backends draw the same picture and the arithmetic can be
// checked without a display. All divisions are integer divisions, in the
// order written: the rounding is part of the look.
#pragma once
#include <windows.h>

#include <cstddef>

namespace orvane::dialog {

inline constexpr UINT kDefaultDpi = 96;

struct Box {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int Bottom() const { return y + height; }
    int Right() const { return x + width; }
};

struct Point {
    int x = 0;
    int y = 0;
};

struct Rgb {
    BYTE r = 0;
    BYTE g = 0;
    BYTE b = 0;
};

// FontSpec: a font as the Windows font mapper takes it: face name, cell height
// and average character width in pixels, normal weight.
struct FontSpec {
    const WCHAR* face = nullptr;
    int height = 0;
    int width = 0;
};

// ScaleForDpi: value * dpi / 96 (a length given at 96 DPI).
int ScaleForDpi(int value, UINT dpi);

// RowHeight: height of one certificate card, 80 units.
int RowHeight(UINT dpi);

// PictureBox: the certificate or smart-card picture inside a row.
Box PictureBox(UINT dpi);

// FrameBox: the frame picture, centred on an 80-unit square; imageWidth and
// imageHeight are the frame image's own pixel size (62 for ours).
Box FrameBox(UINT dpi, int imageWidth, int imageHeight);

enum class RowLine { Name, Issuer, Serial, Validity };

// TextOrigin: top-left corner of one of the four text lines inside a row.
Point TextOrigin(RowLine line, UINT dpi);

// TextRightLimit: x at which a row's text is cut.
int TextRightLimit(int rowWidth, UINT dpi);

// NameFont, DetailFont: the fonts of a row's first line and of the other
// three. A modern system uses "Microsoft YaHei", an older one "Arial"; above
// 96 DPI widths shrink to 95/100 and heights to 90/100.
FontSpec NameFont(UINT dpi, bool bModernSystem);
FontSpec DetailFont(UINT dpi, bool bModernSystem);

// HeadingFont, HeadingOrigin, HeadingRightLimit, kHeadingColour: the display
// text above the list.
FontSpec HeadingFont(UINT dpi, bool bModernSystem);
Point HeadingOrigin(UINT dpi);
int HeadingRightLimit(int clientWidth, UINT dpi);
inline constexpr Rgb kHeadingColour{0, 51, 153};

// RowColours: the highlight of a selected row or of the row under the mouse.
struct RowColours {
    Rgb gradientTop;
    Rgb gradientBottom;
    Rgb border;
};
inline constexpr RowColours kSelectedColours{{221, 236, 252}, {194, 220, 253}, {125, 182, 206}};
inline constexpr RowColours kHoverColours{{253, 254, 255}, {185, 215, 252}, {243, 248, 255}};

// HighlightFor: the colours of a row in that state (selection wins), or null
// for a plain white row without border.
const RowColours* HighlightFor(bool bSelected, bool bUnderMouse);

// Corner of the highlight border's rounded rectangle (ellipse width and height).
inline constexpr int kHighlightCorner = 6;

// VisibleRows: rows the list shows without scrolling on a monitor
// monitorHeight pixels high: what fits after 500 units for the rest of the
// screen, at most count, and at least one while there is a certificate.
int VisibleRows(int monitorHeight, UINT dpi, size_t count);

// ListHeight: outer height of a list showing visibleRows rows inside a frame
// of frameThickness pixels above and below.
int ListHeight(int visibleRows, UINT dpi, int frameThickness);

// DialogLayout: the dialog's window (screen coordinates) and the list and
// buttons (the dialog's client coordinates).
struct DialogLayout {
    Box dialog;
    Box list;
    Box ok;
    Box cancel;
};

// AdjustLayout: the dialog resized to show visibleRows rows: the list takes
// its new height, the dialog grows or shrinks by the same amount and is
// centred vertically on the monitor (monitorTop, monitorHeight), and the
// buttons move with the list's bottom edge. Widths and x positions stay.
DialogLayout AdjustLayout(const DialogLayout& current, int monitorTop, int monitorHeight,
                          int visibleRows, UINT dpi, int frameThickness);

// The dialog template in dialog units, the same on both targets; a toolkit
// without dialog units maps them with DialogUnitsToPixels.
namespace dialog_template {
inline constexpr Box kDialog{0, 0, 282, 329};
inline constexpr Box kOk{170, 308, 50, 14};
inline constexpr Box kCancel{225, 308, 50, 14};
inline constexpr Box kList{13, 37, 255, 264};
inline constexpr Box kSeparator{7, 27, 268, 1};
} // namespace dialog_template

// DialogUnitsToPixels: a box in dialog units to pixels with the base units
// of the template's 8-point shell font (6 by 13 pixels at 96 DPI).
Box DialogUnitsToPixels(const Box& units, UINT dpi);

// kFixedFrame96: the fixed-frame thickness (SM_CYFIXEDFRAME) at 96 DPI, for
// a toolkit that has no such metric.
inline constexpr int kFixedFrame96 = 3;

} // namespace orvane::dialog
