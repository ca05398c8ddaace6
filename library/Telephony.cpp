#include "Telephony.h"

#include <cmath>

#include "ExternalFunctions.h"
#include "Orvella.h"
#include "platform/devices/hardware.h"

using objc::id;
using objc::msgSend;
using objc::SEL;
using platform::NSDate;
using platform::NSNumber;

float prevX = 0;
float prevY = 0;
int32_t prevRetValue = -1;

namespace {

Telephony* self_(id self) { return static_cast<Telephony*>(self); }

// A glitching sensor can report NaN or infinity. Every comparison with NaN is false, so such a
// sample would pass for screen-up and could arm answering on a phone lying face down.
bool finiteSample(float x, float y, float z) {
    return std::isfinite(x) && std::isfinite(y) && std::isfinite(z);
}

// --- accessors ---------------------------------------------------------------------------

int32_t flag_get(id self, SEL) { return self_(self)->flag; }
void flag_set(id self, SEL, int32_t v) { self_(self)->flag = v; }
bool locked_get(id self, SEL) { return self_(self)->wasLockedOnIncomingCall; }
void locked_set(id self, SEL, bool v) { self_(self)->wasLockedOnIncomingCall = v; }
bool meter_get(id self, SEL) { return self_(self)->proximityMeterIsOn; }
void meter_set(id self, SEL, bool v) { self_(self)->proximityMeterIsOn = v; }
id base_get(id self, SEL) { return self_(self)->proximityDelayBase; }
// Stores without retaining: setBaseTime and nullifyProximityDelayBase own the date.
void base_set(id self, SEL, id v) { self_(self)->proximityDelayBase = static_cast<NSDate*>(v); }

// --- set-up and the accelerometer switch -----------------------------------------------------

void Initiate(id self, SEL) {
    Telephony* t = self_(self);
    t->phoneOrientationState = -1;
    t->orientationStateDelay = 0.7f;
    t->flag = kBEGIN_STATE;
    ORVELLA_LOG("\r\n ***** Initiate - Setting up TELEPHONY CALLBACK *****\r\n");
    platform::CTTelephonyCenterAddObserver(platform::CTTelephonyCenterGetDefault(), nullptr,
                                           &telephonyEventCallback, nullptr, nullptr,
                                           platform::CFNotificationSuspensionBehaviorHold);
    if (platform::installSignalHandler(SIGINT, &signalHandler) == SIG_ERR) {
        ORVELLA_LOG("\r\n ***** Could not establish new signal handler *****\r\n");
    } else {
        ORVELLA_LOG("\r\n ***** Starting run loop and watching for notification. *****\r\n");
    }
    t->_SBSAccelerometerInstance =
        objc::adopt(objc::allocInit(objc::NSClassFromString("SBSAccelerometer")));
    id accelerometer = t->_SBSAccelerometerInstance;
    msgSend(accelerometer, SEL_("setAccelerometerEventsEnabled:"), false);
    msgSend(accelerometer, SEL_("setUpdateInterval:"), 0.8);
    msgSend(accelerometer, SEL_("setXThreshold:"), 0.1f);
    msgSend(accelerometer, SEL_("setYThreshold:"), 0.1f);
    msgSend(accelerometer, SEL_("setZThreshold:"), 0.1f);
    msgSend(accelerometer, SEL_("setOrientationEventsEnabled:"), false);
    msgSend(accelerometer, SEL_("setDelegate:"), self);
}

void ableAccelerometer(id self, SEL, bool enable) {
    Telephony* t = self_(self);
    t->positiveCounter = 0;
    t->negativeCounter = 0;
    t->phoneOrientationState = -1;
    msgSend(t->_SBSAccelerometerInstance, SEL_("setAccelerometerEventsEnabled:"), enable);
}

// --- orientation gate ----------------------------------------------------------------------

void startProximitySensor(id self, SEL, id boxed) {
    Telephony* t = self_(self);
    const bool value = msgSend<bool>(boxed, SEL_("boolValue"));
    // An arm that was scheduled just before the call ended must not switch the sensor on
    // after the call: with no call watched there is nothing to arm for.
    if (value && t->flag == kBEGIN_STATE) return;
    if (value == t->proximityMeterIsOn) return;
    t->proximityMeterIsOn = value;
    ORVELLA_LOG("\r\n ***** startProximitySensor: %@ *****\r\n", YesNo(value));
    msgSend(platform::UIDevice::currentDevice(), SEL_("setProximityMonitoringEnabled:"), value);
}

void nullifyProximitOrientationStateBase(id self, SEL) {
    self_(self)->orientationStateBase.reset();
}

void setOrientationStateBase(id self, SEL) {
    msgSend(self, SEL_("nullifyProximitOrientationStateBase"));
    self_(self)->orientationStateBase = objc::adopt(NSDate::newNow());
}

void scheduleArm(id self) {
    platform::performSelectorAfterDelay(self, SEL_("startProximitySensor:"),
                                        NSNumber::numberWithBool(true), 0.5);
}

void scheduleKill(id self) {
    platform::performSelectorAfterDelay(self, SEL_("startProximitySensor:"),
                                        NSNumber::numberWithBool(false), 0.0);
}

void latestDetectionSystem(Telephony* t, float z) {
    const int32_t cls = static_cast<double>(z) > -0.1 ? 3 : 5;
    ORVELLA_LOG("\r\n ***** accelerometer - _tmpOrientationState = %d *****\r\n", cls);
    t->phoneOrientationState = cls;
    if (cls == 5) {
        t->negativeCounter = 0;
        if (++t->positiveCounter > 4) {
            ORVELLA_LOG("\r\n ***** POSITIVE (proximity sensor is ACTIVATED) *****\r\n");
            if (t->flag == kACCELEROMETER_READY_STATE) {
                t->flag = kPROXIMITY_READY_STATE;
                msgSend(t, SEL_("nullifyProximitOrientationStateBase"));
                ORVELLA_LOG(
                    "\r\n ***** accelerometer - setting flag to kPROXIMITY_READY_STATE *****\r\n");
                scheduleArm(t);
            }
        }
    } else {
        t->positiveCounter = 0;
        if (++t->negativeCounter > 4) {
            ORVELLA_LOG("\r\n ***** NEGATIVE (proximity sensor is DEACTIVATED) *****\r\n");
            msgSend(t, SEL_("nullifyProximitOrientationStateBase"));
            // clang-format off
            ORVELLA_LOG("\r\n ***** accelerometer - Killing proximity monitoring - setting flag to kACCELEROMETER_READY_STATE *****\r\n");
            // clang-format on
            scheduleKill(t);
            t->flag = kACCELEROMETER_READY_STATE;
        }
    }
}

void earlierDetectionSystem(Telephony* t, float x, float y, float z) {
    const int32_t cls = getPhoneOrientationState(x, y, z);
    ORVELLA_LOG("\r\n ***** accelerometer - _tmpOrientationState = %d *****\r\n", cls);
    t->phoneOrientationState = cls;
    if (t->orientationStateBase != nullptr) {
        if (cls != 3) {
            const float elapsed =
                static_cast<float>(-t->orientationStateBase->timeIntervalSinceNow());
            if (elapsed >= t->orientationStateDelay && t->flag == kACCELEROMETER_READY_STATE) {
                t->flag = kPROXIMITY_READY_STATE;
                msgSend(t, SEL_("nullifyProximitOrientationStateBase"));
                ORVELLA_LOG(
                    "\r\n ***** accelerometer - setting flag to kPROXIMITY_READY_STATE *****\r\n");
                scheduleArm(t);
            }
        } else {
            msgSend(t, SEL_("nullifyProximitOrientationStateBase"));
            // clang-format off
            ORVELLA_LOG("\r\n ***** accelerometer - Killing proximity monitoring - setting flag to kACCELEROMETER_READY_STATE *****\r\n");
            // clang-format on
            scheduleKill(t);
            t->flag = kACCELEROMETER_READY_STATE;
        }
    }
    if (cls != 3 && t->orientationStateBase == nullptr) {
        msgSend(t, SEL_("setOrientationStateBase"));
    }
    if (cls == 3) {
        scheduleKill(t);
        t->flag = kACCELEROMETER_READY_STATE;
    }
}

// A glitch says nothing about the pose: it only breaks the screen-up run, so the latest system
// counts its five samples again and the earlier system measures its wait anew. The flag, the
// proximity sensor, the upside-down count and the last class stay as they were.
void glitch(Telephony* t) {
    if (Orvella_UseLatestDetectionSystem)
        t->positiveCounter = 0;
    else
        msgSend(t, SEL_("nullifyProximitOrientationStateBase"));
}

void didAccelerate(id self, SEL, id /*accelerometer*/, double /*timestamp*/, float x, float y,
                   float z, int32_t /*eventType*/) {
    Telephony* t = self_(self);
    ORVELLA_LOG("x: %.02f, y:%.02f, z: %.02f", x, y, z);
    if (!finiteSample(x, y, z))
        glitch(t);
    else if (Orvella_UseLatestDetectionSystem)
        latestDetectionSystem(t, z);
    else
        earlierDetectionSystem(t, x, y, z);
    ORVELLA_LOG("\r\n ***** accelerometer - phoneOrientationState = %@ *****\r\n",
                t->phoneOrientationState == 3 ? "POS_UPSIDE_DOWN" : "POS_NOT_UPSIDE_DOWN");
}

}  // namespace

