// One reset for the whole platform, and the records kept for tests that stay small.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/trace.h"
#include "platform/files/device_root.h"
#include "platform/hosts/host_classes.h"
#include "platform/loop/runloop.h"
#include "platform/notify/notifications.h"
#include "platform/testing.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/viewcontroller.h"

using namespace platform;
using objc::id;
using objc::SEL;

namespace {

int alertsFreed = 0;

class CountedAlert : public UIAlertView {
  public:
    ~CountedAlert() override { ++alertsFreed; }
    static objc::Class cls() {
        static objc::Class c =
            objc::registerCxxClass<CountedAlert>("CountedAlert", UIAlertView::cls());
        return c;
    }
};

// Shows a new alert that only the window holds.
CountedAlert* showAlert(const std::string& title) {
    auto alert = objc::adopt(static_cast<CountedAlert*>(objc::allocInit(CountedAlert::cls())));
    alert->title = title;
    alert->buttonTitles = {"OK"};
    objc::msgSend(static_cast<id>(alert.get()), SEL_("show"));
    return alert.get();
}

void ignore(CFNotificationCenterRef, void*, const std::string&, const void*, const Dictionary*) {}

class ProcessState : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProcessState();
        useVirtualClock();
        registerHostClasses(HostRole::SpringBoard);
        registerViewControllerClasses();
        alertsFreed = 0;
    }
    objc::AutoreleasePool pool;
};

}  // namespace

TEST_F(ProcessState, ResetPutsBackEverythingAHostOrATestChanged) {
    CallScreen::shared().install(HostRole::SpringBoard);
    DeviceModel::shared().setCallStatus(kCTCallStatusIncoming);
    RunLoop::main().runDue();
    ASSERT_NE(CallScreen::shared().bar(), nullptr);
    static char token;
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &token, &ignore,
                                    "n", nullptr, CFNotificationSuspensionBehaviorHold);
    auto listener = objc::adopt(objc::allocInit(objc::NSObject::cls()));
    distributedAddObserver(listener, SEL_("description"), "n");
    showAlert("left open");
    objc::msgSend<bool>(
        objc::msgSend<id>(UIApplication::cls(), SEL_("sharedApplication")), SEL_("openURL:"),
        objc::msgSend<id>(NSURL::cls(), SEL_("URLWithString:"), std::string("a:b")));
    animateWithDuration(0.5, 0, 0, {}, {});
    RunLoop::main().schedule(10, [] {});
    setTraceSink([](const std::string&) {});
    bundle::setMainBundleIdentifier("com.apple.springboard");
    locale::setPreferredLanguages({"nl"});
    device::setWorkingDirectory("/var");
    UIDevice::currentDevice()->proximityMonitoringEnabled = true;
    failNextSignalInstallation();

    resetProcessState();

    EXPECT_EQ(CallScreen::shared().bar(), nullptr);
    EXPECT_EQ(CallScreen::shared().lockScreen(), nullptr);
    for (CFNotificationCenterRef c :
         {CFNotificationCenterGetDarwinNotifyCenter(), CTTelephonyCenterGetDefault()})
        EXPECT_EQ(CFNotificationCenterObserverCount(c), 0u);
    EXPECT_EQ(distributedObserverCount(), 0u);
    EXPECT_TRUE(visibleAlerts().empty());
    EXPECT_EQ(alertsFreed, 1) << "the window's alert is released, not leaked";
    EXPECT_TRUE(openedURLs().empty());
    EXPECT_TRUE(animationLog().empty());
    EXPECT_EQ(RunLoop::main().pendingCount(), 0u);
    EXPECT_NE(dynamic_cast<RealClock*>(&processClock()), nullptr) << "a real clock again";
    EXPECT_FALSE(tracing());
    EXPECT_EQ(bundle::mainBundleIdentifier(), "");
    EXPECT_EQ(locale::preferredLanguages(), std::vector<std::string>{"en"});
    EXPECT_EQ(device::workingDirectory(), "/");
    EXPECT_FALSE(UIDevice::currentDevice()->proximityMonitoringEnabled);
    EXPECT_EQ(DeviceModel::shared().callStatus(), 0);
    EXPECT_NE(installSignalHandler(SIGUSR1, SIG_DFL), SIG_ERR) << "the seam is disarmed";

    // The call screen installs afresh: one observer, and it shows the next ringing call.
    useVirtualClock();
    CallScreen::shared().install(HostRole::SpringBoard);
    EXPECT_EQ(CFNotificationCenterObserverCount(CTTelephonyCenterGetDefault()), 1u);
    DeviceModel::shared().setCallStatus(kCTCallStatusIncoming);
    RunLoop::main().runDue();
    EXPECT_NE(CallScreen::shared().bar(), nullptr);
}

TEST_F(ProcessState, RecordsAndTheWindowKeepOnlyTheMostRecent) {
    id app = objc::msgSend<id>(UIApplication::cls(), SEL_("sharedApplication"));
    const size_t extra = 6;
    for (size_t i = 0; i < kRecentRecords + extra; ++i) {
        objc::msgSend<bool>(
            app, SEL_("openURL:"),
            objc::msgSend<id>(NSURL::cls(), SEL_("URLWithString:"), "u:" + std::to_string(i)));
        animateWithDuration(static_cast<double>(i), 0, 0, {}, {});
        showAlert(std::to_string(i));
    }
    ASSERT_EQ(openedURLs().size(), kRecentRecords);
    EXPECT_EQ(openedURLs().front(), "u:" + std::to_string(extra));
    EXPECT_EQ(openedURLs().back(), "u:" + std::to_string(kRecentRecords + extra - 1));
    ASSERT_EQ(animationLog().size(), kRecentRecords);
    EXPECT_EQ(animationLog().front().duration, static_cast<double>(extra));
    auto shown = visibleAlerts();
    ASSERT_EQ(shown.size(), kRecentRecords);
    EXPECT_EQ(shown.front()->title, std::to_string(extra));
    EXPECT_EQ(alertsFreed, static_cast<int>(extra)) << "the oldest alerts were let go";
    tapAlertButton(0);
    EXPECT_EQ(visibleAlerts().front()->title, std::to_string(extra + 1));
}
