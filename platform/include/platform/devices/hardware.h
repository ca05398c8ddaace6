// The phone's hardware as the deliverables see it: a device model (pose, proximity sensor,
// audio outputs, lock state, the modem's call state, screen size) and the classes that read
// it: SBSAccelerometer, UIDevice, SBLockScreenManager, AVAudioSession and UIScreen.
//
// Tests set the model directly; the simulator feeds it from the bus. Changes that the phone
// reports as notifications reach this process's telephony centre:
//   call status        -> "kCTCallStatusChangeNotification" {"kCTCallStatus": number}
//   lock button        -> "SBLockButtonPressedNotification"
//   proximity change   -> "SBProximityDidChangeNotification" {"kSBNotificationKeyState": 1|0},
//                         only while proximity monitoring is on.
//
// SBSAccelerometer delivers the current pose to its delegate once per update interval while
// events are enabled, the first sample one interval after enabling. The thresholds are stored
// but do not filter samples. The delegate is not retained, as with every platform delegate.
//
// Geometry (geometry.h), NSArray (array.h) and the signal call (signals.h) come with this
// header, which once held them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/geometry.h"
#include "platform/core/runtime.h"
#include "platform/core/signals.h"
#include "platform/loop/array.h"
#include "platform/loop/foundation.h"

namespace platform {

// Audio port types.
inline constexpr const char* AVAudioSessionPortHeadphones = "Headphones";
inline constexpr const char* AVAudioSessionPortBluetoothHFP = "BluetoothHFP";
inline constexpr const char* AVAudioSessionPortBluetoothA2DP = "BluetoothA2DPOutput";
inline constexpr const char* AVAudioSessionPortBuiltInSpeaker = "Speaker";
inline constexpr const char* AVAudioSessionPortBuiltInReceiver = "Receiver";
inline constexpr const char* AVAudioSessionPortLineOut = "LineOut";

// Call states as the modem reports them.
enum CTCallStatus : int32_t {
    kCTCallStatusActive = 1,
    kCTCallStatusHeld = 2,
    kCTCallStatusOutgoing = 3,
    kCTCallStatusIncoming = 4,
    kCTCallStatusEnded = 5,
};

struct Pose {
    float x = 0, y = 0, z = 0;  // in g; z < 0 when the screen faces up
};

class DeviceModel {
  public:
    static DeviceModel& shared();

    Pose pose() const { return pose_; }
    void setPose(float x, float y, float z) { pose_ = {x, y, z}; }
    // Where the accelerometer takes each sample when the pose is measured rather than set (a
    // real sensor, read only while events are enabled). No value: the sensor gave no reading,
    // and that sample is skipped.
    void setPoseSource(std::function<std::optional<Pose>()> source) {
        poseSource_ = std::move(source);
    }
    std::optional<Pose> samplePose() const { return poseSource_ ? poseSource_() : pose_; }

    bool proximityCovered() const { return covered_; }
    // A change posts the proximity notification while monitoring is on.
    void setProximityCovered(bool covered);

    // Connected external outputs, in connection order (Headphones, BluetoothHFP, ...).
    const std::vector<std::string>& externalOutputs() const { return external_; }
    void setExternalOutputs(std::vector<std::string> ports) { external_ = std::move(ports); }
    // The speaker chosen for the call (the in-call speaker button toggles it).
    bool speakerSelected() const { return speaker_; }
    void setSpeakerSelected(bool on) { speaker_ = on; }
    // The outputs of the current route: the speaker when chosen, else the connected outputs,
    // else the receiver.
    std::vector<std::string> routeOutputs() const;

    bool locked() const { return locked_; }
    void setLocked(bool locked) { locked_ = locked; }
    // Locks the phone and posts the lock-button notification.
    void pressLockButton();

    int32_t callStatus() const { return callStatus_; }
    // Records the status and posts it (on the alternate channel when asked).
    void setCallStatus(int32_t status, bool alternate = false);

