// The settings pane, loaded from the staged bundle the way the Settings application loads it,
// operated as a user would, and read back by the tweak's own settings loader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <limits>

#include "MainViewController.h"
#include "Orvella.h"
#include "PreferencesController.h"
#include "binary_list.h"
#include "platform/files/device_root.h"
#include "platform/hosts/preferences.h"
#include "platform/loop/runloop.h"
#include "platform/testing.h"
#include "platform/ui/nib.h"
#include "platform/ui/viewcontroller.h"
#include "platform/values/plist.h"
#include "test_support.h"
#include "watched_fifo.h"

using objc::id;
using objc::msgSend;
using platform::CGRect;
using platform::Dictionary;
using platform::Value;

namespace {

int settingsPosts = 0;

class Pane : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::resetProcessState();
        ASSERT_TRUE(platform::device::setRoot(root.path()));
        std::filesystem::copy(ORVELLA_PACKAGE_DIR, root.path(),
                              std::filesystem::copy_options::recursive);
        const std::string executable =
            root.path() + "/Library/PreferenceBundles/Orvella_Prefs.bundle/Orvella_Prefs";
        std::filesystem::remove(executable);
        std::filesystem::create_symlink(ORVELLA_PREFS_LIBRARY, executable);
        platform::bundle::setMainBundleIdentifier("com.apple.Preferences");
        platform::useVirtualClock();
        platform::registerPreferencesClasses();
        platform::registerDeviceClasses();
        settingsPosts = 0;
        platform::CFNotificationCenterAddObserver(
            platform::CFNotificationCenterGetDarwinNotifyCenter(), &settingsPosts,
            [](platform::CFNotificationCenterRef, void*, const std::string&, const void*,
               const Dictionary*) { ++settingsPosts; },
            "com.brelkin.Orvella.settingschanged", nullptr, 3);
    }
    void TearDown() override { objc::objc_release(host); }

    std::string file() const { return platform::device::resolve(kPanePreferencesPath); }
    void writeSettings(const Dictionary& d) {
        ASSERT_TRUE(platform::plist::writeXmlAtomically(Value(d), file()));
    }
    std::optional<Dictionary> stored() const { return platform::plist::readDictionary(file()); }

    // Opens the pane and shows its view, as the Settings application does.
    void open() {
        host = static_cast<PreferencesController*>(platform::openPreferencePane("Orvella_Prefs"));
        ASSERT_NE(host, nullptr);
        screenView = msgSend<id>(host, SEL_("view"));
        ASSERT_NE(screenView, nullptr);
        screen = static_cast<MainViewController*>(host->mainViewComtroller);
    }
    void settle() { platform::RunLoop::main().runDue(); }

    static std::string title(id button) { return static_cast<platform::UIButton*>(button)->title; }
    static bool isOn(id sw) { return static_cast<platform::UISwitch*>(sw)->on; }
    static bool hidden(id view) { return static_cast<platform::UIView*>(view)->hidden; }
    double panelY() const {
        return static_cast<platform::UIView*>(screen->pickerViewContainer)->frame.origin.y;
    }
    int64_t selected(int64_t column) const {
        return msgSend<int64_t>(screen->pickerView, SEL_("selectedRowInComponent:"), column);
    }
    std::string shownRow(int64_t column) const {
        return static_cast<platform::UIPickerView*>(screen->pickerView)
            ->title(selected(column), column);
    }
    void tap(id button) { platform::tapButton(button); }
    id buttonTitled(const std::string& t) const {
        return find(static_cast<platform::UIView*>(screenView), t);
    }
    static id find(platform::UIView* v, const std::string& t) {
        if (objc::isKindOfClass(v, platform::UIButton::cls()) &&
            static_cast<platform::UIButton*>(v)->title == t)
            return v;
        for (platform::UIView* c : v->subviews)
            if (id f = find(c, t)) return f;
        return nullptr;
    }

    testing_support::ScratchDir root;
    objc::AutoreleasePool pool;
    PreferencesController* host = nullptr;
    MainViewController* screen = nullptr;
    id screenView = nullptr;
};

}  // namespace

