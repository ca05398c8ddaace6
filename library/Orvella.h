// Process-wide state of the tweak, settings loading and the hint text.
#pragma once

#include <cstdint>
#include <string>

#include "platform/core/runtime.h"
#include "platform/loop/log.h"
#include "platform/notify/notifications.h"

class Telephony;

// Logging switch: every log line of the tweak is written only while it is set. Start-up
// clears it; nothing in the tweak sets it.
extern "C" bool LOGGER_ON;
// The call monitor (SpringBoard only; empty elsewhere).
extern "C" Telephony* tel;
// The main screen is 480 points high (computed in SpringBoard only).
extern "C" bool IS_IPHONE_4;

// Settings, loaded by LoadPrefs in SpringBoard; zero/false until the first load.
extern "C" bool Orvella_IsOn;
extern "C" bool Orvella_UseSpeakerWithHeadsetPlugedIn;
extern "C" bool Orvella_UseLatestDetectionSystem;
extern "C" int32_t Orvella_LockedStateIndex;
extern "C" int32_t Orvella_UnlockedStateIndex;
extern "C" float Orvella_ProximityDelay;

#define ORVELLA_LOG(...)                               \
    do {                                               \
        if (LOGGER_ON) ::platform::NSLog(__VA_ARGS__); \
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

// --- Call-screen hooks: replacement functions, saved-implementation slots, added methods ---

using objc::id;
using objc::SEL;

// In-call controller (rows 1 to 4).
void useSpeaker(id self, SEL _cmd, id notification);
id init_InCallController(id self, SEL _cmd);
void dealloc_InCallController(id self, SEL _cmd);
void _callStatusChangedNotification_InCallController(id self, SEL _cmd, id notification);
extern id (*_init_InCallController)(id, SEL);
extern void (*_dealloc_InCallController)(id, SEL);
extern void (*__callStatusChangedNotification_InCallController)(id, SEL, id);

// Lock screen (rows 5 to 7).
void didRotateFromInterfaceOrientation_SBLockScreenViewController(id self, SEL _cmd,
                                                                  int64_t orientation);
void willRotateToInterfaceOrientation_duration_SBLockScreenViewController(id self, SEL _cmd,
                                                                          int64_t orientation,
                                                                          double duration);
void willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController(
    id self, SEL _cmd, int64_t orientation, double duration);
extern void (*_didRotateFromInterfaceOrientation_SBLockScreenViewController)(id, SEL, int64_t);
extern void (*_willRotateToInterfaceOrientation_duration_SBLockScreenViewController)(id, SEL,
                                                                                     int64_t,
                                                                                     double);
extern void (*_willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController)(
    id, SEL, int64_t, double);

// Answer bar (rows 8 to 14).
void slideOpen(id self, SEL _cmd, id notification);
void removeActiveLabels(id self, SEL _cmd, id notification);
id init_TPSuperBottomBar(id self, SEL _cmd);
void dealloc_TPSuperBottomBar(id self, SEL _cmd);
void setSlidingButton_TPSuperBottomBar(id self, SEL _cmd, id button);
void setMainRightButton_TPSuperBottomBar(id self, SEL _cmd, id button);
void slidingButtonDidFinishSlide_TPSuperBottomBar(id self, SEL _cmd);
extern id (*_init_TPSuperBottomBar)(id, SEL);
extern void (*_dealloc_TPSuperBottomBar)(id, SEL);
extern void (*_setSlidingButton_TPSuperBottomBar)(id, SEL, id);
extern void (*_setMainRightButton_TPSuperBottomBar)(id, SEL, id);
extern void (*_slidingButtonDidFinishSlide_TPSuperBottomBar)(id, SEL);
