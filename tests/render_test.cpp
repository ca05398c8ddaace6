// Pictures of the screen, read back from the PNG files written and checked for what a person
// would see: the answer bar's logo and hint on a ringing phone with the real tweak injected,
// the settings pane loaded from its staged bundle in English and Dutch with its picker panel
// and alerts, and the renderer's handling of frames, colours, clipping, scrolling and bad input.
#include "render/render.h"

#include <cmath>
#include <filesystem>
#include <functional>

#include "injected_fixture.h"
#include "picture_support.h"
#include "platform/hosts/preferences.h"
#include "platform/ui/controls.h"

using objc::id;
using objc::msgSend;
using platform::CGRect;
using platform::CGRectMake;
using platform::UIView;
using render::Pixel;

using testing_support::blue;
using testing_support::dark;
using testing_support::green;
using testing_support::light;
using testing_support::Picture;
using testing_support::red;
using testing_support::white;

namespace {

// How many pixels of two crops of one rectangle differ.
size_t differing(const std::vector<Pixel>& a, const std::vector<Pixel>& b) {
    if (a.size() != b.size()) return std::max(a.size(), b.size());
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] == b[i] ? 0 : 1;
    return n;
}

CGRect offset(CGRect r, double dx, double dy) {
    r.origin.x += dx;
    r.origin.y += dy;
    return r;
}
bool inside(const CGRect& r, const render::Screen& s) {
    return r.origin.x >= 0 && r.origin.y >= 0 && r.origin.x + r.size.width <= s.width &&
           r.origin.y + r.size.height <= s.height;
}

// Draws, writes the file and reads the file back.
Picture picture(const render::Scene& scene, const render::Screen& screen, const std::string& file) {
    const render::Image image = render::render(scene, screen);
    auto written = render::writePNG(image, file);
    EXPECT_TRUE(written) << written.error();
    return Picture::read(file);
}

void writeSolidPNG(const std::string& path, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> px(static_cast<size_t>(w * h * 4));
    for (size_t i = 0; i < px.size(); i += 4)
        px[i] = r, px[i + 1] = g, px[i + 2] = b, px[i + 3] = 255;
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = static_cast<png_uint_32>(w);
    img.height = static_cast<png_uint_32>(h);
    img.format = PNG_FORMAT_RGBA;
    ASSERT_TRUE(png_image_write_to_file(&img, path.c_str(), 0, px.data(), 0, nullptr));
}

const char* kLogo = "/Library/Application Support/Orvella/orvellaLogo@2x.png";

// --- The incoming-call screen ----------------------------------------------------------------

class CallPicture : public testing_support::InjectedTest,
                    public ::testing::WithParamInterface<double> {
  protected:
    void boot(const platform::Dictionary& settings = {}) {
        prepare("com.apple.springboard", platform::HostRole::SpringBoard, GetParam());
        if (!settings.empty()) writeSettings(settings);
        inject();
        ASSERT_EQ(loaded.size(), 1u);
        platform::CallScreen::shared().install(platform::HostRole::SpringBoard);
    }
    // Rings and draws what the person sees.
    Picture ring(const std::string& name) {
        platform::DeviceModel::shared().setCallStatus(platform::kCTCallStatusIncoming);
        settle();
        bar = platform::CallScreen::shared().bar();
        EXPECT_NE(bar, nullptr);
        screen = render::mainScreen();
        return picture({render::Look::IncomingCall, {bar}}, screen, root.file(name));
    }
    void hangUp() {
        platform::DeviceModel::shared().setCallStatus(platform::kCTCallStatusEnded);
        settle();
    }
    // Where the tweak puts its views: 235 points above the bar's top edge, 155 on a 480-point
    // screen.
    double rise() const { return GetParam() == 480 ? 155 : 235; }
    CGRect hintFrame(double logoWidth) const {
        return CGRectMake(bar->frame.origin.x + logoWidth + 7, bar->frame.origin.y - rise() + 23,
                          150, 23);
    }

    platform::UIView* bar = nullptr;
    render::Screen screen;
};

