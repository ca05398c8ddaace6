#include "platform/devices/hardware.h"

#include "platform/core/process_state.h"
#include "platform/core/trace.h"
#include "platform/notify/notifications.h"

namespace platform {

using objc::id;
using objc::msgSend;
using objc::SEL;

namespace {

// Singletons live for the process and ignore retain/release.
template <class T>
T* makeImmortal(objc::Class cls) {
    auto* obj = static_cast<T*>(objc::class_createInstance(cls));
    obj->immortal = true;
    return obj;
}

}  // namespace

// --- Device model ------------------------------------------------------------------------

DeviceModel& DeviceModel::shared() {
    static auto* m = new DeviceModel();
    return *m;
}

void DeviceModel::reset() { *this = DeviceModel(); }

void DeviceModel::setProximityCovered(bool covered) {
    if (covered == covered_) return;
    covered_ = covered;
    if (UIDevice::currentDevice()->proximityMonitoringEnabled) {
        postTelephonyNotification("SBProximityDidChangeNotification",
                                  Dictionary{{"kSBNotificationKeyState", Value(covered ? 1 : 0)}});
    }
}

std::vector<std::string> DeviceModel::routeOutputs() const {
    if (speaker_) return {AVAudioSessionPortBuiltInSpeaker};
    if (!external_.empty()) return external_;
    return {AVAudioSessionPortBuiltInReceiver};
}

void DeviceModel::requestAnswer() {
    if (answerHandler_) {
        answerHandler_();
    } else if (callStatus_ == kCTCallStatusIncoming) {
        setCallStatus(kCTCallStatusActive);
    }
}

void DeviceModel::requestSpeaker(bool on) {
    if (speakerHandler_)
        speakerHandler_(on);
    else
        speaker_ = on;
}

void DeviceModel::pressLockButton() {
    locked_ = true;
    postTelephonyNotification("SBLockButtonPressedNotification", Dictionary{});
}

void DeviceModel::setCallStatus(int32_t status, bool alternate) {
    callStatus_ = status;
    if (status != kCTCallStatusActive && status != kCTCallStatusHeld) speaker_ = false;
    postTelephonyNotification(
        alternate ? "kCTCallAlternateStatusChangeNotification" : "kCTCallStatusChangeNotification",
        Dictionary{{"kCTCallStatus", Value(status)}});
}

void postTelephonyNotification(const std::string& name, const Dictionary& userInfo) {
    CFNotificationCenterPostNotification(CTTelephonyCenterGetDefault(), name.c_str(), nullptr,
                                         &userInfo, true);
}

// --- SBSAccelerometer ------------------------------------------------------------------------

namespace {

SBSAccelerometer* accel(id self) { return static_cast<SBSAccelerometer*>(self); }

void scheduleSample(SBSAccelerometer* a);

void deliverSample(SBSAccelerometer* a) {
    a->sampling = 0;
    if (!a->eventsEnabled) return;
    objc::Strong<SBSAccelerometer> keep = objc::Strong<SBSAccelerometer>::retain(a);
    SEL sel = SEL_("accelerometer:didAccelerateWithTimeStamp:x:y:z:eventType:");
    if (objc::respondsToSelector(a->delegate, sel)) {
        if (const std::optional<Pose> p = DeviceModel::shared().samplePose()) {
            msgSend(a->delegate, sel, static_cast<id>(a), processClock().now(), p->x, p->y, p->z,
                    int32_t{0});
        }
    }
    // The delegate may have switched events off, or off and on again (which restarted sampling).
    if (a->eventsEnabled && a->sampling == 0) scheduleSample(a);
}

void scheduleSample(SBSAccelerometer* a) {
    a->sampling = RunLoop::main().schedule(a->updateInterval, [a] { deliverSample(a); });
}

void stopSampling(SBSAccelerometer* a) {
    if (a->sampling != 0) RunLoop::main().cancel(a->sampling);
    a->sampling = 0;
}

void accel_setEventsEnabled(id self, SEL, bool enabled) {
    SBSAccelerometer* a = accel(self);
    if (enabled == a->eventsEnabled) return;
    a->eventsEnabled = enabled;
    if (tracing()) trace(events::SensorSwitched{events::Sensor::Accelerometer, enabled});
    if (enabled)
        scheduleSample(a);
    else
        stopSampling(a);
}
bool accel_eventsEnabled(id self, SEL) { return accel(self)->eventsEnabled; }
void accel_setUpdateInterval(id self, SEL, double interval) {
    SBSAccelerometer* a = accel(self);
    a->updateInterval = interval > 0 ? interval : 0.01;
    if (a->eventsEnabled) {
        stopSampling(a);
        scheduleSample(a);
    }
}
double accel_updateInterval(id self, SEL) { return accel(self)->updateInterval; }
void accel_setX(id self, SEL, float t) { accel(self)->xThreshold = t; }
void accel_setY(id self, SEL, float t) { accel(self)->yThreshold = t; }
void accel_setZ(id self, SEL, float t) { accel(self)->zThreshold = t; }
void accel_setOrientation(id self, SEL, bool on) { accel(self)->orientationEventsEnabled = on; }
void accel_setDelegate(id self, SEL, id delegate) { accel(self)->delegate = delegate; }
id accel_delegate(id self, SEL) { return accel(self)->delegate; }

}  // namespace

SBSAccelerometer::~SBSAccelerometer() { stopSampling(this); }

objc::Class SBSAccelerometer::cls() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<SBSAccelerometer>("SBSAccelerometer", objc::NSObject::cls());
        objc::addMethod(k, SEL_("setAccelerometerEventsEnabled:"), &accel_setEventsEnabled);
        objc::addMethod(k, SEL_("accelerometerEventsEnabled"), &accel_eventsEnabled);
        objc::addMethod(k, SEL_("setUpdateInterval:"), &accel_setUpdateInterval);
        objc::addMethod(k, SEL_("updateInterval"), &accel_updateInterval);
        objc::addMethod(k, SEL_("setXThreshold:"), &accel_setX);
        objc::addMethod(k, SEL_("setYThreshold:"), &accel_setY);
        objc::addMethod(k, SEL_("setZThreshold:"), &accel_setZ);
        objc::addMethod(k, SEL_("setOrientationEventsEnabled:"), &accel_setOrientation);
        objc::addMethod(k, SEL_("setDelegate:"), &accel_setDelegate);
        objc::addMethod(k, SEL_("delegate"), &accel_delegate);
        return k;
    }();
    return c;
}

