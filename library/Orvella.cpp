#include "Orvella.h"

#include "Telephony.h"
#include "platform/device.h"
#include "platform/plist.h"

bool LOGGER_ON = false;
Telephony* tel = nullptr;
bool IS_IPHONE_4 = false;

bool Orvella_IsOn = false;
bool Orvella_UseSpeakerWithHeadsetPlugedIn = false;
bool Orvella_UseLatestDetectionSystem = false;
int32_t Orvella_LockedStateIndex = 0;
int32_t Orvella_UnlockedStateIndex = 0;
float Orvella_ProximityDelay = 0;

namespace {

// Whether some load has set the delay. A speed outside the table keeps the previous delay,
// but with no previous one the medium delay applies: a delay of 0 would time out every wave.
bool proximityDelayWasSet = false;

// A stored value that is neither a number nor a text counts as absent.
const platform::Value* readable(const platform::Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end() || !(it->second.isNumber() || it->second.isString())) return nullptr;
    return &it->second;
}

bool boolFor(const platform::Dictionary& d, const char* key, bool absent) {
    const platform::Value* v = readable(d, key);
    return v ? v->boolValue().value_or(absent) : absent;
}

int32_t intFor(const platform::Dictionary& d, const char* key) {
    const platform::Value* v = readable(d, key);
    return v ? v->intValue().value_or(0) : 0;
}

}  // namespace

void LoadPrefs() {
    ORVELLA_LOG("** Orvella ** LoadPrefs");
    const std::string path =
        platform::device::appendPathComponent("/User/Library/Preferences", "com.brelkin.Orvella.plist");
    const std::optional<platform::Dictionary> prefs =
        platform::plist::readDictionary(platform::device::resolve(path));
    if (prefs) {
        ORVELLA_LOG("** Orvella ** LoadPrefs: %@", platform::Value(*prefs));
    } else {
        ORVELLA_LOG("** Orvella ** LoadPrefs: %@", nullptr);
    }

    Orvella_IsOn = true;
    Orvella_UseSpeakerWithHeadsetPlugedIn = false;
    Orvella_LockedStateIndex = -1;
    Orvella_UnlockedStateIndex = -1;
    Orvella_UseLatestDetectionSystem = true;
    int32_t speed = 1;

    if (prefs) {
        Orvella_IsOn = boolFor(*prefs, "IsOn", true);
        Orvella_UseSpeakerWithHeadsetPlugedIn = boolFor(*prefs, "UseSpeakerWithHeadsetPlugedIn", false);
        Orvella_LockedStateIndex = intFor(*prefs, "WaveProtocolLocked");
        Orvella_UnlockedStateIndex = intFor(*prefs, "WaveProtocolUnlocked");
        speed = intFor(*prefs, "WaveProtocolSpeed");
        Orvella_UseLatestDetectionSystem = boolFor(*prefs, "UseLatestDetectionSystem", true);
    }
    ORVELLA_LOG("** Orvella ** LoadPrefs, Orvella_UseLatestDetectionSystem = %@",
                YesNo(Orvella_UseLatestDetectionSystem));

    if (speed == -1) speed = 1;
    switch (speed) {
        case 0: Orvella_ProximityDelay = 2.5f; proximityDelayWasSet = true; break;
        case 1: Orvella_ProximityDelay = 1.5f; proximityDelayWasSet = true; break;
        case 2: Orvella_ProximityDelay = 0.7f; proximityDelayWasSet = true; break;
        default:
            if (!proximityDelayWasSet) {
                Orvella_ProximityDelay = 1.5f;
                proximityDelayWasSet = true;
            }
    }

    if (Orvella_LockedStateIndex == -1) Orvella_LockedStateIndex = 1;
    if (Orvella_UnlockedStateIndex == -1) Orvella_UnlockedStateIndex = 0;
}

void preferencesChangedCallback(platform::CFNotificationCenterRef, void*, const std::string&, const void*,
                                const platform::Dictionary*) {
    ORVELLA_LOG("preferencesChangedCallback");
    LoadPrefs();
}

std::string getConfiguredWaveProtocol(bool locked) {
    // Every index other than 0 and 1 means three waves to the recognizer, on either side, so
    // the hint says so too.
    const int32_t index = locked ? Orvella_LockedStateIndex : Orvella_UnlockedStateIndex;
    const char* word = index == 0 ? "once" : index == 1 ? "twice" : "thrice";
    return platform::format("Wave %@ to answer", word);
}
