// The library's roles by host process, loaded for real through the injector.
#include "injected_fixture.h"

using platform::HostRole;
using testing_support::InjectedTest;

namespace {

const std::vector<std::string> kInCallRows = {
    "platform: method added: -[InCallController useSpeaker:]",
    "platform: hook installed: -[InCallController init]",
    "platform: hook installed: -[InCallController dealloc]",
    "platform: hook installed: -[InCallController _callStatusChangedNotification:]",
};
const std::vector<std::string> kLockScreenRows = {
    "platform: hook installed: -[SBLockScreenViewController didRotateFromInterfaceOrientation:]",
    "platform: hook installed: -[SBLockScreenViewController "
    "willRotateToInterfaceOrientation:duration:]",
    "platform: hook installed: -[SBLockScreenViewController "
    "willAnimateRotationToInterfaceOrientation:duration:]",
};
const std::vector<std::string> kAnswerBarRows = {
    "platform: method added: -[TPSuperBottomBar slideOpen:]",
    "platform: method added: -[TPSuperBottomBar removeActiveLabels:]",
    "platform: hook installed: -[TPSuperBottomBar init]",
    "platform: hook installed: -[TPSuperBottomBar dealloc]",
    "platform: hook installed: -[TPSuperBottomBar setSlidingButton:]",
    "platform: hook installed: -[TPSuperBottomBar setMainRightButton:]",
    "platform: hook installed: -[TPSuperBottomBar slidingButtonDidFinishSlide]",
};

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Startup : public InjectedTest {
  protected:
    // The hook-table rows installed, in order (platform classes' own registrations left out).
    std::vector<std::string> rows() const {
        std::vector<std::string> out;
        for (const auto& l : traced) {
            for (const char* cls :
                 {"[InCallController ", "[SBLockScreenViewController ", "[TPSuperBottomBar "}) {
                if (l.find(cls) != std::string::npos &&
                    (l.rfind("platform: hook installed", 0) == 0 ||
                     l.rfind("platform: method added", 0) == 0)) {
                    out.push_back(l);
                }
            }
        }
        return out;
    }
    std::string settingsRead() const {
        // The tweak names /User/...; the platform reads it where /User leads, /var/mobile.
        return "platform: file read: " + root.path() +
               "/var/mobile/Library/Preferences/com.brelkin.Orvella.plist";
    }
};

}  // namespace

TEST_F(Startup, InSpringBoardItLoadsSettingsThenSetsUpTheMonitorThenObservesThenHooksEverything) {
    prepare("com.apple.springboard", HostRole::SpringBoard);
    writeSettings(platform::Dictionary{{"WaveProtocolLocked", platform::Value(2)}});
    inject();
    ASSERT_EQ(loaded, std::vector<std::string>{"Orvella.dylib"});
    const long read = indexOf(settingsRead());
    const long monitor = indexOf("platform: observer added: telephony *");
    const long observer =
        indexOf("platform: observer added: darwin com.brelkin.Orvella.settingschanged");
    const long firstHook = indexOf(kInCallRows[0]);
    ASSERT_GE(read, 0);
    EXPECT_LT(read, monitor) << "settings are read before the call monitor exists";
    EXPECT_LT(monitor, observer) << "the monitor is set up before the settings observer";
    EXPECT_LT(observer, firstHook);
    EXPECT_EQ(rows(), concat({kInCallRows, kLockScreenRows, kAnswerBarRows}));
    EXPECT_NE(global<void*>("tel"), nullptr);
    EXPECT_EQ(global<int32_t>("Orvella_LockedStateIndex"), 2);
    EXPECT_FALSE(global<bool>("LOGGER_ON"));
    EXPECT_FALSE(global<bool>("IS_IPHONE_4"));
    EXPECT_EQ(platform::CFNotificationCenterObserverCount(
                  platform::CFNotificationCenterGetDarwinNotifyCenter()),
              1u);
}

TEST_F(Startup, ASmallScreenSetsTheSmallScreenFlagInSpringBoard) {
    prepare("com.apple.springboard", HostRole::SpringBoard, 480);
    inject();
    EXPECT_TRUE(global<bool>("IS_IPHONE_4"));
}

TEST_F(Startup, InThePhoneApplicationOnlyTheInCallControllerIsHooked) {
    prepare("com.apple.mobilephone", HostRole::MobilePhone, 480);
    inject();
    ASSERT_EQ(loaded, std::vector<std::string>{"Orvella.dylib"});
    EXPECT_EQ(rows(), kInCallRows);
    EXPECT_EQ(indexOf(settingsRead()), -1) << "no settings read";
    EXPECT_EQ(global<void*>("tel"), nullptr);
    EXPECT_FALSE(global<bool>("Orvella_IsOn")) << "settings stay at zero";
    EXPECT_FALSE(global<bool>("IS_IPHONE_4")) << "only computed in SpringBoard";
    EXPECT_EQ(platform::CFNotificationCenterObserverCount(
                  platform::CFNotificationCenterGetDarwinNotifyCenter()),
              0u);
}

TEST_F(Startup, AnyOtherProcessIsNotEvenInjected) {
    prepare("com.apple.Preferences", HostRole::Preferences);
    inject();
    EXPECT_TRUE(loaded.empty()) << "the filter names SpringBoard and the phone application only";
    // Loaded by hand anyway, it does nothing.
    handle = ::dlopen(
        platform::device::resolve("/Library/MobileSubstrate/DynamicLibraries/Orvella.dylib")
            .c_str(),
        RTLD_NOW);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(global<void*>("tel"), nullptr);
    EXPECT_EQ(platform::CFNotificationCenterObserverCount(
                  platform::CFNotificationCenterGetDarwinNotifyCenter()),
              0u);
}

TEST_F(Startup, AnAbsentClassLeavesItsRowsOutAndTheRestIn) {
    // A SpringBoard without the lock-screen controller and without SpringBoard services.
    prepare("com.apple.springboard", HostRole::MobilePhone);
    inject();
    EXPECT_EQ(rows(), concat({kInCallRows, kAnswerBarRows}));
    EXPECT_NE(global<void*>("tel"), nullptr) << "the monitor exists, without an accelerometer";
}

TEST_F(Startup, TheInjectorSkipsBadFilterFilesAndNamesThem) {
    prepare("com.apple.springboard", HostRole::SpringBoard);
    const std::string dir = platform::device::resolve("/Library/MobileSubstrate/DynamicLibraries");
    testing_support::writeFile(dir + "/Broken.plist", "<plist><dict><key>Filter</key>");
    testing_support::writeFile(dir + "/NoFilter.plist", "{ Other = 1; }");
    testing_support::writeFile(dir + "/Missing.plist",
                               "{ Filter = { Bundles = ( com.apple.springboard ); }; }");
    testing::internal::CaptureStderr();
    inject();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(loaded, std::vector<std::string>{"Orvella.dylib"});
    EXPECT_NE(err.find(dir + "/Broken.plist: not a readable property list"), std::string::npos)
        << err;
    EXPECT_NE(err.find(dir + "/NoFilter.plist: no Filter > Bundles list"), std::string::npos)
        << err;
    EXPECT_NE(err.find(dir + "/Missing.dylib: cannot load"), std::string::npos) << err;
}