TEST_P(CallPicture, LogoAndHintStandAboveTheBar) {
    boot();
    const Picture seen = ring("call.png");
    EXPECT_EQ(seen.width, 640) << "320 points at scale 2";
    EXPECT_EQ(seen.height, GetParam() * 2);

    const Picture logo = Picture::read(root.path() + kLogo);
    ASSERT_EQ(logo.width, 200);
    const int left = static_cast<int>((bar->frame.origin.x + 7) * 2);
    const int top = static_cast<int>((bar->frame.origin.y - rise()) * 2);
    int opaque = 0;
    const int mismatched = testing_support::logoMismatches(seen, logo, left, top, &opaque);
    EXPECT_GT(opaque, 1000);
    EXPECT_EQ(mismatched, 0) << "the logo file's pixels, one for one, at (" << left << ", " << top
                             << ")";

    const CGRect hint = hintFrame(100);
    EXPECT_GT(seen.count(hint, light), 40) << "the hint's white text";
    EXPECT_EQ(
        seen.count(CGRectMake(hint.origin.x + hint.size.width, hint.origin.y,
                              screen.width - hint.origin.x - hint.size.width, hint.size.height),
                   light),
        0)
        << "nothing white beside it";
    const double below = hint.origin.y + hint.size.height;
    EXPECT_EQ(seen.count(CGRectMake(0, below, screen.width, bar->frame.origin.y - below), light), 0)
        << "nor between it and the bar";

    // The hint whole in its 150 points, as on the phone: just as a label wide enough for any
    // text shows it, not cut short with an ellipsis.
    auto* label = static_cast<platform::UILabel*>(
        msgSend<id>(static_cast<id>(bar), SEL_("viewWithTag:"), int64_t{103}));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text, "Wave once to answer") << "unlocked, no settings";
    label->text = "Wave twice to answer";
    const Picture twice = picture({render::Look::IncomingCall, {bar}}, screen, root.file("2.png"));
    label->frame.size.width = 300;
    const Picture wide = picture({render::Look::IncomingCall, {bar}}, screen, root.file("w.png"));
    EXPECT_EQ(differing(twice.crop(hint), wide.crop(hint)), 0u) << "\"Wave twice to answer\" fits";

    // The answer button, away from its title and rounded corners, in its own green (#4CD964),
    // not merely something greenish.
    const CGRect answer =
        CGRectMake(bar->frame.origin.x + 170 + 4, bar->frame.origin.y + 20 + 6, 12, 44);
    EXPECT_EQ(seen.count(answer,
                         [](Pixel p) {
                             return testing_support::near(p, {76, 217, 100, 255}, 2);
                         }),
              24 * 88)
        << ::testing::PrintToString(seen.at(static_cast<int>(answer.origin.x * 2),
                                            static_cast<int>(answer.origin.y * 2)));
}

TEST_P(CallPicture, MasterSwitchOffShowsNeitherLogoNorHint) {
    boot(platform::Dictionary{{"IsOn", platform::Value(false)}});
    const Picture seen = ring("off.png");
    const Pixel background = seen.at(2, 2);
    EXPECT_EQ(seen.count(CGRectMake(0, bar->frame.origin.y - rise(), screen.width, rise()),
                         [&](Pixel p) { return !(p == background); }),
              0)
        << "the call screen above the bar is empty";
}

TEST_P(CallPicture, MissingOrCorruptLogoDrawsTheHintAloneWithoutCrashing) {
    boot();
    const std::string logo = root.path() + kLogo;
    const std::string real = testing_support::readFile(logo);
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"missing", [&] { std::filesystem::remove(logo); }},
        {"not an image", [&] { testing_support::writeFile(logo, "not an image"); }},
        {"cut short", [&] { testing_support::writeFile(logo, real.substr(0, 120)); }},
    };
    for (const auto& [name, spoil] : cases) {
        SCOPED_TRACE(name);
        spoil();
        const Picture seen = ring(name + ".png");
        ASSERT_EQ(seen.width, 640);
        EXPECT_EQ(seen.count(CGRectMake(0, 0, screen.width, bar->frame.origin.y), green), 0)
            << "no logo";
        const CGRect hint = hintFrame(0);
        EXPECT_GT(seen.count(hint, light), 40) << "the hint moved left to x = 7";
        EXPECT_EQ(seen.count(offset(hint, hint.size.width, 0), light), 0);
        hangUp();
    }
}

// The file holds exactly what was drawn: the logo, the hint and the answer bar read back pixel
// for pixel, and translucent pixels keep their colour and alpha.
TEST_P(CallPicture, TheWrittenFileDecodesToThePixelsDrawn) {
    boot();
    const Picture seen = ring("call.png");
    const render::Image drawn = render::render({render::Look::IncomingCall, {bar}}, screen);
    ASSERT_EQ(seen.width, drawn.width());
    ASSERT_EQ(seen.height, drawn.height());
    const CGRect logo = CGRectMake(bar->frame.origin.x + 7, bar->frame.origin.y - rise(), 100, 32);
    for (const CGRect& r : {logo, hintFrame(100), bar->frame}) {
        int differing = 0;
        for (int y = static_cast<int>(r.origin.y * 2);
             y < static_cast<int>((r.origin.y + r.size.height) * 2); ++y)
            for (int x = static_cast<int>(r.origin.x * 2);
                 x < static_cast<int>((r.origin.x + r.size.width) * 2); ++x)
                differing += seen.at(x, y) == drawn.at(x, y) ? 0 : 1;
        EXPECT_EQ(differing, 0) << "in the rectangle at " << r.origin.x << ", " << r.origin.y;
    }

    render::Image glass(3, 2);
    const uint32_t premultiplied[] = {0x00000000, 0xFF102030, 0x80404040,
                                      0x01010000, 0x7F7F0000, 0xC0302010};
    std::copy(std::begin(premultiplied), std::end(premultiplied), glass.data());
    ASSERT_TRUE(render::writePNG(glass, root.file("glass.png")));
    const Picture back = Picture::read(root.file("glass.png"));
    ASSERT_EQ(back.width, 3);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(back.at(i % 3, i / 3), glass.at(i % 3, i / 3)) << "pixel " << i;
}

INSTANTIATE_TEST_SUITE_P(Screens, CallPicture, ::testing::Values(568.0, 480.0),
                         [](const auto& info) { return std::to_string(int(info.param)); });