TEST_F(Pane, FirstTimeUserChoosesTheDefaultsWithDone) {
    open();
    EXPECT_EQ(title(screen->btn2), "(tap here)");
    EXPECT_EQ(title(screen->btn4), "(tap here)");
    EXPECT_EQ(title(screen->btn6), "(tap here)");
    EXPECT_TRUE(isOn(screen->IsOn));
    EXPECT_FALSE(isOn(screen->useSpeakerHeadset));
    EXPECT_TRUE(isOn(screen->useLatestDetectionAlgorithm));
    EXPECT_EQ(panelY(), 568) << "parked just below the screen";

    tap(screen->btn4);
    EXPECT_EQ(panelY(), 568 - 382);
    EXPECT_EQ(platform::animationLog().back().duration, 0.5);
    EXPECT_EQ(shownRow(1), "2 waves");
    EXPECT_EQ(shownRow(2), "1 wave");
    EXPECT_EQ(shownRow(0), "Medium");

    tap(buttonTitled("Done"));
    EXPECT_EQ(panelY(), 568);
    settle();
    EXPECT_EQ(settingsPosts, 1);
    auto d = stored();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->at("WaveProtocolLocked"), Value(1));
    EXPECT_EQ(d->at("WaveProtocolUnlocked"), Value(0));
    EXPECT_EQ(d->at("WaveProtocolSpeed"), Value(1));
    EXPECT_EQ(title(screen->btn4), "Twice");
    EXPECT_EQ(title(screen->btn6), "Once");
    EXPECT_EQ(title(screen->btn2), "Medium");
}

TEST_F(Pane, DutchOnlyForExactlyNl) {
    struct Case {
        std::vector<std::string> languages;
        std::vector<std::string> speeds;
        const char* twice;
    };
    const Case cases[] = {{{"nl", "en"}, {"Traag", "Normaal", "Snel"}, "Twee keer"},
                          {{"nl-NL", "nl"}, {"Slow", "Medium", "Fast"}, "Twice"},
                          {{"en"}, {"Slow", "Medium", "Fast"}, "Twice"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.languages.front());
        objc::objc_release(host);
        platform::locale::setPreferredLanguages(c.languages);
        writeSettings(Dictionary{{"WaveProtocolLocked", Value(1)}});
        open();
        EXPECT_EQ(screen->waveSpeed, c.speeds);
        EXPECT_EQ(title(screen->btn4), c.twice);
    }
}

TEST_F(Pane, SwitchesWriteTheWholeCopyAndUnknownKeysSurvive) {
    writeSettings(Dictionary{
        {"Extra", Value("kept")}, {"WaveProtocolLocked", Value(2)}, {"IsOn", Value(true)}});
    open();
    EXPECT_EQ(title(screen->btn4), "Three times");
    platform::setSwitchByUser(screen->useSpeakerHeadset, true);
    settle();
    EXPECT_EQ(settingsPosts, 1);
    auto d = stored();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->at("Extra"), Value("kept"));
    EXPECT_EQ(d->at("WaveProtocolLocked"), Value(2));
    EXPECT_EQ(d->at("UseSpeakerWithHeadsetPlugedIn"), Value(true));
    platform::setSwitchByUser(screen->IsOn, false);
    platform::setSwitchByUser(screen->useLatestDetectionAlgorithm, false);
    settle();
    EXPECT_EQ(settingsPosts, 3);
    d = stored();
    EXPECT_EQ(d->at("IsOn"), Value(false));
    EXPECT_EQ(d->at("UseLatestDetectionSystem"), Value(false));
}

TEST_F(Pane, AFileThatIsNoDictionaryIsNeverOverwritten) {
    for (const char* contents : {"(1, 2, 3)", "<plist><dict><key>IsOn</key>"}) {
        SCOPED_TRACE(contents);
        objc::objc_release(host);
        settingsPosts = 0;
        testing_support::writeFile(file(), contents);
        open();
        EXPECT_FALSE(screen->preferences.has_value());
        EXPECT_EQ(title(screen->btn2), "(tap here)");
        platform::setSwitchByUser(screen->IsOn, false);
        tap(screen->btn2);
        tap(buttonTitled("Done"));
        settle();
        EXPECT_EQ(testing_support::readFile(file()), contents) << "nothing written";
        EXPECT_EQ(settingsPosts, 0) << "nothing posted";
        EXPECT_EQ(title(screen->btn2), "Medium") << "the buttons still follow the choice";
    }
}

