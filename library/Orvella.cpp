#include "Orvella.h"

#include "OrvellaNames.h"
#include "Telephony.h"
#include "platform/core/geometry.h"
#include "platform/files/device_root.h"
#include "platform/values/plist.h"

using objc::msgSend;
using orvella::kHintTag;
using orvella::kLogoTag;
using orvella::kRemoveActiveLabelsNotification;
using orvella::kSlideOpenNotification;
using orvella::kTurnOnSpeakerNotification;
using platform::CGRect;

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
    const std::string path = platform::device::appendPathComponent("/User/Library/Preferences",
                                                                   orvella::kSettingsFileName);
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
        Orvella_UseSpeakerWithHeadsetPlugedIn =
            boolFor(*prefs, "UseSpeakerWithHeadsetPlugedIn", false);
        Orvella_LockedStateIndex = intFor(*prefs, "WaveProtocolLocked");
        Orvella_UnlockedStateIndex = intFor(*prefs, "WaveProtocolUnlocked");
        speed = intFor(*prefs, "WaveProtocolSpeed");
        Orvella_UseLatestDetectionSystem = boolFor(*prefs, "UseLatestDetectionSystem", true);
    }
    ORVELLA_LOG("** Orvella ** LoadPrefs, Orvella_UseLatestDetectionSystem = %@",
                YesNo(Orvella_UseLatestDetectionSystem));

    if (speed == -1) speed = 1;
    switch (speed) {
        case 0:
            Orvella_ProximityDelay = 2.5f;
            proximityDelayWasSet = true;
            break;
        case 1:
            Orvella_ProximityDelay = 1.5f;
            proximityDelayWasSet = true;
            break;
        case 2:
            Orvella_ProximityDelay = 0.7f;
            proximityDelayWasSet = true;
            break;
        default:
            if (!proximityDelayWasSet) {
                Orvella_ProximityDelay = 1.5f;
                proximityDelayWasSet = true;
            }
    }

    if (Orvella_LockedStateIndex == -1) Orvella_LockedStateIndex = 1;
    if (Orvella_UnlockedStateIndex == -1) Orvella_UnlockedStateIndex = 0;
}

