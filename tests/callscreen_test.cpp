// The call-screen hooks in a SpringBoard with the real library injected: the answer bar's logo
// and hint, its answering on the slide-open notification, the in-call speaker, the lock
// screen's rotation logs, and one whole call.
#include "injected_fixture.h"

using objc::id;
using objc::msgSend;
using platform::CGRect;
using platform::HostRole;
using platform::TPSuperBottomBar;
using platform::UIView;

namespace {

class CallScreenHooks : public testing_support::InjectedTest {
  protected:
    void boot(double screenHeight = 568, const platform::Dictionary& settings = {}) {
        prepare("com.apple.springboard", HostRole::SpringBoard, screenHeight);
        if (!settings.empty()) writeSettings(settings);
        inject();
        ASSERT_EQ(loaded.size(), 1u);
    }
    TPSuperBottomBar* newBar() {
        return static_cast<TPSuperBottomBar*>(objc::allocInit(TPSuperBottomBar::cls()));
    }
    static UIView* tagged(id bar, int64_t tag) {
        return static_cast<UIView*>(msgSend<id>(bar, SEL_("viewWithTag:"), tag));
    }
    static size_t observers() { return platform::distributedObserverCount(); }
    void post(const char* name) {
        platform::distributedPost(name);
        settle();
    }
};

}  // namespace

TEST_F(CallScreenHooks, NewBarShowsLogoAndHintAboveItsTopEdge) {
    boot(568, platform::Dictionary{{"WaveProtocolUnlocked", platform::Value(1)}});
    TPSuperBottomBar* bar = newBar();
    UIView* logo = tagged(bar, 101);
    auto* hint = static_cast<platform::UILabel*>(tagged(bar, 103));
    ASSERT_NE(logo, nullptr);
    ASSERT_NE(hint, nullptr);
    EXPECT_EQ(logo->frame, platform::CGRectMake(7, -235, 100, 32))
        << "a 200-pixel @2x logo is 100 points wide";
    EXPECT_EQ(hint->frame, platform::CGRectMake(107, -212, 150, 23));
    EXPECT_EQ(hint->text, "Wave twice to answer")
        << "no call monitor lock state yet: the unlocked setting";
    auto* font = static_cast<platform::UIFont*>(hint->font);
    EXPECT_EQ(font->name, "HelveticaNeue-Thin");
    EXPECT_EQ(font->pointSize, 16);
    EXPECT_EQ(static_cast<platform::UIColor*>(hint->textColor)->white, 1);
    EXPECT_FALSE(bar->clipsToBounds) << "so the views above the bar are drawn";
    EXPECT_EQ(logo->superview, bar);
    EXPECT_EQ(hint->superview, bar);
    EXPECT_EQ(observers(), 2u);
    objc::objc_release(bar);
    EXPECT_EQ(observers(), 0u) << "a released bar removes both registrations";
}

TEST_F(CallScreenHooks, SmallScreenAndMissingLogoGeometry) {
    boot(480);
    std::filesystem::remove(
        platform::device::resolve("/Library/Application Support/Orvella/orvellaLogo@2x.png"));
    TPSuperBottomBar* bar = newBar();
    EXPECT_EQ(tagged(bar, 101)->frame, platform::CGRectMake(7, -155, 0, 0))
        << "no image: zero size";
    EXPECT_EQ(tagged(bar, 103)->frame, platform::CGRectMake(7, -132, 150, 23));
    objc::objc_release(bar);
    // A file that is no PNG at all behaves like a missing one.
    testing_support::writeFile(
        platform::device::resolve("/Library/Application Support/Orvella/orvellaLogo@2x.png"),
        "not an image");
    bar = newBar();
    EXPECT_EQ(tagged(bar, 103)->frame.origin.x, 7);
    objc::objc_release(bar);
}

TEST_F(CallScreenHooks, SlideOpenOpensEveryBarOnceAndRemovesTheirViews) {
    boot();
    platform::DeviceModel::shared().setCallStatus(platform::kCTCallStatusIncoming);
    TPSuperBottomBar* first = newBar();
    TPSuperBottomBar* second = newBar();
    settle();
    EXPECT_EQ(observers(), 4u);
    post("com.brelkin.dev.slideopen");
    EXPECT_TRUE(first->answered);
    EXPECT_TRUE(second->answered);
    EXPECT_EQ(tagged(first, 101), nullptr);
    EXPECT_EQ(tagged(second, 103), nullptr);
    EXPECT_EQ(observers(), 0u) << "each handler ended its own registration";
    EXPECT_EQ(platform::DeviceModel::shared().callStatus(), platform::kCTCallStatusActive);
    EXPECT_NE(indexOf("answer bar slide finished"), -1);
    first->answered = false;
    post("com.brelkin.dev.slideopen");
    EXPECT_FALSE(first->answered) << "a second slide-open reaches nothing";
    objc::objc_release(first);
    objc::objc_release(second);
}