TEST_F(Pane, StoredChoicesOutsideTheColumnsOpenOnValidRows) {
    writeSettings(Dictionary{{"WaveProtocolLocked", Value(5)},
                             {"WaveProtocolUnlocked", Value(2)},
                             {"WaveProtocolSpeed", Value(-3)}});
    open();
    EXPECT_EQ(title(screen->btn4), "(tap here)");
    EXPECT_EQ(title(screen->btn6), "(tap here)");
    tap(screen->btn6);
    EXPECT_EQ(shownRow(1), "2 waves") << "preselected as if no choice were stored";
    EXPECT_EQ(shownRow(2), "1 wave");
    EXPECT_EQ(shownRow(0), "Medium");
    tap(buttonTitled("Done"));
    EXPECT_EQ(stored()->at("WaveProtocolUnlocked"), Value(0));
}

TEST_F(Pane, StoredZeroChoicesAreChoicesAndThePickerOpensOnThem) {
    // Row 0 (one wave, slow) is a real choice, not "no choice yet", whose rows would be two
    // waves and medium: the locked and speed columns tell the two apart.
    writeSettings(Dictionary{{"WaveProtocolLocked", Value(0)},
                             {"WaveProtocolUnlocked", Value(0)},
                             {"WaveProtocolSpeed", Value(0)}});
    open();
    EXPECT_EQ(title(screen->btn4), "Once");
    EXPECT_EQ(title(screen->btn6), "Once");
    EXPECT_EQ(title(screen->btn2), "Slow");
    tap(screen->btn2);
    EXPECT_EQ(shownRow(1), "1 wave");
    EXPECT_EQ(shownRow(2), "1 wave");
    EXPECT_EQ(shownRow(0), "Slow");
    tap(buttonTitled("Done"));
    settle();
    auto d = stored();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->at("WaveProtocolLocked"), Value(0));
    EXPECT_EQ(d->at("WaveProtocolSpeed"), Value(0));
    EXPECT_EQ(title(screen->btn4), "Once");
}

TEST_F(Pane, WarningFollowsTheLockedColumnAndCancelStoresNothing) {
    writeSettings(Dictionary{{"WaveProtocolLocked", Value(1)},
                             {"WaveProtocolUnlocked", Value(1)},
                             {"WaveProtocolSpeed", Value(2)}});
    open();
    EXPECT_TRUE(hidden(screen->warningImgView));
    tap(screen->btn2);
    platform::spinPicker(screen->pickerView, 0, 1);
    EXPECT_FALSE(hidden(screen->warningImgView));
    EXPECT_FALSE(hidden(screen->warningLbl));
    EXPECT_TRUE(hidden(screen->infoButton));
    platform::spinPicker(screen->pickerView, 0, 0);  // other columns leave it alone
    EXPECT_FALSE(hidden(screen->warningImgView));
    platform::spinPicker(screen->pickerView, 2, 1);
    EXPECT_TRUE(hidden(screen->warningImgView));
    EXPECT_FALSE(hidden(screen->infoButton));
    platform::spinPicker(screen->pickerView, 0, 2);
    tap(screen->btn4);  // already open: the moved rows stay
    EXPECT_EQ(shownRow(1), "3 waves");
    EXPECT_EQ(shownRow(2), "1 wave");
    tap(buttonTitled("Cancel"));
    settle();
    EXPECT_EQ(panelY(), 568);
    EXPECT_EQ(settingsPosts, 0);
    EXPECT_EQ(stored()->at("WaveProtocolLocked"), Value(1));
    EXPECT_EQ(title(screen->btn4), "Twice");
    tap(screen->btn4);
    EXPECT_EQ(shownRow(1), "2 waves") << "reopening shows the stored choices again";
    EXPECT_EQ(shownRow(2), "2 waves");
    EXPECT_EQ(shownRow(0), "Fast");
}

TEST_F(Pane, AlertsHaveOnlyOKAndThePromotionOpensThePackageManager) {
    platform::locale::setPreferredLanguages({"nl"});
    open();
    tap(screen->infoButtonUseSpeakerHeadset);
    tap(buttonTitled("How waving works"));
    tap(buttonTitled("About Orvella"));
    auto alerts = platform::visibleAlerts();
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[0]->title, "Luidspreker met headset");
    EXPECT_EQ(alerts[1]->title, "Zo werkt zwaaien");
    EXPECT_EQ(alerts[2]->title, "Orvella");
    for (auto* a : alerts) {
        EXPECT_EQ(a->buttonTitles, std::vector<std::string>{"OK"});
        EXPECT_FALSE(a->message.empty());
        EXPECT_EQ(a->delegate, static_cast<id>(screen));
    }
    platform::tapAlertButton(0);
    EXPECT_EQ(platform::visibleAlerts().size(), 2u) << "closing has no further effect";
    tap(buttonTitled("More from the maker"));
    ASSERT_FALSE(platform::openedURLs().empty());
    EXPECT_EQ(platform::openedURLs().back().rfind("cydia://package/", 0), 0u);
}