// The platform's in-call screen: its six controls, the speaker's lit while the speaker is the
// route, and a tap on it clicking its position as the tweak's own tap does.
class InCallPicture : public testing_support::InjectedTest {};

TEST_F(InCallPicture, SixControlsAndTheSpeakerLitWhileItIsTheRoute) {
    prepare("com.apple.springboard", platform::HostRole::SpringBoard);
    auto& calls = platform::CallScreen::shared();
    calls.install(platform::HostRole::SpringBoard);
    platform::DeviceModel::shared().setCallStatus(platform::kCTCallStatusActive);
    settle();
    platform::InCallController* controller = calls.inCallController();
    ASSERT_NE(controller, nullptr);
    ASSERT_TRUE(controller->view);
    UIView* screenView = controller->view.get();
    const render::Screen screen = render::mainScreen();
    auto shoot = [&](const std::string& name) {
        controller->showRoute();
        return picture({render::Look::IncomingCall, {screenView}}, screen, root.file(name));
    };
    UIView* speaker = platform::findViewByIdentifier(screenView, "speaker");
    ASSERT_NE(speaker, nullptr);
    EXPECT_EQ(speaker->tag, platform::InCallController::kSpeakerPosition);
    // A corner of the square, away from its title.
    const CGRect corner =
        CGRectMake(speaker->frame.origin.x + 2, speaker->frame.origin.y + 2, 10, 10);
    auto brightness = [&](const Picture& p) {
        const Pixel px = p.at(static_cast<int>(corner.origin.x * 2) + 4,
                              static_cast<int>(corner.origin.y * 2) + 4);
        return px.r + px.g + px.b;
    };

    const Picture off = shoot("off.png");
    for (const char* control : {"mute", "keypad", "speaker", "add call", "FaceTime", "contacts"}) {
        SCOPED_TRACE(control);
        UIView* v = platform::findViewByIdentifier(screenView, control);
        ASSERT_NE(v, nullptr);
        EXPECT_TRUE(inside(v->frame, screen));
        EXPECT_GT(off.count(v->frame, white), 40) << "its white title";
    }
    platform::tapButton(speaker);
    settle();
    EXPECT_EQ(controller->clicks,
              std::vector<int32_t>{platform::InCallController::kSpeakerPosition});
    EXPECT_TRUE(platform::DeviceModel::shared().speakerSelected());
    const Picture on = shoot("on.png");
    EXPECT_GT(brightness(on), brightness(off) + 150) << "lit";
    // Every control's title reads clearly on its square, the lit speaker's too: the square's own
    // colour (a corner) against the title's pixels (the middle of the square).
    for (const auto& [name, seen] : {std::pair{"off", &off}, {"on", &on}}) {
        for (const char* control :
             {"mute", "keypad", "speaker", "add call", "FaceTime", "contacts"}) {
            SCOPED_TRACE(std::string(control) + ", speaker " + name);
            const CGRect square = platform::findViewByIdentifier(screenView, control)->frame;
            const Pixel background = seen->at(static_cast<int>(square.origin.x * 2) + 6,
                                              static_cast<int>(square.origin.y * 2) + 6);
            const CGRect title = CGRectMake(square.origin.x + 5, square.origin.y + 35, 80, 20);
            EXPECT_GT(
                seen->count(title,
                            [&](Pixel p) { return testing_support::contrast(p, background) >= 7; }),
                60)
                << "title pixels of clear contrast on " << ::testing::PrintToString(background);
        }
    }
    const Pixel litSquare = on.at(static_cast<int>(speaker->frame.origin.x * 2) + 6,
                                  static_cast<int>(speaker->frame.origin.y * 2) + 6);
    EXPECT_TRUE(white(litSquare) || litSquare.r > 200) << "lit: light, as on the phone";
    platform::tapButton(speaker);
    settle();
    EXPECT_FALSE(platform::DeviceModel::shared().speakerSelected());
    EXPECT_EQ(brightness(shoot("off-again.png")), brightness(off));
}

// --- The logo, decoded once ------------------------------------------------------------------

class LogoCache : public testing_support::InjectedTest {};