TEST_F(CallScreenHooks, FingerSlideClearsEveryBarAndALabelsClearedBarStillOpens) {
    boot();
    TPSuperBottomBar* mine = newBar();
    TPSuperBottomBar* other = newBar();
    msgSend(mine, SEL_("slidingButtonDidFinishSlide"));
    settle();
    EXPECT_EQ(tagged(mine, 101), nullptr);
    EXPECT_EQ(tagged(other, 101), nullptr);
    EXPECT_EQ(tagged(other, 103), nullptr);
    EXPECT_EQ(observers(), 2u) << "only the slide-open registrations are left";
    post("com.brelkin.dev.slideopen");
    EXPECT_TRUE(other->answered);
    EXPECT_EQ(observers(), 0u);
    objc::objc_release(mine);
    objc::objc_release(other);
}

TEST_F(CallScreenHooks, SwitchedOffBarGetsNoViewsButStillRegistersAndOpens) {
    boot(568, platform::Dictionary{{"IsOn", platform::Value(false)}});
    TPSuperBottomBar* bar = newBar();
    EXPECT_EQ(tagged(bar, 101), nullptr);
    EXPECT_EQ(tagged(bar, 103), nullptr);
    EXPECT_TRUE(bar->clipsToBounds) << "keeps its clipping";
    EXPECT_EQ(observers(), 2u);
    post("com.brelkin.dev.slideopen");
    EXPECT_TRUE(bar->answered);
    objc::objc_release(bar);
}

TEST_F(CallScreenHooks, LabelRemovalWhileSwitchedOffKeepsTheViewsButEndsTheRegistration) {
    boot();
    TPSuperBottomBar* bar = newBar();
    global<bool>("Orvella_IsOn") = false;
    post("com.brelkin.dev.removeActiveLabels");
    EXPECT_NE(tagged(bar, 101), nullptr);
    EXPECT_EQ(observers(), 1u);
    global<bool>("Orvella_IsOn") = true;
    post("com.brelkin.dev.removeActiveLabels");
    EXPECT_NE(tagged(bar, 101), nullptr) << "later notifications no longer reach the bar";
    objc::objc_release(bar);
}

TEST_F(CallScreenHooks, SlideOpenWithNoBarAnswersNothingAndIsNotKept) {
    boot();
    platform::DeviceModel::shared().setCallStatus(platform::kCTCallStatusIncoming);
    post("com.brelkin.dev.slideopen");
    TPSuperBottomBar* late = newBar();
    settle();
    EXPECT_FALSE(late->answered);
    EXPECT_EQ(platform::DeviceModel::shared().callStatus(), platform::kCTCallStatusIncoming);
    objc::objc_release(late);
}

TEST_F(CallScreenHooks, InCallControllersTapTheSpeakerOnEverySpeakerNotification) {
    boot();
    global<bool>("LOGGER_ON") = true;
    testing_support::LogCapture log;
    post("com.brelkin.dev.turnonspeaker");
    auto* controller = static_cast<platform::InCallController*>(
        objc::allocInit(platform::InCallController::cls()));
    settle();
    EXPECT_TRUE(controller->clicks.empty()) << "created after the notification: no reaction";
    post("com.brelkin.dev.turnonspeaker");
    EXPECT_EQ(controller->clicks,
              std::vector<int32_t>{platform::InCallController::kSpeakerPosition});
    EXPECT_TRUE(platform::DeviceModel::shared().speakerSelected());
    post("com.brelkin.dev.turnonspeaker");
    EXPECT_EQ(controller->clicks.size(), 2u);
    EXPECT_FALSE(platform::DeviceModel::shared().speakerSelected())
        << "each press is a tap: it toggles";
    EXPECT_TRUE(log.contains("\r\n *****InCallController INIT *****\r\n"));
    EXPECT_TRUE(log.contains(
        "***** InCallController useSpeaker self: " + objc::describe(controller) + " *****"));
    objc::objc_release(controller);
    EXPECT_TRUE(log.contains("\r\n *****InCallController DEALLOC *****\r\n"));
    EXPECT_EQ(observers(), 0u) << "a released controller no longer receives it";
}