TEST_F(Pane, MissingTranslationsGiveEmptyTitlesNotKeys) {
    std::filesystem::remove(
        root.path() +
        "/Library/PreferenceBundles/Orvella_Prefs.bundle/Base.lproj/Localizable.strings");
    writeSettings(Dictionary{{"WaveProtocolLocked", Value(0)}});
    open();
    EXPECT_EQ(title(screen->btn4), "");
    EXPECT_EQ(title(screen->btn6), "(tap here)");
    tap(screen->infoButtonUseSpeakerHeadset);
    ASSERT_EQ(platform::visibleAlerts().size(), 1u);
    EXPECT_EQ(platform::visibleAlerts()[0]->title, "");
    EXPECT_EQ(platform::visibleAlerts()[0]->buttonTitles, std::vector<std::string>{"OK"});
}

TEST_F(Pane, TheHostShowsTheScreenAndForwardsStorage) {
    open();
    EXPECT_EQ(msgSend<std::string>(host, SEL_("navigationTitle")), "Available Apps");
    EXPECT_EQ(msgSend<id>(host, SEL_("table")), nullptr);
    EXPECT_EQ(msgSend<platform::CGSize>(host, SEL_("contentSize")), (platform::CGSize{0, 0}));
    EXPECT_EQ(screenView, msgSend<id>(static_cast<id>(screen), SEL_("view")));
    ASSERT_EQ(host->pushed.size(), 1u);
    EXPECT_EQ(host->pushed[0], static_cast<id>(screen));
    EXPECT_EQ(screen->delegate, static_cast<id>(host));
    msgSend(host, SEL_("setObjectForKeyInPreferences:ForKey:"),
            static_cast<id>(platform::NSNumber::numberWithInt(2)),
            std::string("WaveProtocolSpeed"));
    settle();
    EXPECT_EQ(stored()->at("WaveProtocolSpeed"), Value(2));
    EXPECT_EQ(settingsPosts, 1);
    msgSend(host, SEL_("writePreferencesToFile"));
    settle();
    EXPECT_EQ(settingsPosts, 2);
    testing_support::LogCapture log;
    msgSend(host, SEL_("flip:"), screen->IsOn.get());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"On"});
}

TEST_F(Pane, TypedGettersFollowTheirRules) {
    open();  // loads the bundle, which brings the class
    id tools = objc::objc_getClass("FK_HDTools");
    ASSERT_NE(tools, nullptr);
    Dictionary d{{"t", Value(true)},    {"f", Value(false)},
                 {"yes", Value("yEs")}, {"TRUE", Value("True")},
                 {"empty", Value("")},  {"n", Value(7)},
                 {"r", Value(2.5)},     {"date", Value(platform::Date{1})}};
    auto b = [&](const char* key, bool def, const Dictionary* dict) {
        return msgSend<bool>(tools, SEL_("boolForKey:defaultValue:dictionary:"), std::string(key),
                             def, dict);
    };
    auto i = [&](const char* key, int32_t def) {
        return msgSend<int32_t>(tools, SEL_("intForKey:defaultValue:dictionary:"), std::string(key),
                                def, static_cast<const Dictionary*>(&d));
    };
    auto f = [&](const char* key, float def) {
        return msgSend<float>(tools, SEL_("floatForKey:defaultValue:dictionary:"), std::string(key),
                              def, static_cast<const Dictionary*>(&d));
    };
    EXPECT_TRUE(b("t", false, &d));
    EXPECT_FALSE(b("f", true, &d));
    EXPECT_TRUE(b("missing", true, &d));
    EXPECT_FALSE(b("missing", false, &d));
    EXPECT_TRUE(b("yes", false, &d));
    EXPECT_TRUE(b("TRUE", false, &d));
    EXPECT_FALSE(b("empty", true, &d));
    EXPECT_TRUE(b("date", true, &d)) << "no reading and no text: the default";
    EXPECT_TRUE(b("t", false, nullptr) == false) << "no dictionary: the default";
    EXPECT_EQ(i("missing", -1), -1);
    EXPECT_EQ(i("n", -1), 7);
    EXPECT_EQ(i("r", -1), 2);
    EXPECT_EQ(i("date", -1), -1);
    EXPECT_FLOAT_EQ(f("r", 0), 2.5f);
    EXPECT_FLOAT_EQ(f("date", 9.5f), 9.5f);
    EXPECT_EQ(msgSend<std::string>(tools, SEL_("stringForKey:defaultValue:dictionary:"),
                                   std::string("missing"), std::string("def"),
                                   static_cast<const Dictionary*>(&d)),
              "def");
}

