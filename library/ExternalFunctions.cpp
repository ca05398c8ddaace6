#include "ExternalFunctions.h"

#include "Orvella.h"
#include "OrvellaNames.h"
#include "Telephony.h"
#include "platform/devices/hardware.h"
#include "platform/notify/notifications.h"

using objc::id;
using objc::msgSend;
using objc::SEL;

// --- wave recognizer -----------------------------------------------------------------------

const char* GetFlagToString(int32_t flag) {
    switch (flag) {
        case kBEGIN_STATE:
            return "kBEGIN_STATE";
        case kCALL_ANSWERED:
            return "kCALL_ANSWERED";
        case kPROXIMITY_READY_STATE:
            return "kPROXIMITY_READY_STATE";
        case kPROXIMITY_COVERED_WAVE_1:
            return "kPROXIMITY_COVERED_WAVE_1";
        case kPROXIMITY_UNCOVERED_WAVE_1:
            return "kPROXIMITY_UNCOVERED_WAVE_1";
        case kPROXIMITY_COVERED_WAVE_2:
            return "kPROXIMITY_COVERED_WAVE_2";
        case kPROXIMITY_UNCOVERED_WAVE_2:
            return "kPROXIMITY_UNCOVERED_WAVE_2";
        default:
            return "";
    }
}

void nullifyProximityDelayBase() {
    if (tel == nullptr) return;
    id base = msgSend<id>(tel, SEL_("proximityDelayBase"));
    if (base == nullptr) return;
    objc::objc_release(base);
    msgSend(tel, SEL_("setProximityDelayBase:"), id{nullptr});
}

void setBaseTime() {
    nullifyProximityDelayBase();
    msgSend(tel, SEL_("setProximityDelayBase:"), static_cast<id>(platform::NSDate::newNow()));
}

bool isTimedOut(int32_t resetFlag) {
    bool result = false;
    auto* base = static_cast<platform::NSDate*>(msgSend<id>(tel, SEL_("proximityDelayBase")));
    if (base != nullptr) {
        const float elapsed = static_cast<float>(-base->timeIntervalSinceNow());
        if (elapsed >= Orvella_ProximityDelay) {
            ORVELLA_LOG(
                "*** isTimedOut - Time elapsed: %f - TIMED OUT!! - RESETTING THE FLAG TO %@ ***",
                elapsed, GetFlagToString(resetFlag));
            TelSetFlag(resetFlag);
            result = true;
        } else {
            ORVELLA_LOG("*** isTimedOut - Time elapsed: %f - CONTINUING FLOW ***", elapsed);
        }
    }
    nullifyProximityDelayBase();
    return result;
}

bool isAllowedToAnswerCall(int32_t waveIndex) {
    const bool wasLocked = msgSend<bool>(tel, SEL_("wasLockedOnIncomingCall"));
    const bool result =
        wasLocked ? Orvella_LockedStateIndex == waveIndex : Orvella_UnlockedStateIndex == waveIndex;
    // clang-format off
    ORVELLA_LOG("*** WasLocked: %@, LockedState wave number: %d, UnlockedState wave number: %d, Current  wave number: %d, isAllowedToAnswerCall: %@ ***",
                YesNo(wasLocked), Orvella_LockedStateIndex + 1, Orvella_UnlockedStateIndex + 1, waveIndex + 1, YesNo(result));
    // clang-format on
    return result;
}

// The steps of the recognizer, one per state it leaves; each runs on the one input its state
// waits for, the uncoverings only within the time limit.

// State 1, covered.
static void coverFirstWave() {
    setBaseTime();
    ORVELLA_LOG("*** HandleProximityFeedback - FROM READY_STATE to kPROXIMITY_COVERED_WAVE_1 ***");
    TelSetFlag(kPROXIMITY_COVERED_WAVE_1);
}

// State 2, uncovered in time.
static void uncoverFirstWave() {
    if (isAllowedToAnswerCall(0)) {
        // clang-format off
        ORVELLA_LOG("*** HandleProximityFeedback - FROM kPROXIMITY_COVERED_WAVE_1 to CALL_ANSWERED ***");
        // clang-format on
        AnswerCall();
    } else {
        setBaseTime();
        // clang-format off
        ORVELLA_LOG("*** HandleProximityFeedback - FROM kPROXIMITY_COVERED_WAVE_1 to kPROXIMITY_UNCOVERED_WAVE_1 ***");
        // clang-format on
        TelSetFlag(kPROXIMITY_UNCOVERED_WAVE_1);
    }
}

// State 3, covered.
static void coverSecondWave() {
    if (isAllowedToAnswerCall(1)) {
        // clang-format off
        ORVELLA_LOG("*** HandleProximityFeedback - FROM kPROXIMITY_UNCOVERED_WAVE_1 to kCOVERED_BEFORE_ANSWER_CALL ***");
        // clang-format on
        TelSetFlag(kCOVERED_BEFORE_ANSWER_CALL);
    } else {
        // clang-format off
        ORVELLA_LOG("*** HandleProximityFeedback - FROM kPROXIMITY_UNCOVERED_WAVE_1 to kPROXIMITY_COVERED_WAVE_2 ***");
        // clang-format on
        TelSetFlag(kPROXIMITY_COVERED_WAVE_2);
    }
}