TEST_F(LogoCache, EachIncomingCallReusesTheLogoUntilTheFileChanges) {
    prepare("com.apple.springboard", platform::HostRole::SpringBoard);
    inject();
    auto newBar = [] {
        return objc::Strong<platform::TPSuperBottomBar>::adopt(
            static_cast<platform::TPSuperBottomBar*>(
                objc::allocInit(platform::TPSuperBottomBar::cls())));
    };
    auto logoOf = [](const objc::Strong<platform::TPSuperBottomBar>& bar) {
        return static_cast<platform::UIImageView*>(
            msgSend<id>(static_cast<id>(bar.get()), SEL_("viewWithTag:"), int64_t{101}));
    };
    const uint64_t before = platform::pngDecodeCount();
    auto first = newBar();
    auto second = newBar();
    EXPECT_EQ(platform::pngDecodeCount(), before + 1) << "decoded for the first call only";
    ASSERT_NE(logoOf(first)->image, nullptr);
    EXPECT_EQ(logoOf(first)->image, logoOf(second)->image);

    // A new logo moved into place (another file at the same path) is read again.
    const std::string logo = root.path() + kLogo;
    writeSolidPNG(root.file("new@2x.png"), 100, 40, 255, 0, 0);
    std::filesystem::rename(root.file("new@2x.png"), logo);
    auto third = newBar();
    EXPECT_EQ(platform::pngDecodeCount(), before + 2);
    EXPECT_EQ(logoOf(third)->frame, CGRectMake(7, -235, 50, 20));
    const Picture seen = picture({render::Look::IncomingCall, {third.get()}}, render::mainScreen(),
                                 root.file("n.png"));
    EXPECT_GT(seen.count(CGRectMake(7, third->frame.origin.y - 235, 50, 20), red), 3900)
        << "and drawn";

    // Rewritten in place with other pixels of the same size: read again.
    writeSolidPNG(logo, 100, 40, 0, 0, 255);
    auto fourth = newBar();
    EXPECT_EQ(platform::pngDecodeCount(), before + 3);
    EXPECT_NE(logoOf(fourth)->image, logoOf(third)->image);
    EXPECT_EQ(static_cast<platform::UIImage*>(logoOf(fourth)->image)->rgba[2], 255);

    // Gone or broken: no image, as before the cache.
    std::filesystem::remove(logo);
    EXPECT_EQ(logoOf(newBar())->image, nullptr);
    testing_support::writeFile(logo, "garbage");
    EXPECT_EQ(logoOf(newBar())->image, nullptr);
    EXPECT_NE(logoOf(third)->image, nullptr) << "bars already shown keep theirs";
}

// --- The settings pane -----------------------------------------------------------------------

class PanePicture : public ::testing::TestWithParam<double> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform::device::setRoot(root.path()));
        std::filesystem::copy(ORVELLA_PACKAGE_DIR, root.path(),
                              std::filesystem::copy_options::recursive);
        platform::bundle::setMainBundleIdentifier("com.apple.Preferences");
        platform::useVirtualClock();
        platform::RunLoop::main().reset();
        platform::DeviceModel::shared().reset();
        platform::DeviceModel::shared().setScreenHeight(height());
        platform::registerPreferencesClasses();
        platform::registerDeviceClasses();
        platform::locale::setPreferredLanguages({"en"});
    }
    void TearDown() override {
        while (!platform::visibleAlerts().empty()) platform::tapAlertButton(0);
    }
    double height() const { return GetParam(); }

    void writeSettings(const platform::Dictionary& d) {
        const std::string path =
            platform::device::resolve("/var/mobile/Library/Preferences/com.brelkin.Orvella.plist");
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        ASSERT_TRUE(platform::plist::writeXmlAtomically(platform::Value(d), path));
    }
    void open(const std::string& language = "en") {
        platform::locale::setPreferredLanguages({language});
        host = objc::Strong<objc::Object>::adopt(platform::openPreferencePane("Orvella_Prefs"));
        ASSERT_TRUE(host);
        pane = static_cast<UIView*>(msgSend<id>(host.get(), SEL_("view")));
        ASSERT_NE(pane, nullptr);
    }
    UIView* named(const std::string& name) const {
        UIView* v = platform::findViewByIdentifier(pane, name);
        EXPECT_NE(v, nullptr) << name;
        return v;
    }
    // A view's frame on the screen (views inside the scroll view are not scrolled here).
    CGRect onScreen(const UIView* v) const {
        CGRect r = v->frame;
        for (const UIView* p = v->superview; p != nullptr; p = p->superview)
            r = offset(r, p->frame.origin.x, p->frame.origin.y);
        return r;
    }
    Picture shoot(const std::string& name) {
        return picture({render::Look::Settings, {pane}}, render::mainScreen(), root.file(name));
    }

    testing_support::ScratchDir root;
    objc::AutoreleasePool pool;
    objc::Strong<objc::Object> host;
    UIView* pane = nullptr;
};

TEST_P(PanePicture, PickerPanelShownShowsThePickerAndBothControls) {
    open();
    platform::tapButton(named("locked setup"));
    const UIView* panel = named("picker panel");
    ASSERT_EQ(panel->frame.origin.y, height() - 382);
    const Picture seen = shoot("picker.png");
    EXPECT_EQ(seen.height, height() * 2);
    const render::Screen screen = render::mainScreen();
    for (const char* control : {"cancel", "done"}) {
        SCOPED_TRACE(control);
        const CGRect r = onScreen(named(control));
        EXPECT_TRUE(inside(r, screen));
        EXPECT_GT(seen.count(r, blue), 30) << "its title";
    }
    const CGRect picker = onScreen(named("wave protocol picker"));
    EXPECT_TRUE(inside(picker, screen));
    const double column = picker.size.width / 3;
    for (int c = 0; c < 3; ++c) {
        SCOPED_TRACE(c);
        const CGRect selectedRow =
            CGRectMake(picker.origin.x + column * c, picker.origin.y + picker.size.height / 2 - 16,
                       column, 32);
        EXPECT_GT(seen.count(selectedRow, dark), 30) << "the chosen row's title";
    }
}