// --- UIDevice ------------------------------------------------------------------------------

namespace {
id device_currentDevice(id, SEL) { return UIDevice::currentDevice(); }
void device_setProximity(id self, SEL, bool on) {
    auto* d = static_cast<UIDevice*>(self);
    const bool changed = d->proximityMonitoringEnabled != on;
    if (changed && tracing()) trace(events::SensorSwitched{events::Sensor::Proximity, on});
    d->proximityMonitoringEnabled = on;
    if (changed) DeviceModel::shared().proximityMonitoringChanged(on);
}
bool device_proximityEnabled(id self, SEL) {
    return static_cast<UIDevice*>(self)->proximityMonitoringEnabled;
}
bool device_proximityState(id self, SEL) {
    return static_cast<UIDevice*>(self)->proximityMonitoringEnabled &&
           DeviceModel::shared().proximityCovered();
}
}  // namespace

objc::Class UIDevice::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIDevice>("UIDevice", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("currentDevice"), &device_currentDevice);
        objc::addMethod(k, SEL_("setProximityMonitoringEnabled:"), &device_setProximity);
        objc::addMethod(k, SEL_("proximityMonitoringEnabled"), &device_proximityEnabled);
        objc::addMethod(k, SEL_("proximityState"), &device_proximityState);
        return k;
    }();
    return c;
}

UIDevice* UIDevice::currentDevice() {
    static UIDevice* d = makeImmortal<UIDevice>(cls());
    return d;
}

// --- SBLockScreenManager -----------------------------------------------------------------------

namespace {

class SBLockScreenManager : public objc::NSObject {};

objc::Class lockScreenManagerClass() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<SBLockScreenManager>("SBLockScreenManager",
                                                                    objc::NSObject::cls());
        objc::addClassMethod(
            k, SEL_("sharedInstance"), +[](id self, SEL) -> id {
                static id shared =
                    makeImmortal<SBLockScreenManager>(static_cast<objc::Class>(self));
                return shared;
            });
        objc::addMethod(
            k, SEL_("isUILocked"), +[](id, SEL) { return DeviceModel::shared().locked(); });
        return k;
    }();
    return c;
}

