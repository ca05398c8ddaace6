// The call monitor: the one Telephony object of SpringBoard. It turns telephony notifications
// into the system's events, switches the accelerometer, and runs the orientation gate that
// arms and disarms the proximity sensor from accelerometer samples.
//
// The call monitor and the wave recognizer (ExternalFunctions.h) call each other, by design: the
// monitor hands every proximity change to the recognizer and has it switch the sensors off, and
// the recognizer reads and sets the monitor's flag. They are two halves of one state machine
// over that flag, kept in two files as the tweak has always had them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/core/runtime.h"
#include "platform/loop/foundation.h"
#include "platform/notify/notifications.h"

// Wave recognizer states (the call monitor's flag).
enum : int32_t {
    kBEGIN_STATE = -2,
    kACCELEROMETER_READY_STATE = -1,
    kCALL_ANSWERED = 0,
    kPROXIMITY_READY_STATE = 1,
    kPROXIMITY_COVERED_WAVE_1 = 2,
    kPROXIMITY_UNCOVERED_WAVE_1 = 3,
    kPROXIMITY_COVERED_WAVE_2 = 4,
    kPROXIMITY_UNCOVERED_WAVE_2 = 5,
    kCOVERED_BEFORE_ANSWER_CALL = 6,
};

// Runtime messages of Telephony (all dispatched through the runtime):
//   Initiate, ableAccelerometer: (bool), startProximitySensor: (NSNumber),
//   setOrientationStateBase, nullifyProximitOrientationStateBase,
//   accelerometer:didAccelerateWithTimeStamp:x:y:z:eventType:
//   and the accessors flag/setFlag:, wasLockedOnIncomingCall/setWasLockedOnIncomingCall:,
//   proximityMeterIsOn/setProximityMeterIsOn:, proximityDelayBase/setProximityDelayBase:.
class Telephony : public objc::NSObject {
  public:
    static objc::Class cls();
    // alloc + init through the runtime (+1).
    static Telephony* create();

    // Fields, in declaration order.
    objc::Strong<platform::NSDate> orientationStateBase;
    float orientationStateDelay = 0;
    int32_t phoneOrientationState = 0;
    int32_t positiveCounter = 0;
    int32_t negativeCounter = 0;
    bool wasLockedOnIncomingCall = false;
    bool proximityMeterIsOn = false;
    int32_t flag = 0;
    // Owned, but held as a plain pointer: its accessor stores without retaining, and
    // setBaseTime and nullifyProximityDelayBase take and drop the reference themselves.
    platform::NSDate* proximityDelayBase = nullptr;
    objc::Strong<objc::Object> _SBSAccelerometerInstance;

    ~Telephony() override;
};

// Accessor wrappers (the runtime messages) for code outside the class.
int32_t TelFlag();
void TelSetFlag(int32_t flag);

void telephonyEventCallback(platform::CFNotificationCenterRef center, void* observer,
                            const std::string& name, const void* object,
                            const platform::Dictionary* userInfo);
void signalHandler(int signum);

// Earlier detection system's classifier (process-wide prevX, prevY, prevRetValue).
int32_t getPhoneOrientationState(float x, float y, float z);
extern float prevX;
extern float prevY;
extern int32_t prevRetValue;
