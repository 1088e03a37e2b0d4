// The GTK dialog, used as a person would under Xvfb: keys and clicks through
// the X server, checks of what is on screen (pixels of screenshots, the
// tooltip, the viewer window) and of what the caller gets back.
#include "dialog/CertificateDialogs.h"
#include "dialog/DialogGeometry.h"
#include "tests/dialog/DialogTestSupport.h"
#include "tests/dialog/GtkDriver.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace dialog_test;
namespace geometry = orvane::dialog;

namespace {

constexpr HRESULT kCanceled = HRESULT(0xA0071002);

std::string Language() {
    const char* lang = std::getenv("ORVANE_EXPECT_UI_LANG");
    return lang != nullptr && std::strcmp(lang, "zh") == 0 ? "zh" : "en";
}

Rgb8 ToRgb8(geometry::Rgb c) {
    return {c.r, c.g, c.b};
}

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Moves the pointer to the middle of row nRow of the list, in two steps as a
// hand does: leaving a row hides its tooltip, and only a movement inside the
// next one asks for that row's.
bool PointAtRow(const ScreenRect& rows, int nRow, int rowHeight) {
    const int x = rows.x + rows.width / 2;
    const int y = rows.y + nRow * rowHeight + rowHeight / 2;
    return GtkDriver::Xdo({"mousemove", std::to_string(x - 6), std::to_string(y), "sleep", "0.1",
                           "mousemove", std::to_string(x), std::to_string(y)});
}

ScreenRect RectOf(const char* pszName) {
    ScreenRect r;
    GtkDriver::OnUi([&] {
        if (GtkWidget* p = GtkDriver::FindWidget(pszName))
            r = GtkDriver::ScreenRectOf(p);
    });
    return r;
}

bool ClickAt(const ScreenRect& r) {
    return GtkDriver::Xdo({"mousemove", std::to_string(r.x + r.width / 2),
                           std::to_string(r.y + r.height / 2), "click", "1"});
}

class GtkDialog : public ::testing::Test {
protected:
    void SetUp() override {
        GtkDriver::PrepareToolkit(96);
        for (const char* name : {"Carol", "Alice", "bob"})
            certs.push_back(MakeNamedCertificate(name, unsigned(certs.size())));
        for (const auto& c : certs)
            ASSERT_TRUE(c);
    }

    // Run: shows the dialog over candidates while script drives it.
    HRESULT Run(const std::vector<PCCERT_CONTEXT>& candidates, BOOL bAlwaysShow,
                const std::function<void()>& script) {
        const SELECT_CERTIFICATE_OPTIONS options{0, nullptr, bAlwaysShow, 1, nullptr};
        HRESULT hr = E_FAIL;
        PCCERT_CONTEXT pSelected = nullptr;
        GtkDriver::RunWithScript(
            [&] { hr = CustomCryptUIDlgSelectCertificate(&options, candidates, &pSelected); },
            script);
        selected.reset(pSelected);
        return hr;
    }
    std::vector<PCCERT_CONTEXT> All() const {
        std::vector<PCCERT_CONTEXT> all;
        for (const auto& c : certs)
            all.push_back(c.get());
        return all;
    }

    // certs[0] Carol, [1] Alice, [2] bob: the list shows Alice, bob, Carol.
    std::vector<UniqueCertContext> certs;
    UniqueCertContext selected;
};

TEST_F(GtkDialog, DownAndReturnTakeTheNextRow) {
    const HRESULT hr = Run(All(), FALSE, [] {
        ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
        EXPECT_TRUE(GtkDriver::Xdo({"key", "Down"}));
        EXPECT_TRUE(GtkDriver::Xdo({"key", "Return"}));
    });
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), certs[2].get())); // bob, the second row
    EXPECT_TRUE(GtkDriver::WaitForNoDialog());
}

TEST_F(GtkDialog, OkTakesTheClickedRow) {
    const HRESULT hr = Run(All(), FALSE, [] {
        ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
        const ScreenRect rows = RectOf("certificate-rows");
        EXPECT_TRUE(PointAtRow(rows, 2, 80));
        EXPECT_TRUE(GtkDriver::Xdo({"click", "1"}));
        EXPECT_TRUE(ClickAt(RectOf("ok")));
    });
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), certs[0].get())); // Carol, the third row
}

