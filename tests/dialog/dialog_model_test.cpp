// The dialog's model without a window: geometry, row texts, sorting, the
// entry points' answers that need no user, and the refusal to run without a
// display.
#include "dialog/CertificateDialogs.h"
#include "dialog/DialogGeometry.h"
#include "dialog/SelectCertificateDlg.h"
#include "tests/dialog/DialogTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace orvane::dialog;
using namespace dialog_test;

namespace {

bool ExpectChinese() {
    const char* lang = std::getenv("ORVANE_EXPECT_UI_LANG");
    return lang != nullptr && std::strcmp(lang, "zh") == 0;
}

std::string T(const char* en, const char* zh) {
    return ExpectChinese() ? zh : en;
}

// --- geometry -------------------------------------------------------------------

struct RowGeometryCase {
    UINT dpi;
    int row;
    Box picture;
    Box frame;
    Point name;
    Point validity;
    FontSpec nameFont;   // modern system
    FontSpec detailFont; // modern system
    FontSpec classicName;
};

TEST(DialogGeometry, RowsScaleWithTheDpi) {
    const RowGeometryCase cases[] = {
        {96,
         80,
         {14, 14, 48, 48},
         {9, 9, 62, 62},
         {80, 5},
         {80, 55},
         {nullptr, 20, 8},
         {nullptr, 18, 6},
         {nullptr, 16, 8}},
        // Above 96 DPI widths shrink to 95/100 and heights to 90/100: 30 -> 27, 12 -> 11.
        {144,
         120,
         {22, 22, 72, 72},
         {13, 13, 93, 93},
         {120, 7},
         {120, 82},
         {nullptr, 27, 11},
         {nullptr, 24, 8},
         {nullptr, 21, 11}},
        {120,
         100,
         {18, 18, 60, 60},
         {11, 11, 77, 77},
         {100, 6},
         {100, 68},
         {nullptr, 22, 9},
         {nullptr, 19, 6},
         {nullptr, 18, 9}},
        {192,
         160,
         {30, 30, 96, 96},
         {18, 18, 124, 124},
         {160, 10},
         {160, 110},
         {nullptr, 36, 15},
         {nullptr, 32, 11},
         {nullptr, 28, 15}},
    };
    for (const RowGeometryCase& c : cases) {
        SCOPED_TRACE(c.dpi);
        EXPECT_EQ(RowHeight(c.dpi), c.row);
        const Box picture = PictureBox(c.dpi);
        EXPECT_EQ(picture.x, c.picture.x);
        EXPECT_EQ(picture.y, c.picture.y);
        EXPECT_EQ(picture.width, c.picture.width);
        EXPECT_EQ(picture.height, c.picture.height);
        const Box frame = FrameBox(c.dpi, 62, 62);
        EXPECT_EQ(frame.x, c.frame.x);
        EXPECT_EQ(frame.y, c.frame.y);
        EXPECT_EQ(frame.width, c.frame.width);
        const Point name = TextOrigin(RowLine::Name, c.dpi);
        EXPECT_EQ(name.x, c.name.x);
        EXPECT_EQ(name.y, c.name.y);
        const Point validity = TextOrigin(RowLine::Validity, c.dpi);
        EXPECT_EQ(validity.x, c.validity.x);
        EXPECT_EQ(validity.y, c.validity.y);
        const FontSpec nameFont = NameFont(c.dpi, true);
        EXPECT_EQ(U8(nameFont.face), "Microsoft YaHei");
        EXPECT_EQ(nameFont.height, c.nameFont.height);
        EXPECT_EQ(nameFont.width, c.nameFont.width);
        const FontSpec detail = DetailFont(c.dpi, true);
        EXPECT_EQ(detail.height, c.detailFont.height);
        EXPECT_EQ(detail.width, c.detailFont.width);
        const FontSpec classic = NameFont(c.dpi, false);
        EXPECT_EQ(U8(classic.face), "Arial");
        EXPECT_EQ(classic.height, c.classicName.height);
        EXPECT_EQ(classic.width, c.classicName.width);
    }
}

TEST(DialogGeometry, HeadingAndTextLimits) {
    EXPECT_EQ(HeadingOrigin(96).x, 15);
    EXPECT_EQ(HeadingOrigin(144).y, 18);
    EXPECT_EQ(HeadingFont(144, true).height, 33); // the heading keeps its plain scaling
    EXPECT_EQ(HeadingFont(96, false).height, 16);
    EXPECT_EQ(HeadingRightLimit(423, 96), 403);
    EXPECT_EQ(TextRightLimit(380, 96), 365);
    EXPECT_EQ(TextRightLimit(570, 144), 548);
}

TEST(DialogGeometry, HighlightColours) {
    // Selected wins over the mouse; a plain row has no highlight at all.
    EXPECT_EQ(HighlightFor(true, true), &kSelectedColours);
    EXPECT_EQ(HighlightFor(true, false), &kSelectedColours);
    EXPECT_EQ(HighlightFor(false, true), &kHoverColours);
    EXPECT_EQ(HighlightFor(false, false), nullptr);
    EXPECT_EQ(kSelectedColours.gradientTop.g, 236);
    EXPECT_EQ(kHoverColours.gradientBottom.r, 185);
}

TEST(DialogGeometry, VisibleRowsFollowTheMonitor) {
    struct Case {
        int monitor;
        UINT dpi;
        size_t count;
        int rows;
    } cases[] = {
        {1080, 96, 20, 7}, // (1080 - 500) / 80
        {1080, 96, 3, 3},  // fewer certificates than room
        {1080, 96, 1, 1},    {1080, 96, 0, 0},
        {1080, 144, 20, 2}, // (1080 - 750) / 120
        {2160, 192, 20, 7},  {560, 96, 20, 1},
        {400, 96, 20, 1}, // too small for the rest of the dialog: still one row
        {1440, 96, 100, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.monitor << " px, " << c.dpi << " dpi, " << c.count);
        EXPECT_EQ(VisibleRows(c.monitor, c.dpi, c.count), c.rows);
    }
}

TEST(DialogGeometry, AdjustLayoutShrinksAndCentres) {
    DialogLayout layout;
    layout.dialog = {300, 40, 429, 563};
    layout.list = {19, 60, 382, 429};
    layout.ok = {255, 500, 75, 22};
    layout.cancel = {337, 500, 75, 22};
    struct Case {
        int monitorTop;
        int rows;
        UINT dpi;
        int listHeight;
        int dialogHeight;
        int dialogY;
        int buttonY;
    } cases[] = {
        {0, 1, 96, 86, 220, 430, 157},     // one row and the frame
        {0, 7, 96, 566, 700, 190, 637},    // twenty certificates on 1080 pixels
        {1080, 1, 96, 86, 220, 1510, 157}, // a monitor below the first one
        {0, 2, 144, 248, 382, 349, 319},   // 144 DPI: rows of 120, frame of 4
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rows << " rows at " << c.dpi);
        const int frame = ScaleForDpi(kFixedFrame96, c.dpi);
        const DialogLayout next = AdjustLayout(layout, c.monitorTop, 1080, c.rows, c.dpi, frame);
        EXPECT_EQ(next.list.height, c.listHeight);
        EXPECT_EQ(next.dialog.height, c.dialogHeight);
        EXPECT_EQ(next.dialog.y, c.dialogY);
        EXPECT_EQ(next.ok.y, c.buttonY);
        EXPECT_EQ(next.cancel.y, c.buttonY);
        EXPECT_EQ(next.dialog.x, 300); // horizontal position and widths stay
        EXPECT_EQ(next.list.width, 382);
    }
}

