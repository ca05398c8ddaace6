// A SpringBoard process in virtual time for whole-call tests: the device model is the phone,
// the run loop is advanced explicitly, and what the tweak does is observed through the
// platform only (notifications posted, sensors switched, log lines).
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ExternalFunctions.h"
#include "Orvella.h"
#include "Telephony.h"
#include "platform/devices/hardware.h"
#include "platform/files/device_root.h"
#include "platform/loop/runloop.h"
#include "platform/notify/notifications.h"
#include "platform/testing.h"
#include "platform/values/plist.h"
#include "test_support.h"

namespace testing_support {

struct Posted {
    std::string name;
    double at;  // seconds since the fixture started
};

class PhoneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::resetProcessState();
        ASSERT_TRUE(platform::device::setRoot(root.path()));
        platform::bundle::setMainBundleIdentifier("com.apple.springboard");
        start = platform::useVirtualClock().now();
        platform::registerDeviceClasses();
        platform::registerSpringBoardServiceClasses();
        posted().clear();
        watchDistributed();
    }

    // What the initialisation routine does in SpringBoard, without the call-screen hooks.
    void startTweak() {
        LoadPrefs();
        tel = Telephony::create();
        objc::msgSend(tel, SEL_("Initiate"));
        platform::CFNotificationCenterAddObserver(
            platform::CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
            &preferencesChangedCallback, "com.brelkin.Orvella.settingschanged", nullptr, 3);
    }

    static platform::DeviceModel& model() { return platform::DeviceModel::shared(); }

    std::string settingsPath() const {
        return platform::device::resolve(
            "/var/mobile/Library/Preferences/com.brelkin.Orvella.plist");
    }
    void writeSettings(const platform::Dictionary& d) {
        std::filesystem::create_directories(std::filesystem::path(settingsPath()).parent_path());
        ASSERT_TRUE(platform::plist::writeXmlAtomically(platform::Value(d), settingsPath()));
    }
    // Writes the file and announces it, as the settings pane does.
    void changeSettings(const platform::Dictionary& d) {
        writeSettings(d);
        platform::CFNotificationCenterPostNotification(
            platform::CFNotificationCenterGetDarwinNotifyCenter(),
            "com.brelkin.Orvella.settingschanged", nullptr, nullptr, true);
        settle();
    }

    double now() const { return platform::processClock().now() - start; }
    void settle() { platform::RunLoop::main().runDue(); }
    void pass(double seconds) { platform::RunLoop::main().advance(seconds); }

    void ring(bool locked) {
        model().setLocked(locked);
        model().setCallStatus(platform::kCTCallStatusIncoming);
        settle();
    }
    void callStatus(int32_t status) {
        model().setCallStatus(status);
        settle();
    }

    bool proximityOn() const {
        return platform::UIDevice::currentDevice()->proximityMonitoringEnabled;
    }
    bool accelerometerOn() const {
        return tel != nullptr && objc::msgSend<bool>(tel->_SBSAccelerometerInstance,
                                                     SEL_("accelerometerEventsEnabled"));
    }

    // Screen up until the sensor is armed; returns the seconds it took.
    double layFaceUp(double limit = 20) {
        model().setPose(0.02f, -0.05f, -0.99f);
        const double from = now();
        while (!proximityOn() && now() - from < limit) pass(0.1);
        return now() - from;
    }
    void turnUpsideDown() { model().setPose(0.0f, 0.1f, 0.98f); }

    void cover() {
        model().setProximityCovered(true);
        settle();
    }
    void uncover() {
        model().setProximityCovered(false);
        settle();
    }
    // One wave: covered for coverFor seconds, then a pause of gapAfter before the next thing.
    void wave(double coverFor = 0.2, double gapAfter = 0.2) {
        cover();
        pass(coverFor);
        uncover();
        pass(gapAfter);
    }

    static std::vector<Posted>& posted() {
        static std::vector<Posted> p;
        return p;
    }
    int count(const std::string& name) const {
        int n = 0;
        for (const auto& p : posted()) n += p.name == name;
        return n;
    }
    std::optional<double> firstTime(const std::string& name) const {
        for (const auto& p : posted())
            if (p.name == name) return p.at;
        return std::nullopt;
    }
    bool answered() const { return count("com.brelkin.dev.slideopen") > 0; }

    ScratchDir root;
    double start = 0;
    objc::AutoreleasePool pool;

  private:
    void watchDistributed() {
        static objc::Class cls = [] {
            objc::Class k =
                objc::registerCxxClass<objc::NSObject>("PostedRecorder", objc::NSObject::cls());
            objc::class_addMethod(
                k, SEL_("note:"),
                +[](objc::id, objc::SEL, objc::id note) {
                    posted().push_back({static_cast<platform::NSNotification*>(note)->name(), 0});
                    posted().back().at = platform::processClock().now() - startOf();
                },
                "v@:");
            return k;
        }();
        startOf() = start;
        static objc::id recorder = objc::allocInit(cls);
        for (const char* n : {"com.brelkin.dev.slideopen", "com.brelkin.dev.removeActiveLabels",
                              "com.brelkin.dev.turnonspeaker"}) {
            platform::distributedRemoveObserver(recorder, n);
            platform::distributedAddObserver(recorder, SEL_("note:"), n);
        }
    }
    static double& startOf() {
        static double s = 0;
        return s;
    }
};

}  // namespace testing_support
