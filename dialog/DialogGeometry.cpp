#include "dialog/DialogGeometry.h"

#include <algorithm>
#include <iterator>

namespace orvane::dialog {

namespace {

constexpr WCHAR kModernFace[] = TEXT("Microsoft YaHei");
constexpr WCHAR kClassicFace[] = TEXT("Arial");

// Above 96 DPI the list's fonts come out a little smaller than a plain
// scaling would make them, so the four lines keep clear of each other.
FontSpec ShrinkAboveDefaultDpi(FontSpec font, UINT dpi) {
    if (dpi > kDefaultDpi) {
        font.width = font.width * 95 / 100;
        font.height = font.height * 90 / 100;
    }
    return font;
}

} // namespace

int ScaleForDpi(int value, UINT dpi) {
    return value * static_cast<int>(dpi) / static_cast<int>(kDefaultDpi);
}

int RowHeight(UINT dpi) {
    return ScaleForDpi(80, dpi);
}

Box PictureBox(UINT dpi) {
    const int origin = ScaleForDpi(16, dpi) - 2;
    const int side = ScaleForDpi(48, dpi);
    return {origin, origin, side, side};
}

Box FrameBox(UINT dpi, int imageWidth, int imageHeight) {
    // The offset is worked out in 96-DPI units first, then scaled.
    const int offset = (80 - imageHeight) / 2 * static_cast<int>(dpi) / 96;
    return {offset, offset, ScaleForDpi(imageWidth, dpi), ScaleForDpi(imageHeight, dpi)};
}

Point TextOrigin(RowLine line, UINT dpi) {
    // The lines' tops at 96 DPI, in RowLine's order.
    static constexpr int kLineTop[] = {5, 25, 40, 55};
    const auto nLine = static_cast<size_t>(line);
    const int y = nLine < std::size(kLineTop) ? kLineTop[nLine] : kLineTop[0];
    return {ScaleForDpi(80, dpi), ScaleForDpi(y, dpi)};
}

int TextRightLimit(int rowWidth, UINT dpi) {
    return rowWidth - ScaleForDpi(15, dpi);
}

FontSpec NameFont(UINT dpi, bool bModernSystem) {
    FontSpec font{bModernSystem ? kModernFace : kClassicFace,
                  ScaleForDpi(bModernSystem ? 20 : 16, dpi), ScaleForDpi(8, dpi)};
    return ShrinkAboveDefaultDpi(font, dpi);
}

FontSpec DetailFont(UINT dpi, bool bModernSystem) {
    FontSpec font{bModernSystem ? kModernFace : kClassicFace,
                  ScaleForDpi(bModernSystem ? 18 : 14, dpi), ScaleForDpi(6, dpi)};
    return ShrinkAboveDefaultDpi(font, dpi);
}

FontSpec HeadingFont(UINT dpi, bool bModernSystem) {
    return {bModernSystem ? kModernFace : kClassicFace, ScaleForDpi(bModernSystem ? 22 : 16, dpi),
            ScaleForDpi(8, dpi)};
}

Point HeadingOrigin(UINT dpi) {
    return {ScaleForDpi(15, dpi), ScaleForDpi(12, dpi)};
}

int HeadingRightLimit(int clientWidth, UINT dpi) {
    return clientWidth - ScaleForDpi(20, dpi);
}

const RowColours* HighlightFor(bool bSelected, bool bUnderMouse) {
    if (bSelected)
        return &kSelectedColours;
    if (bUnderMouse)
        return &kHoverColours;
    return nullptr;
}

int VisibleRows(int monitorHeight, UINT dpi, size_t count) {
    if (count == 0)
        return 0;
    const int fit = (monitorHeight - ScaleForDpi(500, dpi)) / RowHeight(dpi);
    // A monitor too small for the rest of the dialog still shows one row
    // rather than a list of no (or negative) height.
    const int wanted = std::max(fit, 1);
    return count < static_cast<size_t>(wanted) ? static_cast<int>(count) : wanted;
}

int ListHeight(int visibleRows, UINT dpi, int frameThickness) {
    return visibleRows * RowHeight(dpi) + 2 * frameThickness;
}

DialogLayout AdjustLayout(const DialogLayout& current, int monitorTop, int monitorHeight,
                          int visibleRows, UINT dpi, int frameThickness) {
    DialogLayout next = current;
    const int listHeight = ListHeight(visibleRows, dpi, frameThickness);
    const int delta = listHeight - current.list.height;
    next.list.height = listHeight;
    next.dialog.height = current.dialog.height + delta;
    next.dialog.y = monitorTop + (monitorHeight - next.dialog.height) / 2;
    next.ok.y = current.ok.y + delta;
    next.cancel.y = current.cancel.y + delta;
    return next;
}

Box DialogUnitsToPixels(const Box& units, UINT dpi) {
    // MapDialogRect's arithmetic: x * baseX / 4 and y * baseY / 8.
    const int baseX = ScaleForDpi(6, dpi);
    const int baseY = ScaleForDpi(13, dpi);
    return {units.x * baseX / 4, units.y * baseY / 8, units.width * baseX / 4,
            units.height * baseY / 8};
}

} // namespace orvane::dialog