TEST_F(Pane, TheInterfaceFileKeepsThePickerAndItsControlsInTheTop382Points) {
    open();
    auto* panel = static_cast<platform::UIView*>(screen->pickerViewContainer);
    ASSERT_EQ(panel->subviews.size(), 3u);
    for (platform::UIView* v : panel->subviews) {
        EXPECT_GE(v->frame.origin.y, 0);
        EXPECT_LE(v->frame.origin.y + v->frame.size.height, 382) << objc::describe(v);
        EXPECT_LE(v->frame.origin.x + v->frame.size.width, panel->frame.size.width);
    }
    EXPECT_EQ(static_cast<platform::UIPickerView*>(screen->pickerView)->numberOfComponents(), 3);
    EXPECT_EQ(static_cast<platform::UIPickerView*>(screen->pickerView)->numberOfRows(2), 2);
}

TEST_F(Pane, TheTweakReadsWhatThePaneWroteThroughItsOwnPath) {
    platform::CFNotificationCenterAddObserver(platform::CFNotificationCenterGetDarwinNotifyCenter(),
                                              nullptr, &preferencesChangedCallback,
                                              "com.brelkin.Orvella.settingschanged", nullptr, 3);
    LoadPrefs();
    EXPECT_EQ(Orvella_LockedStateIndex, 1) << "no file yet";
    open();
    tap(screen->btn4);
    platform::spinPicker(screen->pickerView, 2, 1);
    platform::spinPicker(screen->pickerView, 1, 2);
    platform::spinPicker(screen->pickerView, 2, 0);
    tap(buttonTitled("Done"));
    platform::setSwitchByUser(screen->useLatestDetectionAlgorithm, false);
    settle();
    EXPECT_EQ(Orvella_LockedStateIndex, 2);
    EXPECT_EQ(Orvella_UnlockedStateIndex, 1);
    EXPECT_FLOAT_EQ(Orvella_ProximityDelay, 0.7f);
    EXPECT_FALSE(Orvella_UseLatestDetectionSystem);
    EXPECT_TRUE(Orvella_IsOn);
}