int32_t getPhoneOrientationState(float x, float y, float z) {
    // The gate never asks about a glitch; a caller that does gets the class that never arms,
    // and the bad sample does not become the previous position.
    if (!finiteSample(x, y, z)) return 3;
    const double dy = y;
    const double dz = z;
    if (dy > -0.85 && dy < 1.2 && dz > -0.15) return 3;
    if (dy > 0.8 && dz > -0.6) return 3;
    const float tolerance = 0.3f;
    const bool moving = x < prevX - tolerance || x > prevX + tolerance || y < prevY - tolerance ||
                        y > prevY + tolerance;
    prevX = x;
    prevY = y;
    if (!moving) {
        prevRetValue = 1;
        return 1;
    }
    return -prevRetValue;
}

objc::Class Telephony::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<Telephony>("Telephony", objc::NSObject::cls());
        objc::addMethod(k, SEL_("Initiate"), &Initiate);
        objc::addMethod(k, SEL_("ableAccelerometer:"), &ableAccelerometer);
        objc::addMethod(k, SEL_("startProximitySensor:"), &startProximitySensor);
        objc::addMethod(k, SEL_("setOrientationStateBase"), &setOrientationStateBase);
        objc::addMethod(k, SEL_("nullifyProximitOrientationStateBase"),
                        &nullifyProximitOrientationStateBase);
        objc::addMethod(k, SEL_("accelerometer:didAccelerateWithTimeStamp:x:y:z:eventType:"),
                        &didAccelerate);
        objc::addMethod(k, SEL_("flag"), &flag_get);
        objc::addMethod(k, SEL_("setFlag:"), &flag_set);
        objc::addMethod(k, SEL_("wasLockedOnIncomingCall"), &locked_get);
        objc::addMethod(k, SEL_("setWasLockedOnIncomingCall:"), &locked_set);
        objc::addMethod(k, SEL_("proximityMeterIsOn"), &meter_get);
        objc::addMethod(k, SEL_("setProximityMeterIsOn:"), &meter_set);
        objc::addMethod(k, SEL_("proximityDelayBase"), &base_get);
        objc::addMethod(k, SEL_("setProximityDelayBase:"), &base_set);
        return k;
    }();
    return c;
}