TEST(DialogGeometry, TemplateInPixels) {
    const Box at96 = DialogUnitsToPixels(dialog_template::kDialog, 96);
    EXPECT_EQ(at96.width, 423);
    EXPECT_EQ(at96.height, 534);
    const Box list = DialogUnitsToPixels(dialog_template::kList, 96);
    EXPECT_EQ(list.x, 19);
    EXPECT_EQ(list.y, 60);
    EXPECT_EQ(list.height, 429);
    const Box at144 = DialogUnitsToPixels(dialog_template::kDialog, 144);
    EXPECT_EQ(at144.width, 634);
    EXPECT_EQ(at144.height, 781);
}

// --- row texts --------------------------------------------------------------------

TEST(DialogTexts, FindNameAttribute) {
    struct Case {
        const char* name;
        const char* key;
        const char* value;
    } cases[] = {
        {"CN=Alice, O=Example, C=CN", "CN", "Alice"},
        {"O=Example, C=CN", "CN", ""},                        // no CN: empty name
        {"CN=Bob, OU=Dept, O=Example, C=CN", "O", "Example"}, // OU is not O
        {"CN=Root, OU=Dept, C=CN", "O", ""},
        {"OU=ACN=fake, CN=Real", "CN", "Real"}, // "CN=" inside a value is no attribute
        {"CN=ACME CO=1, C=CN", "O", ""},        // nor is "O=" inside one
        {"CN=Smith, John, O=X", "CN", "Smith"}, // read up to the next comma
        {"CN=, O=Example", "CN", ""},           // an empty value
        {"CN=张三, O=测试", "CN", "张三"},
        {"CN=Carol", "CN", "Carol"},
        {"CN=\"Smith, John\", O=X", "CN", "Smith, John"}, // quoted: up to the closing quote
        {"CN=\"Say \"\"hi\"\"\", O=X", "CN", "Say \"hi\""},
        {"O=\"测试\", CN=x", "O", "测试"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(U8(FindNameAttribute(W(c.name), W(c.key).c_str(), 127)), c.value);
    }
    const WString longName = TEXT("CN=") + WString(300, WCHAR('x')) + TEXT(", O=Example");
    EXPECT_EQ(FindNameAttribute(longName, TEXT("CN"), 127).size(), 127u);
}

TEST(DialogTexts, FormatResourceText) {
    EXPECT_EQ(U8(FormatResourceText(TEXT("Issuer: %ws"), {TEXT("Example")}, 255)),
              "Issuer: Example");
    EXPECT_EQ(U8(FormatResourceText(TEXT("%04d/%02d/%02d"), {2021, 3, 5}, 255)), "2021/03/05");
    EXPECT_EQ(U8(FormatResourceText(TEXT("100%% %d"), {7}, 255)), "100% 7");
    EXPECT_EQ(U8(FormatResourceText(TEXT("%5d|%03d|%d"), {42, -5, -17}, 255)), "   42|-05|-17");
    EXPECT_EQ(U8(FormatResourceText(TEXT("%d and %d"), {1}, 255)), "1 and "); // missing argument
    EXPECT_EQ(U8(FormatResourceText(TEXT("50%x"), {}, 255)), "50%x");         // unknown conversion
    EXPECT_EQ(U8(FormatResourceText(TEXT("%s!"), {TEXT("narrow")}, 255)), "narrow!");
    const WString longValue(300, WCHAR('y'));
    EXPECT_EQ(FormatResourceText(TEXT("Issuer: %ws"), {longValue.c_str()}, 255).size(), 255u);
    EXPECT_TRUE(FormatResourceText(nullptr, {1}, 255).empty());
}

struct ItemCase {
    const char* what;
    CertificateSpec spec;
    const char* name;
    std::string issuer;
    std::string serial;
    std::string validity;
};

TEST(DialogTexts, LoadCertificatesBuildsTheRows) {
    const std::string issuerPrefix = T("Issuer: ", "颁发者: ");
    const std::string serialPrefix = T("SN: ", "序列号: ");
    const std::string validity =
        T("Valid From: 2021/03/05 to 2026/03/04", "有效期: 2021/03/05 至 2026/03/04");
    const ItemCase cases[] = {
        {"issuer with O",
         {{{kC, "CN"}, {kO, "Example"}, {kCN, "Alice"}},
          {{kC, "CN"}, {kO, "Orvane Authority"}, {kCN, "Orvane Root"}},
          {0x05}},
         "Alice",
         issuerPrefix + "Orvane Authority",
         serialPrefix + "05",
         validity},
        {"subject without CN, issuer without O",
         {{{kC, "CN"}, {kO, "Nameless Corp"}}, {{kC, "CN"}, {kCN, "Only CN Root"}}, {0x01, 0xA0}},
         "",
         issuerPrefix + "Only CN Root",
         serialPrefix + "01a0",
         validity},
        {"Chinese names",
         {{{kO, "测试单位"}, {kCN, "张三"}}, {{kO, "测试认证中心"}, {kCN, "根"}}, {0x00, 0xff}},
         "张三",
         issuerPrefix + "测试认证中心",
         serialPrefix + "00ff",
         validity},
    };
    for (const ItemCase& c : cases) {
        SCOPED_TRACE(c.what);
        UniqueCertContext cert = MakeCertificate(c.spec);
        ASSERT_TRUE(cert);
        UniqueStore store = MemoryStore({cert.get()});
        std::vector<UniqueCertContext> certificates;
        std::vector<CERTIFICATE_DISPLAY_ITEM> items;
        ASSERT_EQ(LoadCertificates(nullptr, store.get(), certificates, items), S_OK);
        ASSERT_EQ(items.size(), 1u);
        ASSERT_EQ(certificates.size(), 1u);
        EXPECT_EQ(items[0].pCertContext, certificates[0].get());
        EXPECT_EQ(U8(items[0].strName), c.name);
        EXPECT_EQ(U8(items[0].strIssuer), c.issuer);
        EXPECT_EQ(U8(items[0].strSerialNumber), c.serial);
        EXPECT_EQ(U8(items[0].strValidDate), c.validity);
        EXPECT_FALSE(items[0].bHardwareKey); // no private key at all
    }
}

TEST(DialogTexts, SerialStoredLeastSignificantFirst) {
    // The platform keeps the serial 0x01A0 as the bytes A0 01.
    UniqueCertContext cert = MakeCertificate({{{kCN, "S"}}, {{kCN, "I"}}, {0x01, 0xA0}});
    ASSERT_TRUE(cert);
    ASSERT_EQ(cert.get()->pCertInfo->SerialNumber.cbData, 2u);
    EXPECT_EQ(cert.get()->pCertInfo->SerialNumber.pbData[0], 0xA0);
    UniqueStore store = MemoryStore({cert.get()});
    std::vector<UniqueCertContext> certificates;
    std::vector<CERTIFICATE_DISPLAY_ITEM> items;
    ASSERT_EQ(LoadCertificates(nullptr, store.get(), certificates, items), S_OK);
    EXPECT_EQ(U8(items.at(0).strSerialNumber), T("SN: 01a0", "序列号: 01a0"));
}

TEST(DialogTexts, LoadCertificatesFailsCleanly) {
    std::vector<UniqueCertContext> certificates;
    std::vector<CERTIFICATE_DISPLAY_ITEM> items;
    EXPECT_EQ(LoadCertificates(nullptr, nullptr, certificates, items), E_INVALIDARG);
    EXPECT_TRUE(certificates.empty());
    EXPECT_TRUE(items.empty());
}

// --- order ----------------------------------------------------------------------

TEST(DialogOrder, HardwareFirstThenNamesWithoutCase) {
    struct Row {
        const char* name;
        bool hardware;
    };
    const Row rows[] = {{"bob", false}, {"Alice", false}, {"zed", true},
                        {"Mia", true},  {"carol", false}, {"", false}};
    std::vector<CERTIFICATE_DISPLAY_ITEM> items;
    for (const Row& r : rows) {
        CERTIFICATE_DISPLAY_ITEM item;
        item.strName = W(r.name);
        item.bHardwareKey = r.hardware;
        items.push_back(item);
    }
    SortCertificateItems(items);
    std::vector<std::string> order;
    for (const auto& i : items)
        order.push_back(U8(i.strName));
    EXPECT_EQ(order, (std::vector<std::string>{"Mia", "zed", "", "Alice", "bob", "carol"}));
}

TEST(DialogOrder, EqualNamesKeepTheirOrder) {
    std::vector<CERTIFICATE_DISPLAY_ITEM> items(3);
    items[0].strName = TEXT("same");
    items[1].strName = TEXT("SAME");
    items[2].strName = TEXT("Same");
    for (size_t i = 0; i < items.size(); ++i)
        items[i].strIssuer = WString(1, WCHAR('0' + i));
    SortCertificateItems(items);
    EXPECT_EQ(U8(items[0].strIssuer) + U8(items[1].strIssuer) + U8(items[2].strIssuer), "012");
}

TEST(DialogOrder, HardwareKeysComeFromTheProvider) {
    UniqueCertContext soft = MakeNamedCertificate("Alice", 1);
    UniqueCertContext hard = MakeNamedCertificate("bob", 2);
    UniqueCertContext none = MakeNamedCertificate("Aaron", 3);
    ASSERT_TRUE(soft && hard && none);
    ASSERT_TRUE(LinkToNewContainer(soft.get(), kSoftwareProvider, PROV_RSA_FULL));
    if (!LinkToNewContainer(hard.get(), kHardwareProvider, PROV_RSA_FULL))
        GTEST_SKIP() << "no hardware provider here (Wine has software providers only)";
    EXPECT_FALSE(HasHardwareKey(soft.get()));
    EXPECT_TRUE(HasHardwareKey(hard.get()));
    EXPECT_FALSE(HasHardwareKey(none.get()));

    UniqueStore store = MemoryStore({soft.get(), hard.get(), none.get()});
    std::vector<UniqueCertContext> certificates;
    std::vector<CERTIFICATE_DISPLAY_ITEM> items;
    ASSERT_EQ(LoadCertificates(nullptr, store.get(), certificates, items), S_OK);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(U8(items[0].strName), "bob"); // hardware first, though it sorts last by name
    EXPECT_TRUE(items[0].bHardwareKey);
    EXPECT_EQ(U8(items[1].strName), "Aaron");
    EXPECT_EQ(U8(items[2].strName), "Alice");
}

// --- entry points that need no user -----------------------------------------------

class DialogEntryPoints : public ::testing::Test {
protected:
    void SetUp() override {
        alice = MakeNamedCertificate("Alice", 1);
        bob = MakeNamedCertificate("bob", 2);
        ASSERT_TRUE(alice && bob);
    }
    SELECT_CERTIFICATE_OPTIONS Options(BOOL bAlwaysShow) const {
        return {0, nullptr, bAlwaysShow, 1, nullptr};
    }
    UniqueCertContext alice;
    UniqueCertContext bob;
};

TEST_F(DialogEntryPoints, SoleCandidateIsTakenWithoutAWindow) {
    const SELECT_CERTIFICATE_OPTIONS options = Options(FALSE);
    PCCERT_CONTEXT pSelected = nullptr;
    ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&options, {alice.get()}, &pSelected), S_OK);
    UniqueCertContext selected(pSelected);
    ASSERT_TRUE(selected);
    EXPECT_TRUE(SameCertificate(selected.get(), alice.get()));
}

TEST_F(DialogEntryPoints, RefusedArguments) {
    const SELECT_CERTIFICATE_OPTIONS options = Options(TRUE);
    PCCERT_CONTEXT pSelected = nullptr;
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(nullptr, {alice.get()}, &pSelected), E_INVALIDARG);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&options, {alice.get()}, nullptr), E_INVALIDARG);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&options, {alice.get(), nullptr}, &pSelected),
              E_INVALIDARG);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&options, {}, &pSelected),
              VURO_E_NO_AVAILABLE_CERT);
    EXPECT_EQ(pSelected, nullptr);

    SetLastError(0);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

} // namespace