// State 4, uncovered in time.
static void uncoverSecondWave() {
    setBaseTime();
    // clang-format off
    ORVELLA_LOG("*** HandleProximityFeedback - FROM kPROXIMITY_COVERED_WAVE_2 to kPROXIMITY_UNCOVERED_WAVE_2 ***");
    // clang-format on
    TelSetFlag(kPROXIMITY_UNCOVERED_WAVE_2);
}

// State 5, covered.
static void coverThirdWave() {
    // clang-format off
    ORVELLA_LOG("*** HandleProximityFeedback - FROM kPROXIMITY_UNCOVERED_WAVE_2 to kCOVERED_BEFORE_ANSWER_CALL ***");
    // clang-format on
    TelSetFlag(kCOVERED_BEFORE_ANSWER_CALL);
}

// State 6, uncovered in time.
static void uncoverLastWave() {
    // clang-format off
    ORVELLA_LOG("*** HandleProximityFeedback - FROM kCOVERED_BEFORE_ANSWER_CALL to kCALL_ANSWERED ***");
    // clang-format on
    AnswerCall();
}

void HandleProximityFeedback(int32_t proximityState) {
    const int32_t flag = TelFlag();
    ORVELLA_LOG(
        "\r\n*** *** *** HandleProximityFeedback - Tel.flag : %@, proximityState : %@ *** *** ***",
        GetFlagToString(flag), proximityState != 0 ? "kCONVERED" : "kUNCONVERED");
    const bool covered = proximityState == 1;
    const bool uncovered = proximityState == 0;
    switch (flag) {
        case kPROXIMITY_READY_STATE:
            if (covered) coverFirstWave();
            break;
        case kPROXIMITY_COVERED_WAVE_1:
            if (uncovered && !isTimedOut(kPROXIMITY_READY_STATE)) uncoverFirstWave();
            break;
        case kPROXIMITY_UNCOVERED_WAVE_1:
            if (covered) coverSecondWave();
            break;
        case kPROXIMITY_COVERED_WAVE_2:
            if (uncovered && !isTimedOut(kPROXIMITY_READY_STATE)) uncoverSecondWave();
            break;
        case kPROXIMITY_UNCOVERED_WAVE_2:
            if (covered) coverThirdWave();
            break;
        case kCOVERED_BEFORE_ANSWER_CALL:
            if (uncovered && !isTimedOut(kPROXIMITY_READY_STATE)) uncoverLastWave();
            break;
        default:
            break;
    }
    ORVELLA_LOG("\r\n\r\n");
}

// --- answering -------------------------------------------------------------------------------

namespace {

bool routeHasPort(const char* portType) {
    id session = msgSend<id>(objc::NSClassFromString("AVAudioSession"), SEL_("sharedInstance"));
    id outputs = msgSend<id>(msgSend<id>(session, SEL_("currentRoute")), SEL_("outputs"));
    ORVELLA_LOG("\r\n\r\n********* AUDIO ROUTES -route outputs: %@ **********\r\n\r\n", outputs);
    const int32_t n = msgSend<int32_t>(outputs, SEL_("count"));
    for (int32_t i = 0; i < n; ++i) {
        id port = msgSend<id>(outputs, SEL_("objectAtIndex:"), i);
        if (msgSend<std::string>(port, SEL_("portType")) == portType) return true;
    }
    return false;
}

}  // namespace

bool isHeadsetPluggedIn() { return routeHasPort(platform::AVAudioSessionPortHeadphones); }
bool isBluetoothHFPHookedUp() { return routeHasPort(platform::AVAudioSessionPortBluetoothHFP); }

void AnswerCall() {
    TelSetFlag(kCALL_ANSWERED);
    ORVELLA_LOG("***** SensorLogic - Sending Slide open Notification *****");
    platform::distributedPost(orvella::kSlideOpenNotification);
    platform::distributedPost(orvella::kRemoveActiveLabelsNotification);
    bool wantSpeaker = true;
    if (isBluetoothHFPHookedUp()) {
        wantSpeaker = false;
    } else if (!Orvella_UseSpeakerWithHeadsetPlugedIn) {
        wantSpeaker = !isHeadsetPluggedIn();
    }
    if (wantSpeaker) {
        ORVELLA_LOG("***** SensorLogic - Sending Open speaker Notification in 2 sec *****\r\n");
        platform::dispatchAfter(
            2.0, [] { platform::distributedPost(orvella::kTurnOnSpeakerNotification); });
    } else {
        ORVELLA_LOG("***** SensorLogic - HEADPHONES ARE PLUGGED IN! *****\r\n");
    }
}

// --- sensor shut-down --------------------------------------------------------------------------

void DisconnectAccelerometerAndProximitySensor() {
    ORVELLA_LOG(
        "** DisconnectAccelerometerAndProximitySensor ** disabling _SBSAccelerometerInstance");
    platform::distributedPost(orvella::kRemoveActiveLabelsNotification);
    if (tel != nullptr) msgSend(tel, SEL_("ableAccelerometer:"), false);
    ORVELLA_LOG("** DisconnectAccelerometerAndProximitySensor ** disabling Proximity Monitor");
    msgSend(platform::UIDevice::currentDevice(), SEL_("setProximityMonitoringEnabled:"), false);
    if (tel != nullptr) {
        msgSend(tel, SEL_("setProximityMeterIsOn:"), false);
        TelSetFlag(kBEGIN_STATE);
    }
}