TEST_P(PanePicture, DutchTextsWhenTheLanguageIsDutch) {
    writeSettings(platform::Dictionary{{"WaveProtocolLocked", platform::Value(1)},
                                       {"WaveProtocolSpeed", platform::Value(1)}});
    std::map<std::string, std::vector<Pixel>> locked, speed, speedRow;
    CGRect buttonFrame, lockedFrame, speedRowFrame;
    for (const char* language : {"en", "nl"}) {
        open(language);
        // The part of the button's frame that its row's label does not reach into.
        const CGRect label = onScreen(named("locked label"));
        lockedFrame = buttonFrame = onScreen(named("locked setup"));
        const double labelEnd = label.origin.x + label.size.width;
        lockedFrame.size.width -= labelEnd - lockedFrame.origin.x;
        lockedFrame.origin.x = labelEnd;
        Picture seen = shoot(std::string(language) + ".png");
        locked[language] = seen.crop(lockedFrame);
        speed[language] = seen.crop(onScreen(named("speed setup")));
        platform::tapButton(named("speed setup"));
        const CGRect picker = onScreen(named("wave protocol picker"));
        speedRowFrame = CGRectMake(picker.origin.x, picker.origin.y + picker.size.height / 2 - 16,
                                   picker.size.width / 3, 32);
        seen = shoot(std::string(language) + "-picker.png");
        speedRow[language] = seen.crop(speedRowFrame);
        host.reset();
    }
    EXPECT_GT(differing(locked["en"], locked["nl"]), 100) << "\"Twice\" against \"Twee keer\"";
    EXPECT_GT(differing(speed["en"], speed["nl"]), 100) << "\"Medium\" against \"Normaal\"";
    EXPECT_GT(differing(speedRow["en"], speedRow["nl"]), 100)
        << "the speed column's rows are Dutch too";

    // The Dutch button shows exactly what a button with the Dutch text shows on its own.
    auto alone = [&](const std::string& title) {
        auto screenView = objc::Strong<UIView>::adopt(
            static_cast<UIView*>(objc::allocInit(platform::UIView::cls())));
        screenView->frame = CGRectMake(0, 0, 320, height());
        auto scroll = objc::Strong<UIView>::adopt(
            static_cast<UIView*>(objc::allocInit(platform::UIScrollView::cls())));
        scroll->frame = screenView->frame;
        auto* button = static_cast<platform::UIButton*>(objc::allocInit(platform::UIButton::cls()));
        button->frame = buttonFrame;
        button->title = title;
        msgSend(static_cast<id>(scroll.get()), SEL_("addSubview:"), static_cast<id>(button));
        msgSend(static_cast<id>(screenView.get()), SEL_("addSubview:"),
                static_cast<id>(scroll.get()));
        objc::objc_release(button);
        return picture({render::Look::Settings, {screenView.get()}}, render::mainScreen(),
                       root.file(title + ".png"))
            .crop(lockedFrame);
    };
    EXPECT_EQ(differing(locked["nl"], alone("Twee keer")), 0u);
    EXPECT_EQ(differing(locked["en"], alone("Twice")), 0u);
    EXPECT_GT(differing(locked["nl"], alone("Twee keren")), 0u) << "and not any other text";
}

TEST_P(PanePicture, AnAlertIsDrawnOverEverythingUntilItCloses) {
    open();
    const Picture before = shoot("before.png");
    platform::tapButton(named("how it works"));
    ASSERT_EQ(platform::visibleAlerts().size(), 1u);
    const Picture during = shoot("alert.png");
    const Pixel corner = before.at(4, 4), dimmed = during.at(4, 4);
    EXPECT_LT(dimmed.r, corner.r - 40) << "the screen behind is dimmed";
    const CGRect middle = CGRectMake(25, height() / 2 - 20, 270, 40);
    EXPECT_GT(during.count(middle, dark), 50) << "the alert's text over the middle of the screen";
    EXPECT_GT(during.count(CGRectMake(25, 0, 270, height()), blue), 30) << "its OK button";
    platform::tapAlertButton(0);
    const Picture after = shoot("after.png");
    EXPECT_TRUE(after.rgba == before.rgba) << "closed, it leaves nothing behind";
}

TEST_P(PanePicture, SetupRowsShowTheirLabelsWholeBesideTheirButtons) {
    writeSettings(platform::Dictionary{{"WaveProtocolLocked", platform::Value(2)},
                                       {"WaveProtocolUnlocked", platform::Value(1)},
                                       {"WaveProtocolSpeed", platform::Value(0)}});
    open();
    const Picture seen = shoot("rows.png");
    for (const char* row : {"speed", "locked", "unlocked"}) {
        SCOPED_TRACE(row);
        const CGRect label = onScreen(named(std::string(row) + " label"));
        const CGRect button = onScreen(named(std::string(row) + " setup"));
        EXPECT_LE(label.origin.x + label.size.width, button.origin.x) << "side by side";
        EXPECT_EQ(seen.count(button, dark), 0) << "no label text runs into the button";
        EXPECT_GT(seen.count(button, blue), 30) << "the button's own title";
        // The label's text ends before its frame does: it is not cut short.
        const CGRect end =
            CGRectMake(label.origin.x + label.size.width - 4, label.origin.y, 4, label.size.height);
        EXPECT_EQ(seen.count(end, dark), 0);
        EXPECT_GT(seen.count(label, dark), 100);
    }
}