Telephony* Telephony::create() { return static_cast<Telephony*>(objc::allocInit(cls())); }

Telephony::~Telephony() { objc::objc_release(proximityDelayBase); }

int32_t TelFlag() { return msgSend<int32_t>(tel, SEL_("flag")); }
void TelSetFlag(int32_t flag) { msgSend(tel, SEL_("setFlag:"), flag); }

namespace {

// The call status as its decimal text ("4"); an entry that is no number or text reads empty.
std::string statusText(const platform::Dictionary* userInfo) {
    if (userInfo == nullptr) return "";
    auto it = userInfo->find("kCTCallStatus");
    if (it == userInfo->end()) return "";
    const platform::Value& v = it->second;
    if (v.isString()) return *v.string();
    if (v.isNumber()) return v.description();
    return "";
}

}  // namespace

void telephonyEventCallback(platform::CFNotificationCenterRef, void*, const std::string& name,
                            const void*, const platform::Dictionary* userInfo) {
    if (name == "SBLockButtonPressedNotification") {
        if (tel != nullptr) {
            const int32_t f = TelFlag();
            if (f == kACCELEROMETER_READY_STATE || f == kPROXIMITY_READY_STATE) {
                DisconnectAccelerometerAndProximitySensor();
            }
        }
    } else if (name == "SBProximityDidChangeNotification") {
        int32_t state = 0;
        if (userInfo != nullptr) {
            if (auto it = userInfo->find("kSBNotificationKeyState"); it != userInfo->end()) {
                state = it->second.intValue().value_or(0);
            }
        }
        HandleProximityFeedback(state);
    } else if (name == "kCTCallStatusChangeNotification" ||
               name == "kCTCallAlternateStatusChangeNotification") {
        if (platform::bundle::mainBundleIdentifier() != "com.apple.springboard") return;
        const std::string status = statusText(userInfo);
        ORVELLA_LOG("***** telephonyEventCallback - kCTCall State: %@ *****", status);
        if (status == "4") {
            if (!Orvella_IsOn || tel == nullptr) return;
            TelSetFlag(kACCELEROMETER_READY_STATE);
            id manager =
                msgSend<id>(objc::NSClassFromString("SBLockScreenManager"), SEL_("sharedInstance"));
            msgSend(tel, SEL_("setWasLockedOnIncomingCall:"),
                    msgSend<bool>(manager, SEL_("isUILocked")));
            ORVELLA_LOG("***** telephonyEventCallback - tel.wasLockedOnIncomingCall: %@ *****",
                        YesNo(msgSend<bool>(tel, SEL_("wasLockedOnIncomingCall"))));
            msgSend(tel, SEL_("ableAccelerometer:"), true);
        } else if (status == "5" || status == "1") {
            if (tel == nullptr) return;
            // A watch already under way is always ended, so switching the tweak off during a
            // ringing call cannot leave the sensors running after it.
            if (Orvella_IsOn || TelFlag() != kBEGIN_STATE)
                DisconnectAccelerometerAndProximitySensor();
        }
    }
}

void signalHandler(int) {
    if (LOGGER_ON) platform::logSignalSafe("\r\n ***** signalHandler - Interrupted. *****\r\n");
}
