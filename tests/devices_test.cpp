// The device model and the classes that read it: accelerometer, proximity, lock state, audio
// route, screen, signals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/devices/hardware.h"
#include "platform/loop/runloop.h"
#include "platform/notify/notifications.h"
#include "platform/testing.h"

using namespace platform;
using objc::id;
using objc::msgSend;
using objc::SEL;

namespace {

struct Sample {
    double at;
    float x, y, z;
};
std::vector<Sample> samples;
std::vector<std::string> notes;
bool switchOffInDelegate = false;
double t0 = 0;

class Delegate : public objc::NSObject {
  public:
    static objc::Class cls() {
        static objc::Class c = [] {
            objc::Class k =
                objc::registerCxxClass<Delegate>("AccelDelegate", objc::NSObject::cls());
            objc::addMethod(
                k, SEL_("accelerometer:didAccelerateWithTimeStamp:x:y:z:eventType:"),
                +[](id, SEL, id accelerometer, double, float x, float y, float z, int32_t) {
                    samples.push_back({processClock().now() - t0, x, y, z});
                    if (switchOffInDelegate) {
                        msgSend(accelerometer, SEL_("setAccelerometerEventsEnabled:"), false);
                    }
                });
            return k;
        }();
        return c;
    }
};

void record(CFNotificationCenterRef, void*, const std::string& name, const void*,
            const Dictionary* info) {
    std::string e = name;
    if (info != nullptr) {
        if (auto it = info->find("kSBNotificationKeyState"); it != info->end())
            e += "=" + it->second.description();
    }
    notes.push_back(e);
}

class Devices : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProcessState();
        t0 = useVirtualClock().now();
        samples.clear();
        notes.clear();
        switchOffInDelegate = false;
        registerDeviceClasses();
        registerSpringBoardServiceClasses();
        CTTelephonyCenterAddObserver(CTTelephonyCenterGetDefault(), nullptr, &record, nullptr,
                                     nullptr, 3);
    }
    objc::AutoreleasePool pool;
};

id newAccelerometer(id delegate, double interval) {
    id a = objc::allocInit(objc::NSClassFromString("SBSAccelerometer"));
    msgSend(a, SEL_("setUpdateInterval:"), interval);
    msgSend(a, SEL_("setXThreshold:"), 0.1f);
    msgSend(a, SEL_("setDelegate:"), delegate);
    return a;
}

}  // namespace

TEST_F(Devices, AccelerometerSamplesTheCurrentPoseAtItsIntervalOnlyWhileEnabled) {
    id delegate = objc::allocInit(Delegate::cls());
    id accel = newAccelerometer(delegate, 0.8);
    RunLoop::main().advance(5);
    EXPECT_TRUE(samples.empty()) << "events start disabled";
    DeviceModel::shared().setPose(0.1f, 0.2f, -0.98f);
    msgSend(accel, SEL_("setAccelerometerEventsEnabled:"), true);
    RunLoop::main().advance(1.7);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_NEAR(samples[0].at, 5.8, 1e-6);
    EXPECT_NEAR(samples[1].at, 6.6, 1e-6);
    EXPECT_FLOAT_EQ(samples[1].z, -0.98f);
    DeviceModel::shared().setPose(0, 0, 0.9f);
    RunLoop::main().advance(0.8);
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_FLOAT_EQ(samples[2].z, 0.9f) << "each sample reads the pose of that moment";
    msgSend(accel, SEL_("setAccelerometerEventsEnabled:"), false);
    RunLoop::main().advance(10);
    EXPECT_EQ(samples.size(), 3u) << "nothing after switching off";
    objc::objc_release(accel);
    objc::objc_release(delegate);
}

TEST_F(Devices, SamplesStopTheMomentTheDelegateSwitchesEventsOff) {
    id delegate = objc::allocInit(Delegate::cls());
    id accel = newAccelerometer(delegate, 0.5);
    switchOffInDelegate = true;
    msgSend(accel, SEL_("setAccelerometerEventsEnabled:"), true);
    RunLoop::main().advance(3);
    EXPECT_EQ(samples.size(), 1u);
    EXPECT_EQ(RunLoop::main().pendingCount(), 0u);
    objc::objc_release(accel);
    // A freed accelerometer stops sampling even if nobody switched it off.
    switchOffInDelegate = false;
    id again = newAccelerometer(delegate, 0.5);
    msgSend(again, SEL_("setAccelerometerEventsEnabled:"), true);
    objc::objc_release(again);
    RunLoop::main().advance(3);
    EXPECT_EQ(samples.size(), 1u);
    objc::objc_release(delegate);
}

