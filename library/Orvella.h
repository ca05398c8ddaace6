// Process-wide state of the tweak, settings loading and the hint text.
#pragma once

#include <cstdint>
#include <string>

#include "platform/log.h"
#include "platform/notifications.h"

class Telephony;

// Logging switch: every log line of the tweak is written only while it is set. Start-up
// clears it; nothing in the tweak sets it.
extern "C" bool LOGGER_ON;
// The call monitor (SpringBoard only; empty elsewhere).
extern Telephony* tel;
// The main screen is 480 points high (computed in SpringBoard only).
extern "C" bool IS_IPHONE_4;

// Settings, loaded by LoadPrefs in SpringBoard; zero/false until the first load.
extern "C" bool Orvella_IsOn;
extern "C" bool Orvella_UseSpeakerWithHeadsetPlugedIn;
extern "C" bool Orvella_UseLatestDetectionSystem;
extern "C" int32_t Orvella_LockedStateIndex;
extern "C" int32_t Orvella_UnlockedStateIndex;
extern "C" float Orvella_ProximityDelay;

#define ORVELLA_LOG(...)                                \
    do {                                                \
        if (LOGGER_ON) ::platform::NSLog(__VA_ARGS__);  \
    } while (0)

inline const char* YesNo(bool b) { return b ? "YES" : "NO"; }

// Reads the settings file afresh and sets the six settings variables.
void LoadPrefs();
// Darwin callback for "com.brelkin.Orvella.settingschanged".
void preferencesChangedCallback(platform::CFNotificationCenterRef center, void* observer,
                                const std::string& name, const void* object,
                                const platform::Dictionary* userInfo);
// "Wave %@ to answer" with the configured number of waves for a locked or unlocked phone.
std::string getConfiguredWaveProtocol(bool locked);

// The library's initialisation routine (its ELF constructor).
extern "C" void OrvellaInitialize();