TEST(InterfaceFiles, AMissingOutletOrActionStopsTheLoadAndNamesTheElement) {
    testing_support::ScratchDir root;
    ASSERT_TRUE(platform::device::setRoot(root.path()));
    platform::registerViewControllerClasses();
    objc::AutoreleasePool pool;
    id owner = objc::allocInit(platform::UIViewController::cls());
    testing_support::writeFile(
        platform::device::resolve("/ui/A.nib"),
        "{ View = { Class = UIView; Name = top; Subviews = ( { Class = UISwitch; Name = \"the "
        "switch\"; Outlet = IsOn; } ); }; }");
    auto r = platform::loadNib("/ui/A.nib", owner);
    EXPECT_FALSE(r);
    EXPECT_EQ(r.error(),
              "/ui/A.nib: element View 'top' (UIView) > Subviews[0] 'the switch' (UISwitch): the "
              "owner has no outlet 'IsOn'");
    testing_support::writeFile(platform::device::resolve("/ui/B.nib"),
                               "{ View = { Class = UIButton; Action = \"tapped:\"; }; }");
    EXPECT_EQ(platform::loadNib("/ui/B.nib", owner).error(),
              "/ui/B.nib: element View (UIButton): the owner has no action 'tapped:'");
    testing_support::writeFile(platform::device::resolve("/ui/C.nib"),
                               "{ View = { Class = NoSuchView; }; }");
    EXPECT_NE(platform::loadNib("/ui/C.nib", owner).error().find("names no view class: NoSuchView"),
              std::string::npos);
    testing_support::writeFile(platform::device::resolve("/ui/D.nib"),
                               "{ View = { Class = UIView; Frame = (1, 2); }; }");
    EXPECT_NE(platform::loadNib("/ui/D.nib", owner).error().find("Frame must be four numbers"),
              std::string::npos);
    EXPECT_NE(platform::loadNib("/ui/none.nib", owner).error().find("missing"), std::string::npos);
    // The controller survives a broken file with an empty view.
    msgSend<id>(
        owner, SEL_("initWithNibName:bundle:"), std::string("A"),
        msgSend<id>(platform::NSBundle::cls(), SEL_("bundleWithPath:"), std::string("/ui")));
    testing::internal::CaptureStderr();
    id view = msgSend<id>(owner, SEL_("view"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("the owner has no outlet 'IsOn'"),
              std::string::npos);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(static_cast<platform::UIView*>(view)->subviews.empty());
    objc::objc_release(owner);
}

// Properties the loader cannot use are refused like any other ill-typed entry, not skipped.
TEST(InterfaceFiles, PropertiesOfTheWrongShapeAreRefusedNotIgnored) {
    testing_support::ScratchDir root;
    ASSERT_TRUE(platform::device::setRoot(root.path()));
    platform::registerViewControllerClasses();
    objc::AutoreleasePool pool;
    auto nib = [](const std::string& cls, const std::string& properties) {
        testing_support::writeFile(
            platform::device::resolve("/ui/S.nib"),
            "<plist version=\"1.0\"><dict><key>View</key><dict><key>Class</key><string>" + cls +
                "</string><key>Properties</key>" + properties + "</dict></dict></plist>");
        return platform::loadNib("/ui/S.nib", nullptr);
    };
    EXPECT_EQ(nib("UIView", "<string>hidden</string>").error(),
              "/ui/S.nib: element View (UIView): Properties must be a dictionary");
    const std::string size = "<dict><key>contentSize</key><array>";
    EXPECT_EQ(
        nib("UIScrollView", size + "<string>wide</string><real>9</real></array></dict>").error(),
        "/ui/S.nib: element View (UIScrollView): has an unknown or ill-typed property "
        "'contentSize'");
    auto ok = nib("UIScrollView", size + "<real>320</real><integer>900</integer></array></dict>");
    ASSERT_TRUE(ok) << ok.error();
    EXPECT_EQ(static_cast<platform::UIScrollView*>(ok->get())->contentSize.height, 900);
}

TEST(InterfaceFiles, AFontSizeGivesALabelTheSystemFontAtThatSize) {
    testing_support::ScratchDir root;
    ASSERT_TRUE(platform::device::setRoot(root.path()));
    platform::registerViewControllerClasses();
    objc::AutoreleasePool pool;
    // One element of that class with that value for fontSize, as an XML property list.
    auto nib = [](const std::string& cls, const std::string& value) {
        const std::string path = platform::device::resolve("/ui/F.nib");
        testing_support::writeFile(
            path, "<plist version=\"1.0\"><dict><key>View</key><dict><key>Class</key><string>" +
                      cls + "</string><key>Properties</key><dict><key>fontSize</key>" + value +
                      "</dict></dict></dict></plist>");
        return platform::loadNib("/ui/F.nib", nullptr);
    };
    auto loaded = nib("UILabel", "<real>13</real>");
    ASSERT_TRUE(loaded) << loaded.error();
    auto* font =
        static_cast<platform::UIFont*>(static_cast<platform::UILabel*>(loaded->get())->font);
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font->name, platform::kSystemFontName);
    EXPECT_EQ(font->pointSize, 13);
    EXPECT_TRUE(nib("UILabel", "<integer>9</integer>"));
    for (const char* bad : {"<real>0</real>", "<integer>-2</integer>", "<real>1e9</real>",
                            "<string>13</string>", "<array><real>13</real></array>"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(nib("UILabel", bad).error(),
                  "/ui/F.nib: element View (UILabel): has an unknown or ill-typed property "
                  "'fontSize'");
    }
    EXPECT_FALSE(nib("UIButton", "<real>13</real>")) << "labels only";
}

// Each of these aborted the Settings application: a connection the loader made without asking
// whether the view or the owner could take it. Now the file is refused, named with its element,
// and the pane shows an empty view.
TEST_F(Pane, InterfaceFilesWithConnectionsThatCannotBeMadeAreRefusedNotFatal) {
    const std::string nib =
        root.path() + "/Library/PreferenceBundles/Orvella_Prefs.bundle/MainView_iphone.nib";
    const std::pair<const char*, const char*> cases[] = {
        {"{ View = { Class = UIView; Name = plain; DataSource = Owner; }; }",
         "element View 'plain' (UIView): is a UIView, which has no data source"},
        {"{ View = { Class = UIView; Subviews = ( { Class = UIButton; Outlet = IsOn; } ); }; }",
         "element View (UIView) > Subviews[0] (UIButton): is a UIButton, but the owner's outlet "
         "'IsOn' holds a UISwitch"},
        {"{ View = { Class = UISwitch; Action = \"viewWillAppear:\"; }; }",
         "element View (UISwitch): the owner's 'viewWillAppear:' takes no sender, so it is no "
         "action"},
        {"{ View = { Class = UILabel; Delegate = Owner; }; }",
         "element View (UILabel): is a UILabel, which has no delegate"},
    };
    for (const auto& [file, problem] : cases) {
        SCOPED_TRACE(file);
        testing_support::writeFile(nib, file);
        testing::internal::CaptureStderr();
        open();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("MainView_iphone.nib: " + std::string(problem)), std::string::npos)
            << said;
        EXPECT_TRUE(static_cast<platform::UIView*>(screenView)->subviews.empty());
        // The screen goes on without its controls: a switch action with no switch is harmless.
        msgSend(screen, SEL_("IsOnSwitched:"), static_cast<id>(nullptr));
        objc::objc_release(host);
        host = nullptr;
    }
    // The interface file of the package still loads whole.
    std::filesystem::copy_file(
        std::string(ORVELLA_PACKAGE_DIR) +
            "/Library/PreferenceBundles/Orvella_Prefs.bundle/MainView_iphone.nib",
        nib, std::filesystem::copy_options::overwrite_existing);
    open();
    EXPECT_NE(screen->IsOn, nullptr);
}