TEST_P(PanePicture, TheOneWaveWarningIsShownWhole) {
    open();
    const CGRect text = onScreen(named("warning text"));
    const CGRect image = onScreen(named("warning image"));
    EXPECT_EQ(shoot("before.png").count(image, testing_support::yellow), 0) << "hidden at first";
    platform::tapButton(named("locked setup"));
    platform::spinPicker(named("wave protocol picker"), 0, 1);
    platform::tapButton(named("done"));
    const Picture seen = shoot("warning.png");
    EXPECT_GT(seen.count(image, testing_support::yellow), 100) << "the warning sign";
    EXPECT_GT(seen.count(text, dark), 200) << "its text";
    // Cut short, the text would run to the frame's end with an ellipsis.
    const CGRect end =
        CGRectMake(text.origin.x + text.size.width - 6, text.origin.y, 6, text.size.height);
    EXPECT_EQ(seen.count(end, dark), 0) << "the whole sentence fits";
    EXPECT_EQ(seen.count(onScreen(named("how it works")), blue), 0)
        << "the information button gives way to it";
}

INSTANTIATE_TEST_SUITE_P(Screens, PanePicture, ::testing::Values(568.0, 480.0),
                         [](const auto& info) { return std::to_string(int(info.param)); });

// --- The renderer on trees made here ---------------------------------------------------------

class Drawing : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::DeviceModel::shared().reset();
        platform::registerDeviceClasses();
        platform::registerViewControllerClasses();
    }
    template <class T = UIView>
    T* make(UIView* parent, CGRect frame, objc::Class cls = UIView::cls()) {
        auto* v = static_cast<T*>(objc::allocInit(cls));
        v->frame = frame;
        if (parent != nullptr) {
            msgSend(static_cast<id>(parent), SEL_("addSubview:"), static_cast<id>(v));
            objc::objc_release(v);
        } else {
            roots.push_back(objc::Strong<UIView>::adopt(v));
        }
        return v;
    }
    static void colour(UIView* v, double r, double g, double b) {
        id c = msgSend<id>(platform::UIColor::cls(), SEL_("colorWithRed:green:blue:alpha:"), r, g,
                           b, 1.0);
        msgSend(static_cast<id>(v), SEL_("setBackgroundColor:"), c);
    }
    Picture shoot(UIView* root, const std::string& name = "p.png") {
        return picture({render::Look::Plain, {root}}, screen, dir.file(name));
    }

    testing_support::ScratchDir dir;
    objc::AutoreleasePool pool;
    std::vector<objc::Strong<UIView>> roots;
    render::Screen screen{320, 568, 2};
};

TEST_F(Drawing, FramesColoursHiddenClippingScrollingAlignmentAndImages) {
    UIView* root = make(nullptr, CGRectMake(0, 0, 320, 568));
    UIView* clipping = make(root, CGRectMake(10, 10, 100, 100));
    colour(clipping, 1, 0, 0);
    clipping->clipsToBounds = true;
    colour(make(clipping, CGRectMake(50, 50, 100, 100)), 0, 0, 1);
    UIView* open = make(root, CGRectMake(10, 200, 50, 50));
    colour(make(open, CGRectMake(40, 40, 40, 40)), 0, 0, 1);
    UIView* hidden = make(root, CGRectMake(200, 10, 50, 50));
    colour(hidden, 0, 1, 0);
    hidden->hidden = true;
    auto* scroll = make<platform::UIScrollView>(root, CGRectMake(0, 300, 320, 100),
                                                platform::UIScrollView::cls());
    scroll->contentOffset = {0, 100};
    colour(make(scroll, CGRectMake(0, 50, 320, 20)), 0, 1, 0);   // scrolled out above
    colour(make(scroll, CGRectMake(0, 150, 320, 20)), 0, 1, 0);  // shows at 350
    const int64_t alignments[] = {platform::NSTextAlignmentLeft, platform::NSTextAlignmentCenter,
                                  platform::NSTextAlignmentRight};
    for (int i = 0; i < 3; ++i) {
        auto* l = make<platform::UILabel>(root, CGRectMake(0, 410 + 30 * i, 320, 30),
                                          platform::UILabel::cls());
        l->text = "Wave";
        l->textAlignment = alignments[i];
    }
    auto* image =
        static_cast<platform::UIImage*>(objc::class_createInstance(platform::UIImage::cls()));
    image->pixelWidth = image->pixelHeight = 8;
    image->scale = 2;
    for (int i = 0; i < 64; ++i) image->rgba.insert(image->rgba.end(), {255, 0, 0, 255});
    auto* imageView = static_cast<platform::UIImageView*>(
        make(root, CGRectMake(300, 540, 4, 4), platform::UIImageView::cls()));
    imageView->image = objc::Strong<platform::UIImage>::adopt(image);

    const Picture p = shoot(root);
    EXPECT_EQ(p.at(2 * 70, 2 * 70), (Pixel{0, 0, 255, 255})) << "child over its parent";
    EXPECT_EQ(p.at(2 * 130, 2 * 130), (Pixel{255, 255, 255, 255})) << "clipped by the parent";
    EXPECT_EQ(p.at(2 * 75, 2 * 245), (Pixel{0, 0, 255, 255})) << "unclipped: drawn outside";
    EXPECT_EQ(p.at(2 * 210, 2 * 20), (Pixel{255, 255, 255, 255})) << "hidden: not drawn";
    EXPECT_EQ(p.count(CGRectMake(0, 250, 320, 50), green), 0) << "scrolled out and clipped";
    EXPECT_EQ(p.count(CGRectMake(0, 350, 320, 20), green), 640 * 40) << "scrolled into view";
    for (int i = 0; i < 3; ++i) {
        int lo = 640, hi = -1;
        for (int y = 2 * (410 + 30 * i); y < 2 * (440 + 30 * i); ++y)
            for (int x = 0; x < 640; ++x)
                if (dark(p.at(x, y))) lo = std::min(lo, x), hi = std::max(hi, x);
        SCOPED_TRACE(i);
        ASSERT_GE(hi, 0) << "the label's black text";
        if (i == 0) {
            EXPECT_LT(lo, 2 * 10);
        } else if (i == 1) {
            EXPECT_NEAR((lo + hi) / 2.0, 320, 20);
        } else {
            EXPECT_GT(hi, 640 - 2 * 10);
        }
    }
    EXPECT_EQ(p.count(CGRectMake(300, 540, 4, 4), red), 64) << "8 pixels at scale 2: 4 points";
    EXPECT_EQ(p.count(CGRectMake(296, 536, 12, 12), red), 64);
}

