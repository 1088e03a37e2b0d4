// The Win32 dialog under Wine (on Xvfb), used through its window: a helper
// thread finds the dialog, picks rows, presses OK or Cancel, points at rows
// and double-clicks, and reads what is on screen.
#include "dialog/CertificateDialogs.h"
#include "dialog/DialogGeometry.h"
#include "tests/dialog/DialogTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

using namespace dialog_test;
namespace geometry = orvane::dialog;

namespace {

constexpr HRESULT kCanceled = HRESULT(0xA0071002);
DWORD g_dialogThread = 0;

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Language() {
    const char* lang = std::getenv("ORVANE_EXPECT_UI_LANG");
    return lang != nullptr && std::strcmp(lang, "zh") == 0 ? "zh" : "en";
}

// Visible top-level windows of the dialog's thread of the given class.
HWND FindThreadWindow(const wchar_t* pwszClass, HWND hExcept = nullptr) {
    struct Search {
        const wchar_t* cls;
        HWND except;
        HWND found;
    } s{pwszClass, hExcept, nullptr};
    EnumThreadWindows(
        g_dialogThread,
        [](HWND h, LPARAM l) -> BOOL {
            auto* search = reinterpret_cast<Search*>(l);
            wchar_t cls[64] = {};
            GetClassNameW(h, cls, 64);
            if (h != search->except && IsWindowVisible(h) && wcscmp(cls, search->cls) == 0) {
                search->found = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

HWND WaitForDialog() {
    for (int i = 0; i < 200; ++i) {
        HWND h = FindThreadWindow(L"#32770");
        if (h != nullptr && GetDlgItem(h, 1001) != nullptr) {
            Pause(200); // its first frame
            return h;
        }
        Pause(50);
    }
    return nullptr;
}

RECT ScreenRect(HWND h) {
    RECT rc{};
    GetWindowRect(h, &rc);
    return rc;
}

// ClientScreenRect: the client area in screen coordinates (what a screenshot
// shows; without a window manager Wine leaves the caption undrawn).
RECT ClientScreenRect(HWND h) {
    RECT rc{};
    GetClientRect(h, &rc);
    MapWindowPoints(h, nullptr, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

// WindowDpi: the window's DPI as the dialog reads it.
UINT WindowDpi(HWND h) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    auto pGet = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (pGet != nullptr && pGet(h) != 0)
        return pGet(h);
    HDC hDC = GetDC(h);
    const int dpi = GetDeviceCaps(hDC, LOGPIXELSY);
    ReleaseDC(h, hDC);
    return UINT(dpi);
}

POINT RowCentre(HWND hList, int nRow) {
    RECT rc{};
    SendMessageW(hList, LB_GETITEMRECT, WPARAM(nRow), reinterpret_cast<LPARAM>(&rc));
    POINT pt{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    ClientToScreen(hList, &pt);
    return pt;
}

// Screen pixels through the screen's device context.
struct Shot {
    int x = 0, y = 0, width = 0, height = 0;
    std::vector<DWORD> pixels; // 0x00RRGGBB, top-down
    COLORREF At(int sx, int sy) const {
        const DWORD p = pixels[size_t((sy - y) * width + (sx - x))];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
};

Shot Capture(const RECT& rc) {
    Shot s{rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, {}};
    s.pixels.resize(size_t(s.width) * size_t(s.height));
    HDC hScreen = GetDC(nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = s.width;
    bi.bmiHeader.biHeight = -s.height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* pBits = nullptr;
    HBITMAP hBitmap = CreateDIBSection(hScreen, &bi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    BitBlt(hMem, 0, 0, s.width, s.height, hScreen, s.x, s.y, SRCCOPY);
    GdiFlush();
    std::memcpy(s.pixels.data(), pBits, s.pixels.size() * 4);
    SelectObject(hMem, hOld);
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    return s;
}

void SavePng(const Shot& s, const std::string& name) {
    const char* dir = std::getenv("ORVANE_SCREENSHOT_DIR");
    const std::string path = std::string(dir != nullptr ? dir : ".") + "\\" + name + ".png";
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok)
        return;
    {
        std::vector<DWORD> opaque(s.pixels);
        for (DWORD& p : opaque)
            p |= 0xFF000000u;
        Gdiplus::Bitmap bitmap(s.width, s.height, s.width * 4, PixelFormat32bppARGB,
                               reinterpret_cast<BYTE*>(opaque.data()));
        UINT count = 0, size = 0;
        Gdiplus::GetImageEncodersSize(&count, &size);
        std::vector<BYTE> buffer(size);
        auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
        Gdiplus::GetImageEncoders(count, size, encoders);
        for (UINT i = 0; i < count; ++i)
            if (wcscmp(encoders[i].MimeType, L"image/png") == 0) {
                const WString wide = W(path.c_str());
                EXPECT_EQ(bitmap.Save(wide.c_str(), &encoders[i].Clsid, nullptr), Gdiplus::Ok);
            }
    }
    Gdiplus::GdiplusShutdown(token);
}

bool Near(COLORREF a, geometry::Rgb b, int tolerance = 6) {
    return std::abs(int(GetRValue(a)) - b.r) <= tolerance &&
           std::abs(int(GetGValue(a)) - b.g) <= tolerance &&
           std::abs(int(GetBValue(a)) - b.b) <= tolerance;
}

std::string Hex(COLORREF c) {
    char sz[16];
    std::snprintf(sz, sizeof sz, "%d,%d,%d", GetRValue(c), GetGValue(c), GetBValue(c));
    return sz;
}

class Win32Dialog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // As a browser is: aware of each monitor's DPI.
        using SetContextFn = BOOL(WINAPI*)(HANDLE);
        auto pSet = reinterpret_cast<SetContextFn>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
        if (pSet != nullptr)
            pSet(reinterpret_cast<HANDLE>(LONG_PTR(-4)));
    }
    void SetUp() override {
        g_dialogThread = GetCurrentThreadId();
        for (const char* name : {"Carol", "Alice", "bob"})
            certs.push_back(MakeNamedCertificate(name, unsigned(certs.size())));
    }
    HRESULT Run(const std::vector<PCCERT_CONTEXT>& candidates, BOOL bAlwaysShow,
                const std::function<void(HWND)>& script) {
        const SELECT_CERTIFICATE_OPTIONS options{0, nullptr, bAlwaysShow, 1, nullptr};
        std::atomic<bool> returned{false};
        std::thread helper([&] {
            HWND hDialog = WaitForDialog();
            EXPECT_NE(hDialog, nullptr) << "the dialog did not show";
            if (hDialog != nullptr)
                script(hDialog);
            // The script's last messages may still be queued: let them end the
            // dialog first; then whatever is left open is closed, so a failure
            // never hangs.
            for (int i = 0; i < 50 && !returned; ++i)
                Pause(100);
            for (int i = 0; i < 100 && !returned; ++i) {
                if (HWND h = FindThreadWindow(L"#32770"))
                    PostMessageW(h, WM_CLOSE, 0, 0);
                Pause(100);
            }
        });
        PCCERT_CONTEXT pSelected = nullptr;
        const HRESULT hr = CustomCryptUIDlgSelectCertificate(&options, candidates, &pSelected);
        returned = true;
        helper.join();
        selected.reset(pSelected);
        return hr;
    }
    std::vector<PCCERT_CONTEXT> All() const {
        return {certs[0].get(), certs[1].get(), certs[2].get()};
    }
    // certs: Carol, Alice, bob; the list shows Alice, bob, Carol.
    std::vector<UniqueCertContext> certs;
    UniqueCertContext selected;
};

TEST_F(Win32Dialog, OkTakesThePickedRow) {
    const HRESULT hr = Run(All(), FALSE, [](HWND hDialog) {
        HWND hList = GetDlgItem(hDialog, 1001);
        SendMessageW(hList, LB_SETCURSEL, 1, 0);
        PostMessageW(hDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(hDialog, IDOK)));
    });
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), certs[2].get())); // bob
}

TEST_F(Win32Dialog, TheListHasTheFocusAndTheKeysWork) {
    const HRESULT hr = Run(All(), FALSE, [](HWND hDialog) {
        HWND hList = GetDlgItem(hDialog, 1001);
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        ASSERT_TRUE(GetGUIThreadInfo(g_dialogThread, &info));
        EXPECT_EQ(info.hwndFocus, hList);
        // Down moves to the second row; Return is OK.
        PostMessageW(hList, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(hList, WM_KEYUP, VK_DOWN, 0);
        PostMessageW(hList, WM_KEYDOWN, VK_RETURN, 0);
        PostMessageW(hList, WM_KEYUP, VK_RETURN, 0);
    });
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), certs[2].get())); // bob
}

TEST_F(Win32Dialog, CancelAndClosingCancel) {
    struct Case {
        const char* what;
        std::function<void(HWND)> act;
    } cases[] = {
        {"Cancel",
         [](HWND h) {
             PostMessageW(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                          reinterpret_cast<LPARAM>(GetDlgItem(h, IDCANCEL)));
         }},
        {"closed", [](HWND h) { PostMessageW(h, WM_CLOSE, 0, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Run(All(), FALSE, c.act), kCanceled);
        EXPECT_FALSE(selected);
    }
}

TEST_F(Win32Dialog, OneCandidateWithAlwaysShowShowsOneRow) {
    int oneRow = 0, threeRows = 0, oneHeight = 0, threeHeight = 0;
    UINT dpi = 96;
    EXPECT_EQ(Run({certs[1].get()}, TRUE,
                  [&](HWND h) {
                      RECT rc{};
                      GetClientRect(GetDlgItem(h, 1001), &rc);
                      oneRow = rc.bottom;
                      oneHeight = ScreenRect(h).bottom - ScreenRect(h).top;
                      dpi = WindowDpi(h);
                      PostMessageW(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                  }),
              S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), certs[1].get()));
    EXPECT_EQ(Run(All(), FALSE,
                  [&](HWND h) {
                      RECT rc{};
                      GetClientRect(GetDlgItem(h, 1001), &rc);
                      threeRows = rc.bottom;
                      threeHeight = ScreenRect(h).bottom - ScreenRect(h).top;
                      PostMessageW(h, WM_CLOSE, 0, 0);
                  }),
              kCanceled);
    // Three rows fit a 1080-pixel monitor at 96 DPI; at 144 DPI only two do.
    const int row = geometry::RowHeight(dpi);
    const int visible = geometry::VisibleRows(GetSystemMetrics(SM_CYSCREEN), dpi, 3);
    EXPECT_GE(oneRow, row);
    EXPECT_LT(oneRow, 2 * row);
    EXPECT_GE(threeRows, visible * row);
    EXPECT_LT(threeRows, (visible + 1) * row);
    EXPECT_EQ(threeHeight - oneHeight, (visible - 1) * row);
}

TEST_F(Win32Dialog, RowsAreHighlightedAndTheTooltipFollowsTheMouse) {
    const HRESULT hr = Run(All(), FALSE, [](HWND hDialog) {
        HWND hList = GetDlgItem(hDialog, 1001);
        const char* names[] = {"Alice", "bob", "Carol"};
        for (int nRow : {1, 0, 1}) {
            const POINT pt = RowCentre(hList, nRow);
            SetCursorPos(pt.x - 5, pt.y);
            Pause(100);
            SetCursorPos(pt.x, pt.y);
            Pause(400);
            HWND hTip = FindThreadWindow(L"tooltips_class32");
            if (hTip == nullptr) { // a tooltip that is not shown is still there
                EnumThreadWindows(
                    g_dialogThread,
                    [](HWND h, LPARAM l) -> BOOL {
                        wchar_t cls[64] = {};
                        GetClassNameW(h, cls, 64);
                        if (wcscmp(cls, L"tooltips_class32") == 0)
                            *reinterpret_cast<HWND*>(l) = h;
                        return TRUE;
                    },
                    reinterpret_cast<LPARAM>(&hTip));
            }
            ASSERT_NE(hTip, nullptr);
            wchar_t szText[256] = {};
            TTTOOLINFOW info{};
            info.cbSize = TTTOOLINFOW_V2_SIZE;
            info.hwnd = hDialog;
            info.uId = reinterpret_cast<UINT_PTR>(hList);
            info.lpszText = szText;
            SendMessageW(hTip, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&info));
            EXPECT_EQ(U8(reinterpret_cast<const WCHAR*>(szText)), names[nRow]);
        }
        // Row 0 selected, row 1 under the mouse, row 2 (when on screen) plain.
        RECT rcList{};
        GetWindowRect(hList, &rcList);
        const Shot shot = Capture(ClientScreenRect(hDialog));
        SavePng(shot, "dialog_win32_" + Language() + "_highlight");
        RECT rcItem{};
        SendMessageW(hList, LB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&rcItem));
        POINT origin{0, 0};
        ClientToScreen(hList, &origin);
        const int x = origin.x + rcItem.right - 6;
        const int row = rcItem.bottom - rcItem.top;
        struct Case {
            int nRow;
            const geometry::RowColours* colours;
        } cases[] = {{0, &geometry::kSelectedColours}, {1, &geometry::kHoverColours}, {2, nullptr}};
        RECT rcClient{};
        GetClientRect(hList, &rcClient);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.nRow);
            if ((c.nRow + 1) * row > rcClient.bottom)
                continue; // scrolled out of sight at this DPI
            const int top = origin.y + c.nRow * row;
            const COLORREF nearTop = shot.At(x, top + 2);
            const COLORREF nearBottom = shot.At(x, top + row - 3);
            if (c.colours == nullptr) {
                EXPECT_TRUE(Near(nearTop, {255, 255, 255})) << Hex(nearTop);
                continue;
            }
            EXPECT_TRUE(Near(nearTop, c.colours->gradientTop)) << Hex(nearTop);
            EXPECT_TRUE(Near(nearBottom, c.colours->gradientBottom)) << Hex(nearBottom);
            const COLORREF border = shot.At(origin.x + rcItem.right / 2, top);
            EXPECT_TRUE(Near(border, c.colours->border)) << Hex(border);
        }
        PostMessageW(hDialog, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(hr, kCanceled);
}

TEST_F(Win32Dialog, DoubleClickOpensTheViewerAndKeepsTheDialog) {
    const HRESULT hr = Run(All(), FALSE, [](HWND hDialog) {
        HWND hList = GetDlgItem(hDialog, 1001);
        const POINT pt = RowCentre(hList, 1);
        SetCursorPos(pt.x, pt.y);
        Pause(100);
        POINT client = pt;
        ScreenToClient(hList, &client);
        PostMessageW(hList, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(client.x, client.y));
        HWND hViewer = nullptr;
        for (int i = 0; i < 100 && hViewer == nullptr; ++i) {
            Pause(100);
            hViewer = FindThreadWindow(L"#32770", hDialog);
        }
        ASSERT_NE(hViewer, nullptr) << "no viewer window";
        Pause(300);
        SavePng(Capture(ScreenRect(hViewer)), "dialog_win32_" + Language() + "_viewer");
        PostMessageW(hViewer, WM_CLOSE, 0, 0);
        for (int i = 0; i < 50 && IsWindow(hViewer) && IsWindowVisible(hViewer); ++i)
            Pause(100);
        EXPECT_TRUE(IsWindowVisible(hDialog)); // the dialog stays open
        PostMessageW(hDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(SameCertificate(selected.get(), certs[1].get())); // row 0 stays selected
}

TEST_F(Win32Dialog, Screenshots) {
    std::vector<UniqueCertContext> many;
    std::vector<PCCERT_CONTEXT> candidates;
    for (unsigned i = 0; i < 20; ++i) {
        many.push_back(MakeNamedCertificate("Holder " + std::to_string(100 + i), 40 + i));
        candidates.push_back(many.back().get());
    }
    for (size_t rows : {size_t(1), size_t(20)}) {
        const std::vector<PCCERT_CONTEXT> shown(candidates.begin(),
                                                candidates.begin() + long(rows));
        const HRESULT hr = Run(shown, TRUE, [&](HWND hDialog) {
            const UINT dpi = WindowDpi(hDialog);
            SavePng(Capture(ClientScreenRect(hDialog)), "dialog_win32_" + Language() + "_" +
                                                            std::to_string(dpi) + "dpi_" +
                                                            std::to_string(rows) + "rows");
            PostMessageW(hDialog, WM_CLOSE, 0, 0);
        });
        EXPECT_EQ(hr, kCanceled);
    }
}

} // namespace