TEST(InterfaceFiles, APickerNeedsAnOwnerThatAnswersItsDataSourceQuestions) {
    testing_support::ScratchDir root;
    ASSERT_TRUE(platform::device::setRoot(root.path()));
    platform::registerViewControllerClasses();
    objc::AutoreleasePool pool;
    auto owner = objc::adopt(objc::allocInit(platform::UIViewController::cls()));
    testing_support::writeFile(platform::device::resolve("/ui/P.nib"),
                               "{ View = { Class = UIPickerView; DataSource = Owner; }; }");
    EXPECT_EQ(platform::loadNib("/ui/P.nib", owner.get()).error(),
              "/ui/P.nib: element View (UIPickerView): the owner cannot be its data source: it "
              "does not answer 'numberOfComponentsInPickerView:' as a UIPickerView asks");
    // As its delegate it needs nothing: a row without a title has an empty one.
    testing_support::writeFile(platform::device::resolve("/ui/Q.nib"),
                               "{ View = { Class = UIPickerView; Delegate = Owner; }; }");
    auto picker = platform::loadNib("/ui/Q.nib", owner.get());
    ASSERT_TRUE(picker);
    EXPECT_EQ(static_cast<platform::UIPickerView*>(picker->get())->title(0, 0), "");
}

// A settings file holding half a surrogate pair or a NUL in a string, under a key neither
// deliverable knows, was refused whole: the tweak ignored the user's settings and the pane saved
// nothing. And the pane wrote a binary file when XML could not say a value exactly. Now both read
// such a file, and the pane rewrites it as XML: texts unit for unit, the rest as near as XML can.
TEST_F(Pane, TheUsersSettingsApplyWhateverElseTheFileHoldsAndThePaneRewritesItAsXml) {
    using platform::Date;
    const std::string nul("a\0b", 3), half = "wave \xED\xA0\xBD";  // a NUL; U+D83D alone
    const double nan = std::numeric_limits<double>::quiet_NaN();
    testing_support::BinaryList b;
    const auto entry = [&](const char* key, size_t value) {
        return std::pair{b.ascii(key), value};
    };
    const std::string binary = b.bytes(b.dictionary({
        entry("IsOn", b.boolean(true)),
        entry("WaveProtocolLocked", b.integer(2)),
        entry("WaveProtocolSpeed", b.integer(2)),
        entry("Note", b.utf16(u"wave \xD83D")),
        {b.utf16(u"\xDC4B key"), b.ascii(nul)},
        entry("Far", b.date(1e300)),
        entry("Broken", b.date(nan)),
        entry("Precise", b.date(610000000.25)),
        entry("Minus zero", b.real(-0.0)),
        entry("Nested", b.array({b.date(-1e300)})),
    }));
    const std::string xml =
        "<?xml version=\"1.0\"?><plist><dict><key>IsOn</key><true/>"
        "<key>WaveProtocolLocked</key><integer>2</integer><key>WaveProtocolSpeed</key>"
        "<integer>2</integer><key>Note</key><string>wave &#xD83D;</string>"
        "<key>&#xDC4B; key</key><string>a&#0;b</string></dict></plist>";
    const Dictionary texts{{"Note", Value(half)}, {"\xED\xB1\x8B key", Value(nul)}};
    const Dictionary nearest{{"Far", Value(Date{252423993599.0})},
                             {"Broken", Value(Date{0})},
                             {"Precise", Value(Date{610000000})},
                             {"Minus zero", Value(-0.0)},
                             {"Nested", Value(platform::Array{Value(Date{-63145526400.0})})}};
    for (const std::string& source : {binary, xml}) {
        SCOPED_TRACE(source == binary ? "binary" : "XML");
        testing_support::writeFile(file(), source);
        LoadPrefs();
        EXPECT_EQ(Orvella_LockedStateIndex, 2) << "the user's settings apply";
        EXPECT_FLOAT_EQ(Orvella_ProximityDelay, 0.7f);
        open();
        EXPECT_EQ(title(screen->btn4), "Three times");
        EXPECT_EQ(title(screen->btn2), "Fast");
        platform::setSwitchByUser(screen->IsOn, false);
        settle();
        EXPECT_EQ(testing_support::readFile(file()).substr(0, 5), "<?xml");
        auto d = stored();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->at("IsOn"), Value(false));
        for (const Dictionary& kept : {texts, source == binary ? nearest : Dictionary{}}) {
            for (const auto& [key, value] : kept) {
                SCOPED_TRACE(key);
                ASSERT_EQ(d->count(key), 1u);
                EXPECT_TRUE(platform::plist::identical(d->at(key), value))
                    << d->at(key).description();
            }
        }
        // And the tweak reads the file the pane wrote.
        LoadPrefs();
        EXPECT_FALSE(Orvella_IsOn);
        EXPECT_EQ(Orvella_LockedStateIndex, 2);
        objc::objc_release(host);
        host = nullptr;
    }
    EXPECT_EQ(settingsPosts, 2);
}

