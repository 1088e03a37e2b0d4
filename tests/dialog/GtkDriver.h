// Driving the GTK dialog as a person would: keys and the mouse go through the
// X server (xdotool, with XTEST), while a helper thread watches the dialog
// from inside (which windows are up, where the rows are, what the tooltip
// says) by running small checks on the dialog's own thread, and takes
// screenshots of the X server's root window.
#pragma once
#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

namespace dialog_test {

struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class GtkDriver {
public:
    // RunWithScript: runs dialogCall on this thread (it shows the dialog and
    // blocks in its loop) and script on a helper thread. Whatever the script
    // leaves open is closed once it ends, so a failed check never hangs the
    // test.
    static void RunWithScript(const std::function<void()>& dialogCall,
                              const std::function<void()>& script);

    // OnUi: runs fn on the dialog's thread and waits for it (false after 10 s).
    static bool OnUi(const std::function<void()>& fn);

    // WaitUntil: polls check on the dialog's thread until it holds (false
    // after timeoutMs).
    static bool WaitUntil(const std::function<bool()>& check, int timeoutMs = 10000);

    // Xdo: runs xdotool with args; false when it fails or takes over 20 s.
    static bool Xdo(const std::vector<std::string>& args);

    // The parts of the dialog, found on the dialog's thread by widget name.
    static GtkWidget* FindWidget(const char* pszName);
    static ScreenRect ScreenRectOf(GtkWidget* pWidget);

    // WaitForDialog: until the selection dialog is on screen; its window's X id.
    static unsigned long WaitForDialog();
    // WindowXid: the X window id of a realized widget's window.
    static unsigned long WindowXid(GtkWidget* pWidget);
    // WaitForNoDialog: until no selection dialog is on screen.
    static bool WaitForNoDialog();

    // TooltipText: the text of the tooltip on screen, empty when none is up.
    static std::string TooltipText();

    // Screenshot: the whole screen (a new reference; the caller unrefs it);
    // the window of the widget named pszShown, with a margin, is saved as PNG
    // under the screenshot folder with the given name.
    static GdkPixbuf* Screenshot(const std::string& name,
                                 const char* pszShown = "select-certificate-dialog");

    // PrepareToolkit: starts GTK in this process and sets the desktop's font
    // DPI as a settings daemon would.
    static void PrepareToolkit(unsigned dpi);
};

struct Rgb8 {
    int r, g, b;
};
// PixelAt: the colour of one screen pixel of a screenshot.
Rgb8 PixelAt(GdkPixbuf* pShot, int x, int y);
// Near: every channel within tolerance.
bool Near(Rgb8 a, Rgb8 b, int tolerance = 6);

} // namespace dialog_test