TEST_F(Drawing, SwitchesShowOnAndOff) {
    UIView* root = make(nullptr, CGRectMake(0, 0, 320, 568));
    auto* on =
        make<platform::UISwitch>(root, CGRectMake(20, 20, 51, 31), platform::UISwitch::cls());
    on->on = true;
    make<platform::UISwitch>(root, CGRectMake(20, 80, 51, 31), platform::UISwitch::cls());
    const Picture p = shoot(root);
    EXPECT_GT(p.count(CGRectMake(20, 20, 51, 31), green), 500);
    EXPECT_EQ(p.count(CGRectMake(20, 80, 51, 31), green), 0);
    EXPECT_GT(p.count(CGRectMake(20, 80, 51, 31), [](Pixel x) { return !white(x); }), 50)
        << "its outline";
}

TEST_F(Drawing, BadTreesAndBadScreensNeverCrash) {
    UIView* empty = make(nullptr, CGRectMake(0, 0, 0, 0));
    Picture p = shoot(empty, "empty.png");
    EXPECT_EQ(p.count(CGRectMake(0, 0, 320, 568), white), 640 * 1136);

    UIView* root = make(nullptr, CGRectMake(0, 0, 320, 568));
    for (CGRect r : {CGRectMake(10, 10, -50, 40), CGRectMake(NAN, 0, 10, 10),
                     CGRectMake(0, 0, INFINITY, 10), CGRectMake(1e300, 1e300, 1e300, 1e300)})
        colour(make(root, r), 0, 0, 0);
    auto* label =
        make<platform::UILabel>(root, CGRectMake(0, 100, 320, 40), platform::UILabel::cls());
    static const char raw[] = "bad \xff\xfe utf-8 \xc3 and a NUL \0 here \xed\xa0\x80";
    label->text = std::string(raw, sizeof raw - 1);
    make(root, CGRectMake(0, 200, 40, 40), platform::UIImageView::cls());  // no image
    auto* broken = static_cast<platform::UIImageView*>(
        make(root, CGRectMake(50, 200, 40, 40), platform::UIImageView::cls()));
    broken->image = objc::Strong<platform::UIImage>::adopt(
        static_cast<platform::UIImage*>(objc::class_createInstance(platform::UIImage::cls())));
    static_cast<platform::UIImage*>(broken->image)->pixelWidth = 100;  // and no pixels
    static_cast<platform::UIImage*>(broken->image)->pixelHeight = 100;
    make(root, CGRectMake(0, 300, 320, 216), platform::UIPickerView::cls());  // no data source
    auto* mute = make<platform::UIPickerView>(root, CGRectMake(0, 300, 320, 216),
                                              platform::UIPickerView::cls());
    auto stranger = objc::Strong<objc::Object>::adopt(objc::allocInit(objc::NSObject::cls()));
    mute->dataSource = mute->delegate = stranger.get();  // answers nothing a picker asks
    auto* button =
        make<platform::UIButton>(root, CGRectMake(0, 0, 0, 0), platform::UIButton::cls());
    button->title = "zero size";
    // A view added to its own descendant: the loop is cut, not followed.
    UIView* a = make(root, CGRectMake(0, 0, 10, 10));
    UIView* b = make(a, CGRectMake(0, 0, 10, 10));
    objc::objc_retain(a);
    msgSend(static_cast<id>(b), SEL_("addSubview:"), static_cast<id>(a));
    p = picture({render::Look::Plain, {root, a}}, screen, dir.file("bad.png"));
    EXPECT_GT(p.count(CGRectMake(0, 100, 320, 40), dark), 50) << "the readable part of the text";
    EXPECT_EQ(p.count(CGRectMake(0, 0, 320, 90), dark), 0) << "nothing of the broken frames";
    msgSend(static_cast<id>(a), SEL_("removeFromSuperview"));
    objc::objc_release(a);

    EXPECT_TRUE(render::render({render::Look::Plain, {nullptr}}, screen).width() == 640);
    for (render::Screen bad : {render::Screen{0, 568, 2}, render::Screen{320, NAN, 2},
                               render::Screen{320, 568, -1}, render::Screen{1e9, 568, 2}}) {
        const render::Image image = render::render({render::Look::Plain, {root}}, bad);
        EXPECT_TRUE(image.empty());
        auto written = render::writePNG(image, dir.file("x.png"));
        EXPECT_FALSE(written);
        EXPECT_NE(written.error().find(dir.file("x.png")), std::string::npos) << written.error();
    }
    auto written = render::writePNG(render::renderScreen(*root, screen), dir.file("no/such/x.png"));
    ASSERT_FALSE(written);
    EXPECT_NE(written.error().find("no/such/x.png"), std::string::npos) << written.error();
}