    // The main screen in points: 320 wide, 568 high unless set otherwise (480 for the older
    // phone).
    double screenWidth() const { return screenWidth_; }
    double screenHeight() const { return screenHeight_; }
    void setScreenHeight(double h) { screenHeight_ = h; }
    CGRect screenBounds() const { return CGRectMake(0, 0, screenWidth_, screenHeight_); }
    bool hasMainScreen() const { return hasScreen_; }
    void setHasMainScreen(bool has) { hasScreen_ = has; }

    // What the call screen asks of the phone. By default they act on this model at once (a
    // ringing call becomes active; the speaker is chosen or not); a host on the bus forwards
    // them to the simulator instead, which answers with the new state.
    void requestAnswer();
    void requestSpeaker(bool on);
    void setAnswerHandler(std::function<void()> handler) { answerHandler_ = std::move(handler); }
    void setSpeakerHandler(std::function<void(bool)> handler) {
        speakerHandler_ = std::move(handler);
    }
    // Told each time proximity monitoring actually turns on or off (a real sensor is claimed
    // only while someone listens).
    void setProximityMonitoringHandler(std::function<void(bool)> handler) {
        proximityMonitoringHandler_ = std::move(handler);
    }
    void proximityMonitoringChanged(bool on) const {
        if (proximityMonitoringHandler_) proximityMonitoringHandler_(on);
    }

    // Back to a phone lying idle: unlocked, no call, nothing covering the sensor.
    void reset();

  private:
    Pose pose_{0, 0, -1};
    bool covered_ = false;
    std::vector<std::string> external_;
    bool speaker_ = false;
    bool locked_ = false;
    int32_t callStatus_ = 0;
    double screenWidth_ = 320;
    double screenHeight_ = 568;
    bool hasScreen_ = true;
    std::function<void()> answerHandler_;
    std::function<void(bool)> speakerHandler_;
    std::function<std::optional<Pose>()> poseSource_;
    std::function<void(bool)> proximityMonitoringHandler_;
};

// Posts on this process's telephony centre (asynchronously, on the main run loop).
void postTelephonyNotification(const std::string& name, const Dictionary& userInfo);

// The classes (runtime messages in brackets):
//   SBSAccelerometer  [alloc init setAccelerometerEventsEnabled: setUpdateInterval:
//                      setXThreshold: setYThreshold: setZThreshold:
//                      setOrientationEventsEnabled: setDelegate: accelerometerEventsEnabled
//                      updateInterval delegate]
//     delegate gets accelerometer:didAccelerateWithTimeStamp:x:y:z:eventType:
//                   (id, double, float, float, float, int32_t)
//   UIDevice          [+currentDevice setProximityMonitoringEnabled: proximityMonitoringEnabled
//                      proximityState]
//   SBLockScreenManager [+sharedInstance isUILocked]
//   AVAudioSession    [+sharedInstance currentRoute] -> AVAudioSessionRouteDescription [outputs]
//                      -> NSArray of AVAudioSessionPortDescription [portType portName]
//   UIScreen          [+mainScreen bounds] (nil when the phone has no main screen)
class SBSAccelerometer : public objc::NSObject {
  public:
    static objc::Class cls();
    bool eventsEnabled = false;
    double updateInterval = 0.1;
    float xThreshold = 0, yThreshold = 0, zThreshold = 0;
    bool orientationEventsEnabled = false;
    objc::id delegate = nullptr;  // not retained
    RunLoop::TaskId sampling = 0;
    ~SBSAccelerometer() override;
};

class UIDevice : public objc::NSObject {
  public:
    static objc::Class cls();
    static UIDevice* currentDevice();
    bool proximityMonitoringEnabled = false;
};

// Registers the SpringBoard-only classes (SBSAccelerometer, SBLockScreenManager); other
// processes do not have them, so NSClassFromString finds nothing there.
void registerSpringBoardServiceClasses();
// Registers the classes every process has (UIDevice, AVAudioSession, UIScreen, ...).
void registerDeviceClasses();

}  // namespace platform