TEST_F(Devices, ProximityChangesReachTelephonyOnlyWhileMonitoringIsOn) {
    id device = msgSend<id>(objc::NSClassFromString("UIDevice"), SEL_("currentDevice"));
    DeviceModel::shared().setProximityCovered(true);
    DeviceModel::shared().setProximityCovered(false);
    RunLoop::main().runDue();
    EXPECT_TRUE(notes.empty());
    msgSend(device, SEL_("setProximityMonitoringEnabled:"), true);
    EXPECT_TRUE(msgSend<bool>(device, SEL_("proximityMonitoringEnabled")));
    DeviceModel::shared().setProximityCovered(true);
    DeviceModel::shared().setProximityCovered(true);  // no change, no notification
    EXPECT_TRUE(msgSend<bool>(device, SEL_("proximityState")));
    DeviceModel::shared().setProximityCovered(false);
    msgSend(device, SEL_("setProximityMonitoringEnabled:"), false);
    DeviceModel::shared().setProximityCovered(true);
    RunLoop::main().runDue();
    EXPECT_EQ(notes, (std::vector<std::string>{"SBProximityDidChangeNotification=1",
                                               "SBProximityDidChangeNotification=0"}));
}

TEST_F(Devices, LockScreenManagerReportsTheLockStateAndIsAbsentElsewhere) {
    id manager =
        msgSend<id>(objc::NSClassFromString("SBLockScreenManager"), SEL_("sharedInstance"));
    ASSERT_NE(manager, nullptr);
    EXPECT_FALSE(msgSend<bool>(manager, SEL_("isUILocked")));
    DeviceModel::shared().setLocked(true);
    EXPECT_TRUE(msgSend<bool>(manager, SEL_("isUILocked")));
    EXPECT_FALSE(msgSend<bool>(
        msgSend<id>(objc::NSClassFromString("SBNoSuchManager"), SEL_("sharedInstance")),
        SEL_("isUILocked")))
        << "an absent class answers like an unlocked phone";
}

namespace {
std::vector<std::string> currentPortTypes() {
    id session = msgSend<id>(objc::NSClassFromString("AVAudioSession"), SEL_("sharedInstance"));
    id outputs = msgSend<id>(msgSend<id>(session, SEL_("currentRoute")), SEL_("outputs"));
    std::vector<std::string> types;
    int32_t n = msgSend<int32_t>(outputs, SEL_("count"));
    for (int32_t i = 0; i < n; ++i) {
        types.push_back(msgSend<std::string>(msgSend<id>(outputs, SEL_("objectAtIndex:"), i),
                                             SEL_("portType")));
    }
    return types;
}
}  // namespace

TEST_F(Devices, AudioRouteReportsItsOutputsInOrderWithTheirPortTypes) {
    struct Case {
        std::vector<std::string> connected;
        bool speaker;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{}, false, {"Receiver"}},
        {{AVAudioSessionPortHeadphones}, false, {"Headphones"}},
        {{AVAudioSessionPortBluetoothHFP}, false, {"BluetoothHFP"}},
        {{AVAudioSessionPortHeadphones, AVAudioSessionPortBluetoothHFP},
         false,
         {"Headphones", "BluetoothHFP"}},
        {{AVAudioSessionPortBluetoothHFP, AVAudioSessionPortHeadphones},
         false,
         {"BluetoothHFP", "Headphones"}},
        {{}, true, {"Speaker"}},
        {{AVAudioSessionPortHeadphones}, true, {"Speaker"}},
    };
    for (const auto& c : cases) {
        DeviceModel::shared().setExternalOutputs(c.connected);
        DeviceModel::shared().setSpeakerSelected(c.speaker);
        EXPECT_EQ(currentPortTypes(), c.expected);
    }
    id session = msgSend<id>(objc::NSClassFromString("AVAudioSession"), SEL_("sharedInstance"));
    std::string text =
        objc::describe(msgSend<id>(msgSend<id>(session, SEL_("currentRoute")), SEL_("outputs")));
    EXPECT_NE(text.find("type = Speaker"), std::string::npos) << text;
}

TEST_F(Devices, MainScreenBounds) {
    id screen = msgSend<id>(objc::NSClassFromString("UIScreen"), SEL_("mainScreen"));
    EXPECT_EQ(msgSend<CGRect>(screen, SEL_("bounds")).size.height, 568);
    DeviceModel::shared().setScreenHeight(480);
    EXPECT_EQ(msgSend<CGRect>(screen, SEL_("bounds")).size.height, 480);
    DeviceModel::shared().setHasMainScreen(false);
    id none = msgSend<id>(objc::NSClassFromString("UIScreen"), SEL_("mainScreen"));
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(msgSend<CGRect>(none, SEL_("bounds")).size.height, 0)
        << "no screen reads as height 0";
}

namespace {
volatile sig_atomic_t interrupts = 0;
}

TEST_F(Devices, InterruptHandlerInstallationAndItsReportedFailure) {
    auto handler = +[](int) { interrupts = interrupts + 1; };
    EXPECT_NE(installSignalHandler(SIGINT, handler), SIG_ERR);
    ::raise(SIGINT);
    EXPECT_EQ(interrupts, 1) << "the process goes on";
    failNextSignalInstallation();
    EXPECT_EQ(installSignalHandler(SIGINT, handler), SIG_ERR);
    EXPECT_NE(installSignalHandler(SIGINT, handler), SIG_ERR) << "only the next one fails";
}