TEST_F(Drawing, RecorderKeepsOnePictureForEachVisibleChange) {
    UIView* root = make(nullptr, CGRectMake(0, 0, 320, 568));
    auto* label =
        make<platform::UILabel>(root, CGRectMake(0, 0, 320, 40), platform::UILabel::cls());
    label->text = "Ringing";
    UIView* hidden = make(root, CGRectMake(0, 100, 320, 40));
    hidden->hidden = true;
    auto* secret =
        make<platform::UILabel>(hidden, CGRectMake(0, 0, 320, 40), platform::UILabel::cls());
    UIView* far = make(root, CGRectMake(1000, 0, 10, 10));
    colour(far, 1, 0, 0);

    render::Recorder recorder;
    const render::Scene scene{render::Look::Plain, {root}};
    auto first = recorder.capture(scene, screen);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->fingerprint(), render::renderScreen(*root, screen).fingerprint());
    EXPECT_FALSE(recorder.capture(scene, screen)) << "nothing changed";
    secret->text = "not seen";
    EXPECT_FALSE(recorder.capture(scene, screen)) << "a change inside a hidden view";
    far->frame.origin.x = 2000;
    EXPECT_FALSE(recorder.capture(scene, screen)) << "a change off the screen";
    label->text = "Answered";
    auto changed = recorder.capture(scene, screen);
    ASSERT_TRUE(changed);
    EXPECT_NE(changed->fingerprint(), first->fingerprint());
    EXPECT_NE(render::sceneFingerprint(scene, screen),
              render::sceneFingerprint({render::Look::Settings, {root}}, screen));
}

// Two stand-ins, both from ./run's packages: Roboto (Thin, Light) for the phone's thin and light
// faces, Liberation Sans for every other face the machine lacks.
TEST_F(Drawing, MissingFontsHaveTheirStandIns) {
    const std::string standIn = render::fontFamilyFor("NoSuchFace-Regular");
    EXPECT_EQ(standIn, "Liberation Sans") << "fonts-liberation2 is installed by ./run";
    EXPECT_EQ(render::fontFamilyFor(""), render::fontFamilyFor(platform::kSystemFontName));
    EXPECT_EQ(render::fontFamilyFor("HelveticaNeue-Bold"), standIn);
    for (const char* thin : {"HelveticaNeue-Thin", "HelveticaNeue-UltraLight", "NoSuchFace-Light"})
        EXPECT_EQ(render::fontFamilyFor(thin), "Roboto") << thin << ": fonts-roboto-unhinted";
    auto textOf = [&](const std::string& font) {
        UIView* root = make(nullptr, CGRectMake(0, 0, 320, 568));
        auto* l =
            make<platform::UILabel>(root, CGRectMake(0, 0, 320, 40), platform::UILabel::cls());
        l->text = "Wave twice to answer";
        l->font = objc::retained(
            msgSend<id>(platform::UIFont::cls(), SEL_("fontWithName:size:"), font, 16.0));
        return render::renderScreen(*root, screen).fingerprint();
    };
    EXPECT_EQ(textOf("HelveticaNeue-Thin"), textOf("NoSuchFace-Thin"));
    EXPECT_NE(textOf("HelveticaNeue-Thin"), textOf("NoSuchFace"));
    EXPECT_NE(textOf("HelveticaNeue-Thin"), textOf("HelveticaNeue-Light"));
    EXPECT_NE(textOf("NoSuchFace"), textOf("HelveticaNeue-Bold"));
}

TEST_F(Drawing, MainScreenComesFromThePlatform) {
    platform::DeviceModel::shared().setScreenHeight(480);
    render::Screen s = render::mainScreen();
    EXPECT_EQ(s.width, 320);
    EXPECT_EQ(s.height, 480);
    EXPECT_EQ(s.pixelWidth(), 640);
    EXPECT_EQ(s.pixelHeight(), 960);
    platform::DeviceModel::shared().setHasMainScreen(false);
    EXPECT_EQ(render::mainScreen(3).pixelHeight(), 1440);
}

}  // namespace