TEST_F(GtkDialog, CancelEscapeAndClosingTheWindowCancel) {
    struct Case {
        const char* what;
        std::function<void()> act;
    } cases[] = {
        {"Escape",
         [] {
             EXPECT_TRUE(GtkDriver::Xdo({"key", "Escape"}));
         }},
        {"Cancel button", [] { EXPECT_TRUE(ClickAt(RectOf("cancel"))); }},
        {"Cancel focused, then Return",
         [] {
             EXPECT_TRUE(GtkDriver::Xdo({"key", "Tab", "Tab", "Return"}));
         }},
        {"window closed",
         [] {
             GtkDriver::OnUi([] {
                 gtk_window_close(GTK_WINDOW(GtkDriver::FindWidget("select-certificate-dialog")));
             });
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const HRESULT hr = Run(All(), FALSE, [&] {
            ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
            c.act();
        });
        EXPECT_EQ(hr, kCanceled);
        EXPECT_FALSE(selected);
    }
}

TEST_F(GtkDialog, OneCandidateWithAlwaysShowShowsOneRow) {
    ScreenRect one, three;
    EXPECT_EQ(Run({certs[1].get()}, TRUE,
                  [&] {
                      ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
                      one = RectOf("certificate-list");
                      EXPECT_TRUE(GtkDriver::Xdo({"key", "Return"}));
                  }),
              S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), certs[1].get()));
    EXPECT_EQ(Run(All(), FALSE,
                  [&] {
                      ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
                      three = RectOf("certificate-list");
                      EXPECT_TRUE(GtkDriver::Xdo({"key", "Escape"}));
                  }),
              kCanceled);
    // One row and the list's frame: 80 + 2 * 3 pixels at 96 DPI.
    EXPECT_EQ(one.height, 86);
    EXPECT_EQ(three.height, 3 * 80 + 6);
    // Centred on the 1080-pixel screen, so the shorter dialog sits lower.
    EXPECT_GT(one.y, three.y);
}

TEST_F(GtkDialog, TwentyCertificatesShowSevenRowsAndScroll) {
    std::vector<UniqueCertContext> many;
    std::vector<PCCERT_CONTEXT> candidates;
    for (unsigned i = 0; i < 20; ++i) {
        many.push_back(MakeNamedCertificate("Holder " + std::to_string(100 + i), 10 + i));
        candidates.push_back(many.back().get());
    }
    const HRESULT hr = Run(candidates, FALSE, [] {
        ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
        const ScreenRect list = RectOf("certificate-list");
        EXPECT_EQ(list.height, 7 * 80 + 6); // (1080 - 500) / 80 rows
        // End goes to the last row, which scrolls into view; Return takes it.
        EXPECT_TRUE(GtkDriver::Xdo({"key", "End", "Return"}));
    });
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), many.back().get()));
}

TEST_F(GtkDialog, SelectedAndHoveredRowsArePaintedInTheirColours) {
    const HRESULT hr = Run(All(), FALSE, [] {
        ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
        const ScreenRect rows = RectOf("certificate-rows");
        EXPECT_TRUE(PointAtRow(rows, 1, 80)); // row 0 is selected, row 1 under the mouse
        Pause(300);
        GdkPixbuf* pShot = GtkDriver::Screenshot("dialog_gtk_" + Language() + "_highlight");
        ASSERT_NE(pShot, nullptr);
        const int x = rows.x + rows.width - 6; // right of the text's cut
        struct Case {
            const char* what;
            int row;
            const geometry::RowColours* colours;
        } cases[] = {{"selected", 0, &geometry::kSelectedColours},
                     {"under the mouse", 1, &geometry::kHoverColours},
                     {"plain", 2, nullptr}};
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            const int top = rows.y + c.row * 80;
            const Rgb8 nearTop = PixelAt(pShot, x, top + 2);
            const Rgb8 nearBottom = PixelAt(pShot, x, top + 77);
            const Rgb8 border = PixelAt(pShot, rows.x + rows.width / 2, top);
            if (c.colours == nullptr) {
                EXPECT_TRUE(Near(nearTop, {255, 255, 255}));
                EXPECT_TRUE(Near(border, {255, 255, 255}));
                continue;
            }
            EXPECT_TRUE(Near(nearTop, ToRgb8(c.colours->gradientTop)))
                << nearTop.r << "," << nearTop.g << "," << nearTop.b;
            EXPECT_TRUE(Near(nearBottom, ToRgb8(c.colours->gradientBottom)))
                << nearBottom.r << "," << nearBottom.g << "," << nearBottom.b;
            EXPECT_TRUE(Near(border, ToRgb8(c.colours->border)))
                << border.r << "," << border.g << "," << border.b;
        }
        g_object_unref(pShot);
        EXPECT_TRUE(GtkDriver::Xdo({"key", "Escape"}));
    });
    EXPECT_EQ(hr, kCanceled);
}

TEST_F(GtkDialog, TooltipFollowsTheRowUnderTheMouse) {
    const HRESULT hr = Run(All(), FALSE, [] {
        ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
        const ScreenRect rows = RectOf("certificate-rows");
        const char* names[] = {"Alice", "bob", "Carol", "bob"};
        const int order[] = {0, 1, 2, 1};
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(names[i]);
            EXPECT_TRUE(PointAtRow(rows, order[i], 80));
            std::string text;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while ((text = GtkDriver::TooltipText()) != names[i] &&
                   std::chrono::steady_clock::now() < deadline)
                Pause(100);
            EXPECT_EQ(text, names[i]);
        }
        EXPECT_TRUE(GtkDriver::Xdo({"key", "Escape"}));
    });
    EXPECT_EQ(hr, kCanceled);
}

