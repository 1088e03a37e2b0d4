#include "tests/dialog/GtkDriver.h"

#include <gtest/gtest.h>
// After gtest: Xlib defines None, which gtest uses as a name.
#include <gdk/gdkx.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace dialog_test {

namespace {

struct UiCall {
    std::function<void()> fn;
    std::promise<void> done;
};

gboolean RunUiCall(gpointer data) {
    std::unique_ptr<std::shared_ptr<UiCall>> holder(static_cast<std::shared_ptr<UiCall>*>(data));
    (*holder)->fn();
    (*holder)->done.set_value();
    return G_SOURCE_REMOVE;
}

GtkWidget* FindIn(GtkWidget* pWidget, const char* pszName) {
    if (g_strcmp0(gtk_widget_get_name(pWidget), pszName) == 0)
        return pWidget;
    if (!GTK_IS_CONTAINER(pWidget))
        return nullptr;
    GtkWidget* pFound = nullptr;
    struct Search {
        const char* name;
        GtkWidget** found;
    } search{pszName, &pFound};
    gtk_container_forall(
        GTK_CONTAINER(pWidget),
        [](GtkWidget* pChild, gpointer data) {
            auto* s = static_cast<Search*>(data);
            if (*s->found == nullptr)
                *s->found = FindIn(pChild, s->name);
        },
        &search);
    return pFound;
}

GtkLabel* FirstLabel(GtkWidget* pWidget) {
    if (GTK_IS_LABEL(pWidget))
        return GTK_LABEL(pWidget);
    if (!GTK_IS_CONTAINER(pWidget))
        return nullptr;
    GtkLabel* pFound = nullptr;
    gtk_container_forall(
        GTK_CONTAINER(pWidget),
        [](GtkWidget* pChild, gpointer data) {
            auto** found = static_cast<GtkLabel**>(data);
            if (*found == nullptr)
                *found = FirstLabel(pChild);
        },
        &pFound);
    return pFound;
}

std::string ScreenshotFolder() {
    const char* dir = std::getenv("ORVANE_SCREENSHOT_DIR");
    return dir != nullptr ? dir : ".";
}

} // namespace