void preferencesChangedCallback(platform::CFNotificationCenterRef, void*, const std::string&,
                                const void*, const platform::Dictionary*) {
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

id (*_init_InCallController)(id, SEL) = nullptr;
void (*_dealloc_InCallController)(id, SEL) = nullptr;
void (*__callStatusChangedNotification_InCallController)(id, SEL, id) = nullptr;
void (*_didRotateFromInterfaceOrientation_SBLockScreenViewController)(id, SEL, int64_t) = nullptr;
void (*_willRotateToInterfaceOrientation_duration_SBLockScreenViewController)(id, SEL, int64_t,
                                                                              double) = nullptr;
void (*_willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController)(
    id, SEL, int64_t, double) = nullptr;
id (*_init_TPSuperBottomBar)(id, SEL) = nullptr;
void (*_dealloc_TPSuperBottomBar)(id, SEL) = nullptr;
void (*_setSlidingButton_TPSuperBottomBar)(id, SEL, id) = nullptr;
void (*_setMainRightButton_TPSuperBottomBar)(id, SEL, id) = nullptr;
void (*_slidingButtonDidFinishSlide_TPSuperBottomBar)(id, SEL) = nullptr;

// --- In-call controller ------------------------------------------------------------------------

void useSpeaker(id self, SEL, id) {
    ORVELLA_LOG("***** InCallController useSpeaker self: %@ *****", self);
    const int32_t position = msgSend<int32_t>(self, SEL_("speakerButtonPosition"));
    msgSend(self, SEL_("sixSquareButtonClicked:"), position);
}

id init_InCallController(id self, SEL _cmd) {
    ORVELLA_LOG("\r\n *****InCallController INIT *****\r\n");
    id controller = objc::callImp(_init_InCallController, self, _cmd);
    platform::distributedAddObserver(controller, SEL_("useSpeaker:"), kTurnOnSpeakerNotification);
    return controller;
}

void dealloc_InCallController(id self, SEL _cmd) {
    ORVELLA_LOG("\r\n *****InCallController DEALLOC *****\r\n");
    platform::distributedRemoveObserver(self, kTurnOnSpeakerNotification);
    objc::callImp(_dealloc_InCallController, self, _cmd);
}

void _callStatusChangedNotification_InCallController(id self, SEL _cmd, id notification) {
    ORVELLA_LOG(
        "\r\n ***** InCallController ** _callStatusChangedNotification$  arg1: %@  *****\r\n",
        notification);
    objc::callImp(__callStatusChangedNotification_InCallController, self, _cmd, notification);
}

// --- Lock screen ---------------------------------------------------------------------------------

void didRotateFromInterfaceOrientation_SBLockScreenViewController(id self, SEL _cmd,
                                                                  int64_t orientation) {
    // clang-format off
    ORVELLA_LOG("\r\n ***** SBLockScreenViewController ** _didRotateFromInterfaceOrientation - orientation: %lld  *****\r\n",
                static_cast<long long>(orientation));
    // clang-format on
    objc::callImp(_didRotateFromInterfaceOrientation_SBLockScreenViewController, self, _cmd,
                  orientation);
}

void willRotateToInterfaceOrientation_duration_SBLockScreenViewController(id self, SEL _cmd,
                                                                          int64_t orientation,
                                                                          double duration) {
    // clang-format off
    ORVELLA_LOG("\r\n ***** SBLockScreenViewController ** _willRotateToInterfaceOrientation_duration - orientation: %lld  *****\r\n",
                static_cast<long long>(orientation));
    // clang-format on
    objc::callImp(_willRotateToInterfaceOrientation_duration_SBLockScreenViewController, self, _cmd,
                  orientation, duration);
}

void willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController(
    id self, SEL _cmd, int64_t orientation, double duration) {
    // clang-format off
    ORVELLA_LOG("\r\n ***** _willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController - orientation: %lld  *****\r\n",
                static_cast<long long>(orientation));
    // clang-format on
    objc::callImp(_willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController,
                  self, _cmd, orientation, duration);
}

// --- Answer bar ----------------------------------------------------------------------------------

void removeActiveLabels(id self, SEL, id) {
    ORVELLA_LOG("\r\n ***** TPSuperBottomBar - REMOVING ACTIVE LABELS - *****\r\n");
    if (Orvella_IsOn) {
        for (int64_t tag : {kLogoTag, kHintTag}) {
            msgSend(msgSend<id>(self, SEL_("viewWithTag:"), tag), SEL_("removeFromSuperview"));
        }
    }
    platform::distributedRemoveObserver(self, kRemoveActiveLabelsNotification);
}

void slideOpen(id self, SEL _cmd, id notification) {
    ORVELLA_LOG("\r\n ***** TPSuperBottomBar - SLIDING OPEN - *****\r\n");
    removeActiveLabels(self, _cmd, notification);
    msgSend(self, SEL_("buttonPressed:"), msgSend<id>(self, SEL_("mainRightButton")));
    msgSend(self, SEL_("slidingButtonDidFinishSlide"));
    platform::distributedRemoveObserver(self, kSlideOpenNotification);
}

id init_TPSuperBottomBar(id self, SEL _cmd) {
    ORVELLA_LOG("\r\n ***** TPSuperBottomBar ** init  *****\r\n");
    id bar = objc::callImp(_init_TPSuperBottomBar, self, _cmd);
    platform::distributedAddObserver(bar, SEL_("slideOpen:"), kSlideOpenNotification);
    platform::distributedAddObserver(bar, SEL_("removeActiveLabels:"),
                                     kRemoveActiveLabelsNotification);
    if (!Orvella_IsOn) return bar;

    const int d = IS_IPHONE_4 ? 80 : 0;
    const std::string logoPath = platform::device::appendPathComponent(
        "/Library/Application Support/Orvella/", "orvellaLogo@2x.png");
    id image =
        msgSend<id>(objc::objc_getClass("UIImage"), SEL_("imageWithContentsOfFile:"), logoPath);
    // The bar's view tree keeps the logo and the hint once they are added.
    auto logo =
        objc::adopt(msgSend<id>(msgSend<id>(objc::objc_getClass("UIImageView"), SEL_("alloc")),
                                SEL_("initWithImage:"), image));
    msgSend(logo, SEL_("setTag:"), kLogoTag);
    CGRect frame = msgSend<CGRect>(logo, SEL_("frame"));
    frame.origin.x = 7;
    frame.origin.y = static_cast<double>(d - 235);
    msgSend(logo, SEL_("setFrame:"), frame);
    msgSend(bar, SEL_("setClipsToBounds:"), false);
    msgSend(bar, SEL_("addSubview:"), logo.get());

    const double w = frame.size.width;
    auto hint = objc::adopt(msgSend<id>(
        msgSend<id>(objc::objc_getClass("UILabel"), SEL_("alloc")), SEL_("initWithFrame:"),
        platform::CGRectMake(w + 7, static_cast<double>(d - 212), 150, 23)));
    msgSend(hint, SEL_("setFont:"),
            msgSend<id>(objc::objc_getClass("UIFont"), SEL_("fontWithName:size:"),
                        std::string("HelveticaNeue-Thin"), 16.0));
    const bool locked = msgSend<bool>(tel, SEL_("wasLockedOnIncomingCall"));
    msgSend(hint, SEL_("setText:"), getConfiguredWaveProtocol(locked));
    msgSend(hint, SEL_("setTextColor:"),
            msgSend<id>(objc::objc_getClass("UIColor"), SEL_("whiteColor")));
    msgSend(hint, SEL_("setTag:"), kHintTag);
    msgSend(bar, SEL_("addSubview:"), hint.get());
    return bar;
}

void dealloc_TPSuperBottomBar(id self, SEL _cmd) {
    ORVELLA_LOG("\r\n ***** TPSuperBottomBar ** dealloc$: *****\r\n");
    platform::distributedRemoveObserver(self, kSlideOpenNotification);
    platform::distributedRemoveObserver(self, kRemoveActiveLabelsNotification);
    objc::callImp(_dealloc_TPSuperBottomBar, self, _cmd);
}

void setSlidingButton_TPSuperBottomBar(id self, SEL _cmd, id button) {
    ORVELLA_LOG("\r\n ***** TPSuperBottomBar ** setSlidingButton$: %@ *****\r\n", button);
    objc::callImp(_setSlidingButton_TPSuperBottomBar, self, _cmd, button);
}

void setMainRightButton_TPSuperBottomBar(id self, SEL _cmd, id button) {
    ORVELLA_LOG("\r\n ***** TPSuperBottomBar ** setMainRightButton$: %@ *****\r\n", button);
    objc::callImp(_setMainRightButton_TPSuperBottomBar, self, _cmd, button);
}

void slidingButtonDidFinishSlide_TPSuperBottomBar(id self, SEL _cmd) {
    ORVELLA_LOG("\r\n ***** TPSuperBottomBar ** slidingButtonDidFinishSlide$: *****\r\n");
    platform::distributedPost(kRemoveActiveLabelsNotification);
    objc::callImp(_slidingButtonDidFinishSlide_TPSuperBottomBar, self, _cmd);
}

// --- Start-up ------------------------------------------------------------------------------------

namespace {

void installInCallControllerRows() {
    objc::Class cls = objc::objc_getClass("InCallController");
    objc::class_addMethod(cls, SEL_("useSpeaker:"), &useSpeaker, "v@:");
    objc::MSHookMessageEx(cls, SEL_("init"), &init_InCallController, &_init_InCallController);
    objc::MSHookMessageEx(cls, SEL_("dealloc"), &dealloc_InCallController,
                          &_dealloc_InCallController);
    objc::MSHookMessageEx(cls, SEL_("_callStatusChangedNotification:"),
                          &_callStatusChangedNotification_InCallController,
                          &__callStatusChangedNotification_InCallController);
}

void installLockScreenRows() {
    objc::Class cls = objc::objc_getClass("SBLockScreenViewController");
    objc::MSHookMessageEx(cls, SEL_("didRotateFromInterfaceOrientation:"),
                          &didRotateFromInterfaceOrientation_SBLockScreenViewController,
                          &_didRotateFromInterfaceOrientation_SBLockScreenViewController);
    objc::MSHookMessageEx(cls, SEL_("willRotateToInterfaceOrientation:duration:"),
                          &willRotateToInterfaceOrientation_duration_SBLockScreenViewController,
                          &_willRotateToInterfaceOrientation_duration_SBLockScreenViewController);
    objc::MSHookMessageEx(
        cls, SEL_("willAnimateRotationToInterfaceOrientation:duration:"),
        &willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController,
        &_willAnimateRotationToInterfaceOrientation_duration_SBLockScreenViewController);
}

void installAnswerBarRows() {
    objc::Class cls = objc::objc_getClass("TPSuperBottomBar");
    objc::class_addMethod(cls, SEL_("slideOpen:"), &slideOpen, "v@:");
    objc::class_addMethod(cls, SEL_("removeActiveLabels:"), &removeActiveLabels, "v@:");
    objc::MSHookMessageEx(cls, SEL_("init"), &init_TPSuperBottomBar, &_init_TPSuperBottomBar);
    objc::MSHookMessageEx(cls, SEL_("dealloc"), &dealloc_TPSuperBottomBar,
                          &_dealloc_TPSuperBottomBar);
    objc::MSHookMessageEx(cls, SEL_("setSlidingButton:"), &setSlidingButton_TPSuperBottomBar,
                          &_setSlidingButton_TPSuperBottomBar);
    objc::MSHookMessageEx(cls, SEL_("setMainRightButton:"), &setMainRightButton_TPSuperBottomBar,
                          &_setMainRightButton_TPSuperBottomBar);
    objc::MSHookMessageEx(cls, SEL_("slidingButtonDidFinishSlide"),
                          &slidingButtonDidFinishSlide_TPSuperBottomBar,
                          &_slidingButtonDidFinishSlide_TPSuperBottomBar);
}

}  // namespace

// Run by the loader when the library is loaded into a process, before the host builds any
// user interface.
extern "C" __attribute__((constructor)) void OrvellaInitialize() {
    objc::AutoreleasePool pool;
    LOGGER_ON = false;
    const std::string bundleIdentifier = platform::bundle::mainBundleIdentifier();
    const bool springBoard = bundleIdentifier == "com.apple.springboard";
    if (springBoard) {
        LoadPrefs();
        if (tel == nullptr) {
            ORVELLA_LOG("\r\n ***** %@ - Creating tel instance *****\r\n", bundleIdentifier);
            tel = Telephony::create();
            msgSend(tel, SEL_("Initiate"));
        }
        platform::CFNotificationCenterAddObserver(
            platform::CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
            &preferencesChangedCallback, orvella::kSettingsChangedNotification, nullptr,
            platform::CFNotificationSuspensionBehaviorHold);
    }
    if (springBoard || bundleIdentifier == "com.apple.mobilephone") installInCallControllerRows();
    if (springBoard) {
        id screen = msgSend<id>(objc::objc_getClass("UIScreen"), SEL_("mainScreen"));
        IS_IPHONE_4 = msgSend<CGRect>(screen, SEL_("bounds")).size.height == 480.0;
        installLockScreenRows();
        installAnswerBarRows();
    }
}