TEST_F(CallScreenHooks, LockScreenRotationsLogAndPassTheSameValuesOn) {
    boot();
    platform::CallScreen::shared().install(HostRole::SpringBoard);
    auto* lock = platform::CallScreen::shared().lockScreen();
    global<bool>("LOGGER_ON") = true;
    testing_support::LogCapture log;
    msgSend(static_cast<id>(lock), SEL_("willRotateToInterfaceOrientation:duration:"),
            int64_t{platform::UIInterfaceOrientationLandscapeLeft}, 0.4);
    EXPECT_EQ(lock->lastCall, "willRotateToInterfaceOrientation:duration:");
    EXPECT_EQ(lock->lastOrientation, 4);
    EXPECT_EQ(lock->lastDuration, 0.4);
    msgSend(static_cast<id>(lock), SEL_("willAnimateRotationToInterfaceOrientation:duration:"),
            int64_t{3}, 0.25);
    EXPECT_EQ(lock->lastDuration, 0.25);
    msgSend(static_cast<id>(lock), SEL_("didRotateFromInterfaceOrientation:"), int64_t{1});
    EXPECT_EQ(lock->lastOrientation, 1);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "\r\n ***** SBLockScreenViewController ** "
                  "_willRotateToInterfaceOrientation_duration - orientation: 4  *****\r\n",
                  "\r\n ***** "
                  "_willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController "
                  "- orientation: 3  *****\r\n",
                  "\r\n ***** SBLockScreenViewController ** _didRotateFromInterfaceOrientation - "
                  "orientation: 1  *****\r\n"}));
    global<bool>("LOGGER_ON") = false;
    log.clear();
    platform::CallScreen::shared().rotateLockScreen(4, 1, 0.3);
    EXPECT_TRUE(log.lines().empty()) << "with logging off they behave exactly as the platform's";
    EXPECT_EQ(lock->lastCall, "didRotateFromInterfaceOrientation:");
}

TEST_F(CallScreenHooks, AWholeCallAnsweredByTwoWavesThenTheSpeaker) {
    boot();
    auto& model = platform::DeviceModel::shared();
    platform::CallScreen::shared().install(HostRole::SpringBoard);
    model.setLocked(true);
    model.setPose(0, 0, 0.9f);  // face down while it starts ringing
    model.setCallStatus(platform::kCTCallStatusIncoming);
    settle();
    TPSuperBottomBar* bar = platform::CallScreen::shared().bar();
    ASSERT_NE(bar, nullptr) << "the incoming-call screen is up";
    auto* hint = static_cast<platform::UILabel*>(tagged(bar, 103));
    ASSERT_NE(hint, nullptr);
    EXPECT_EQ(hint->text, "Wave twice to answer") << "locked phone, no settings file: two waves";
    EXPECT_NE(tagged(bar, 101), nullptr);

    model.setPose(0.01f, -0.02f, -0.99f);  // laid screen-up
    auto* device = platform::UIDevice::currentDevice();
    for (int i = 0; i < 100 && !device->proximityMonitoringEnabled; ++i) pass(0.1);
    ASSERT_TRUE(device->proximityMonitoringEnabled);
    for (int wave = 0; wave < 2; ++wave) {
        model.setProximityCovered(true);
        settle();
        pass(0.25);
        model.setProximityCovered(false);
        settle();
        pass(0.25);
    }
    const double answeredAt = platform::processClock().now() - start;
    EXPECT_NE(indexOf("call answered by the answer bar (button)"), -1);
    EXPECT_EQ(model.callStatus(), platform::kCTCallStatusActive);
    EXPECT_EQ(platform::CallScreen::shared().bar(), nullptr) << "torn down once the call is active";
    EXPECT_FALSE(device->proximityMonitoringEnabled);
    EXPECT_FALSE(
        msgSend<bool>(static_cast<id>(global<objc::Object*>("tel")), SEL_("proximityMeterIsOn")));
    auto* controller = platform::CallScreen::shared().inCallController();
    ASSERT_NE(controller, nullptr);
    EXPECT_FALSE(model.speakerSelected());
    pass(2.0 - (platform::processClock().now() - start - answeredAt) - 0.3);
    EXPECT_FALSE(model.speakerSelected()) << "not before two seconds";
    pass(0.3);
    EXPECT_TRUE(model.speakerSelected()) << "two seconds after the answer the speaker is on";
    EXPECT_EQ(controller->clicks,
              std::vector<int32_t>{platform::InCallController::kSpeakerPosition});
    model.setCallStatus(platform::kCTCallStatusEnded);
    settle();
    settle();
    EXPECT_EQ(platform::CallScreen::shared().inCallController(), nullptr);
    EXPECT_EQ(observers(), 0u);
}