// A FIFO at the settings path held the Settings application for good; a settings file linked
// out of the device root was read and written there.
TEST_F(Pane, ASettingsPathThatIsNoFileOrLeadsOutOfTheRootNeverReachesOutside) {
    std::filesystem::create_directories(std::filesystem::path(file()).parent_path());
    {
        testing_support::WatchedFifo fifo(file());
        ASSERT_TRUE(fifo.made());
        open();
        EXPECT_FALSE(screen->preferences.has_value()) << "there, but unreadable";
        platform::setSwitchByUser(screen->IsOn, false);
        EXPECT_TRUE(std::filesystem::is_fifo(file())) << "left alone";
        objc::objc_release(host);
    }

    testing_support::ScratchDir outside;
    const std::string theirs =
        platform::plist::toXml(Value(Dictionary{{"WaveProtocolLocked", Value(2)}}));
    testing_support::writeFile(outside.file("theirs.plist"), theirs);
    std::filesystem::remove(file());
    std::filesystem::create_symlink(outside.file("theirs.plist"), file());
    open();
    ASSERT_TRUE(screen->preferences.has_value()) << "no file inside the root: a fresh start";
    EXPECT_EQ(title(screen->btn4), "(tap here)");
    platform::setSwitchByUser(screen->IsOn, false);
    EXPECT_EQ(testing_support::readFile(outside.file("theirs.plist")), theirs);
    EXPECT_FALSE(std::filesystem::is_symlink(file()));
    EXPECT_EQ(stored()->at("IsOn"), Value(false));
}