void GtkDriver::RunWithScript(const std::function<void()>& dialogCall,
                              const std::function<void()>& script) {
    std::atomic<bool> returned{false};
    std::thread helper([&] {
        script();
        // The script's last keys or clicks may still be on their way through
        // the X server: give the dialog time to end by them first.
        const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!returned && std::chrono::steady_clock::now() < grace)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // Then close whatever the script left open (a failed check, a missed
        // key), so that a failure never hangs the test.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!returned && std::chrono::steady_clock::now() < deadline) {
            OnUi([] {
                GList* pWindows = gtk_window_list_toplevels();
                for (GList* p = pWindows; p != nullptr; p = p->next)
                    if (gtk_widget_get_visible(GTK_WIDGET(p->data)) &&
                        gtk_window_get_window_type(GTK_WINDOW(p->data)) == GTK_WINDOW_TOPLEVEL)
                        gtk_window_close(GTK_WINDOW(p->data));
                g_list_free(pWindows);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    dialogCall();
    returned = true;
    helper.join();
}

bool GtkDriver::OnUi(const std::function<void()>& fn) {
    auto call = std::make_shared<UiCall>();
    call->fn = fn;
    std::future<void> done = call->done.get_future();
    g_main_context_invoke(nullptr, RunUiCall, new std::shared_ptr<UiCall>(call));
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

bool GtkDriver::WaitUntil(const std::function<bool()>& check, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        bool ok = false;
        if (OnUi([&] { ok = check(); }) && ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool GtkDriver::Xdo(const std::vector<std::string>& args) {
    std::vector<std::string> command{"timeout", "20", "xdotool"};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : command)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "timeout", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

GtkWidget* GtkDriver::FindWidget(const char* pszName) {
    GtkWidget* pFound = nullptr;
    GList* pWindows = gtk_window_list_toplevels();
    for (GList* p = pWindows; p != nullptr && pFound == nullptr; p = p->next)
        if (gtk_widget_get_visible(GTK_WIDGET(p->data)))
            pFound = FindIn(GTK_WIDGET(p->data), pszName);
    g_list_free(pWindows);
    return pFound;
}

ScreenRect GtkDriver::ScreenRectOf(GtkWidget* pWidget) {
    ScreenRect r;
    GtkWidget* pTop = gtk_widget_get_toplevel(pWidget);
    int x = 0;
    int y = 0;
    gtk_widget_translate_coordinates(pWidget, pTop, 0, 0, &x, &y);
    int ox = 0;
    int oy = 0;
    gdk_window_get_origin(gtk_widget_get_window(pTop), &ox, &oy);
    r.x = ox + x;
    r.y = oy + y;
    r.width = gtk_widget_get_allocated_width(pWidget);
    r.height = gtk_widget_get_allocated_height(pWidget);
    return r;
}

unsigned long GtkDriver::WaitForDialog() {
    unsigned long xid = 0;
    WaitUntil(
        [&] {
            GtkWidget* pDialog = FindWidget("select-certificate-dialog");
            GtkWidget* pRows = FindWidget("certificate-rows");
            if (pDialog == nullptr || pRows == nullptr || !gtk_widget_get_mapped(pRows))
                return false;
            xid = WindowXid(pDialog);
            return true;
        },
        30000); // a loaded machine may take its time to show a window
    if (xid != 0) {
        Xdo({"windowfocus", "--sync", std::to_string(xid)});
        // One round through the dialog's loop, so the first frame is drawn.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return xid;
}

unsigned long GtkDriver::WindowXid(GtkWidget* pWidget) {
    GdkWindow* pWindow = gtk_widget_get_window(pWidget);
    return pWindow != nullptr ? gdk_x11_window_get_xid(pWindow) : 0;
}

bool GtkDriver::WaitForNoDialog() {
    return WaitUntil([] { return FindWidget("select-certificate-dialog") == nullptr; });
}

std::string GtkDriver::TooltipText() {
    std::string text;
    OnUi([&] {
        GList* pWindows = gtk_window_list_toplevels();
        for (GList* p = pWindows; p != nullptr; p = p->next) {
            GtkWindow* pWindow = GTK_WINDOW(p->data);
            if (gtk_window_get_window_type(pWindow) != GTK_WINDOW_POPUP ||
                !gtk_widget_get_mapped(GTK_WIDGET(pWindow)))
                continue;
            if (GtkLabel* pLabel = FirstLabel(GTK_WIDGET(pWindow)))
                text = gtk_label_get_text(pLabel);
        }
        g_list_free(pWindows);
    });
    return text;
}

GdkPixbuf* GtkDriver::Screenshot(const std::string& name, const char* pszShown) {
    GdkPixbuf* pShot = nullptr;
    OnUi([&] {
        GdkWindow* pRoot = gdk_get_default_root_window();
        pShot = gdk_pixbuf_get_from_window(pRoot, 0, 0, gdk_window_get_width(pRoot),
                                           gdk_window_get_height(pRoot));
    });
    if (pShot != nullptr && !name.empty()) {
        // The saved picture shows the dialog with a margin, not the whole screen.
        ScreenRect r{0, 0, gdk_pixbuf_get_width(pShot), gdk_pixbuf_get_height(pShot)};
        OnUi([&] {
            if (GtkWidget* pDialog = FindWidget(pszShown))
                r = ScreenRectOf(pDialog);
        });
        const int margin = 24;
        const int x = std::max(r.x - margin, 0);
        const int y = std::max(r.y - margin, 0);
        const int w = std::min(r.width + 2 * margin, gdk_pixbuf_get_width(pShot) - x);
        const int h = std::min(r.height + 2 * margin, gdk_pixbuf_get_height(pShot) - y);
        GdkPixbuf* pCrop = gdk_pixbuf_new_subpixbuf(pShot, x, y, w, h);
        const std::string path = ScreenshotFolder() + "/" + name + ".png";
        EXPECT_TRUE(gdk_pixbuf_save(pCrop, path.c_str(), "png", nullptr, nullptr)) << path;
        g_object_unref(pCrop);
    }
    return pShot;
}

void GtkDriver::PrepareToolkit(unsigned dpi) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no X server (run under xvfb-run)";
    g_object_set(gtk_settings_get_default(), "gtk-xft-dpi", int(dpi * 1024), nullptr);
}

Rgb8 PixelAt(GdkPixbuf* pShot, int x, int y) {
    const guchar* p = gdk_pixbuf_get_pixels(pShot) + y * gdk_pixbuf_get_rowstride(pShot) +
                      x * gdk_pixbuf_get_n_channels(pShot);
    return {p[0], p[1], p[2]};
}

bool Near(Rgb8 a, Rgb8 b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

} // namespace dialog_test