TEST_F(GtkDialog, DoubleClickOpensTheViewerAndKeepsTheDialog) {
    const HRESULT hr = Run(All(), FALSE, [] {
        ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
        const ScreenRect rows = RectOf("certificate-rows");
        EXPECT_TRUE(PointAtRow(rows, 1, 80));
        EXPECT_TRUE(GtkDriver::Xdo({"click", "--repeat", "2", "--delay", "60", "1"}));
        unsigned long xid = 0;
        std::string title;
        EXPECT_TRUE(GtkDriver::WaitUntil([&] {
            GtkWidget* pViewer = GtkDriver::FindWidget("certificate-viewer");
            if (pViewer == nullptr || !gtk_widget_get_mapped(pViewer))
                return false;
            xid = GtkDriver::WindowXid(pViewer);
            title = gtk_window_get_title(GTK_WINDOW(pViewer));
            return true;
        }));
        EXPECT_EQ(title, "bob");
        Pause(300);
        GdkPixbuf* pShot =
            GtkDriver::Screenshot("dialog_gtk_" + Language() + "_viewer", "certificate-viewer");
        if (pShot != nullptr)
            g_object_unref(pShot);
        EXPECT_TRUE(GtkDriver::Xdo({"windowfocus", "--sync", std::to_string(xid)}));
        EXPECT_TRUE(GtkDriver::Xdo({"key", "Escape"}));
        EXPECT_TRUE(GtkDriver::WaitUntil([] {
            GtkWidget* pViewer = GtkDriver::FindWidget("certificate-viewer");
            return pViewer == nullptr || !gtk_widget_get_mapped(pViewer);
        }));
        // The selection dialog is still there, with bob selected by the clicks.
        EXPECT_NE(GtkDriver::WaitForDialog(), 0ul);
        EXPECT_TRUE(GtkDriver::Xdo({"key", "Return"}));
    });
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), certs[2].get()));
}

TEST_F(GtkDialog, Screenshots) {
    // Twenty certificates, two of them with keys in hardware (listed first).
    std::vector<UniqueCertContext> many;
    std::vector<PCCERT_CONTEXT> candidates;
    const char* names[] = {"Alice Zhang", "bob Li",    "Carol Wang", "David Chen", "Erin Liu",
                           "Frank Zhao",  "Grace Sun", "Henry Wu",   "Ivy Zhou",   "Jack Xu",
                           "Kate Hu",     "Leo Guo",   "Mia He",     "Nick Lin",   "Olivia Luo",
                           "Peter Gao",   "Quinn Ma",  "Rose Zheng", "Sam Liang",  "Tina Song"};
    for (unsigned i = 0; i < 20; ++i) {
        many.push_back(MakeNamedCertificate(names[i], 40 + i));
        candidates.push_back(many.back().get());
    }
    LinkToNewContainer(many[3].get(), kHardwareProvider, PROV_RSA_FULL);
    LinkToNewContainer(many[7].get(), kHardwareProvider, PROV_RSA_FULL);
    struct Case {
        unsigned dpi;
        size_t rows;
        int listHeight;
    } cases[] = {{96, 1, 86}, {96, 20, 566}, {144, 1, 128}, {144, 20, 248}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dpi << " dpi, " << c.rows << " rows");
        GtkDriver::PrepareToolkit(c.dpi);
        const std::vector<PCCERT_CONTEXT> shown(candidates.begin(),
                                                candidates.begin() + long(c.rows));
        const std::string name = "dialog_gtk_" + Language() + "_" + std::to_string(c.dpi) + "dpi_" +
                                 std::to_string(c.rows) + "rows";
        const HRESULT hr = Run(shown, TRUE, [&] {
            ASSERT_NE(GtkDriver::WaitForDialog(), 0ul);
            EXPECT_EQ(RectOf("certificate-list").height, c.listHeight);
            EXPECT_TRUE(PointAtRow(RectOf("certificate-rows"), c.rows > 1 ? 2 : 0,
                                   geometry::RowHeight(c.dpi)));
            Pause(300);
            GdkPixbuf* pShot = GtkDriver::Screenshot(name);
            EXPECT_NE(pShot, nullptr);
            if (pShot != nullptr)
                g_object_unref(pShot);
            EXPECT_TRUE(GtkDriver::Xdo({"key", "Escape"}));
        });
        EXPECT_EQ(hr, kCanceled);
    }
    GtkDriver::PrepareToolkit(96);
}

} // namespace