// --- AVAudioSession ----------------------------------------------------------------------------

class AVAudioSessionPortDescription : public objc::NSObject {
  public:
    std::string portType;
};

class AVAudioSessionRouteDescription : public objc::NSObject {
  public:
    objc::Strong<NSArray> outputs;
};

class AVAudioSession : public objc::NSObject {};

std::string portName(const std::string& type) {
    if (type == AVAudioSessionPortHeadphones) return "Headphones";
    if (type == AVAudioSessionPortBluetoothHFP) return "Bluetooth Hands-Free";
    if (type == AVAudioSessionPortBuiltInSpeaker) return "Speaker";
    if (type == AVAudioSessionPortBuiltInReceiver) return "Receiver";
    return type;
}

objc::Class portClass() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<AVAudioSessionPortDescription>(
            "AVAudioSessionPortDescription", objc::NSObject::cls());
        objc::addMethod(
            k, SEL_("portType"), +[](id self, SEL) {
                return static_cast<AVAudioSessionPortDescription*>(self)->portType;
            });
        objc::addMethod(
            k, SEL_("portName"), +[](id self, SEL) {
                return portName(static_cast<AVAudioSessionPortDescription*>(self)->portType);
            });
        objc::addMethod(
            k, SEL_("description"), +[](id self, SEL) {
                const auto& type = static_cast<AVAudioSessionPortDescription*>(self)->portType;
                return "<AVAudioSessionPortDescription: " + objc::addressText(self) +
                       ", type = " + type + "; name = " + portName(type) + ">";
            });
        return k;
    }();
    return c;
}

objc::Class routeClass() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<AVAudioSessionRouteDescription>(
            "AVAudioSessionRouteDescription", objc::NSObject::cls());
        objc::addMethod(
            k, SEL_("outputs"), +[](id self, SEL) -> id {
                return static_cast<AVAudioSessionRouteDescription*>(self)->outputs.get();
            });
        return k;
    }();
    return c;
}

objc::Class audioSessionClass() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<AVAudioSession>("AVAudioSession", objc::NSObject::cls());
        objc::addClassMethod(
            k, SEL_("sharedInstance"), +[](id self, SEL) -> id {
                static id shared = makeImmortal<AVAudioSession>(static_cast<objc::Class>(self));
                return shared;
            });
        // The route is read afresh on every call, so it reflects what is connected now.
        objc::addMethod(
            k, SEL_("currentRoute"), +[](id, SEL) -> id {
                std::vector<objc::Strong<AVAudioSessionPortDescription>> ports;
                for (const auto& type : DeviceModel::shared().routeOutputs()) {
                    ports.push_back(objc::adopt(static_cast<AVAudioSessionPortDescription*>(
                        objc::class_createInstance(portClass()))));
                    ports.back()->portType = type;
                }
                auto* route = static_cast<AVAudioSessionRouteDescription*>(
                    objc::class_createInstance(routeClass()));
                route->outputs =
                    objc::adopt(NSArray::create(std::vector<id>(ports.begin(), ports.end())));
                return objc::objc_autorelease(route);
            });
        return k;
    }();
    return c;
}

// --- UIScreen ----------------------------------------------------------------------------------

class UIScreen : public objc::NSObject {};

objc::Class screenClass() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIScreen>("UIScreen", objc::NSObject::cls());
        objc::addClassMethod(
            k, SEL_("mainScreen"), +[](id self, SEL) -> id {
                static id shared = makeImmortal<UIScreen>(static_cast<objc::Class>(self));
                return DeviceModel::shared().hasMainScreen() ? shared : nullptr;
            });
        objc::addMethod(
            k, SEL_("bounds"), +[](id, SEL) { return DeviceModel::shared().screenBounds(); });
        return k;
    }();
    return c;
}

}  // namespace

void registerSpringBoardServiceClasses() {
    SBSAccelerometer::cls();
    lockScreenManagerClass();
}

void registerDeviceClasses() {
    UIDevice::cls();
    NSArray::cls();
    portClass();
    routeClass();
    audioSessionClass();
    screenClass();
}

void state::resetDevices() {
    DeviceModel::shared().reset();
    UIDevice::currentDevice()->proximityMonitoringEnabled = false;
}

}  // namespace platform
