#include "MainViewController.h"

#include "FK_HDTools.h"
#include "platform/files/device_root.h"
#include "platform/files/files.h"
#include "platform/loop/foundation.h"
#include "platform/loop/log.h"
#include "platform/notify/notifications.h"
#include "platform/values/plist.h"

using objc::id;
using objc::msgSend;
using objc::SEL;
using platform::CGRect;
using platform::Dictionary;
using platform::Value;

namespace {

MainViewController* screen(id self) { return static_cast<MainViewController*>(self); }

// Column numbers of the picker.
constexpr int64_t kSpeedColumn = 0;
constexpr int64_t kLockedColumn = 1;
constexpr int64_t kUnlockedColumn = 2;
constexpr double kShownPanelHeight = 382;

bool firstLanguageIsDutch() {
    auto languages = platform::locale::preferredLanguages();
    return !languages.empty() && languages.front() == "nl";
}

double screenHeight() {
    id mainScreen = msgSend<id>(objc::objc_getClass("UIScreen"), SEL_("mainScreen"));
    return msgSend<CGRect>(mainScreen, SEL_("bounds")).size.height;
}

// --- creation --------------------------------------------------------------------------------

id initWithNibName(id self, SEL cmd, std::string nibName, id bundle) {
    self = objc::msgSendSuper<id>(platform::UIViewController::cls(), self, cmd, nibName, bundle);
    if (self != nullptr) msgSend(self, SEL_("initDictionary"));
    return self;
}

void initDictionary(id self, SEL) {
    auto* s = screen(self);
    if (platform::device::fileExists(kPanePreferencesPath)) {
        s->preferences =
            platform::plist::readDictionary(platform::device::resolve(kPanePreferencesPath));
    } else {
        s->preferences = Dictionary{};
    }
}

std::optional<std::string> NSLocalizedStringEx(id self, SEL, std::string key) {
    const auto& table = screen(self)->translations;
    if (!table) return std::nullopt;
    auto it = table->find(key);
    if (it == table->end() || it->second.string() == nullptr) return std::nullopt;
    return *it->second.string();
}

std::string translated(id self, const char* key) {
    return msgSend<std::optional<std::string>>(self, SEL_("NSLocalizedStringEx:"), std::string(key))
        .value_or("");
}

void viewDidLoad(id self, SEL cmd) {
    objc::msgSendSuper(platform::UIViewController::cls(), self, cmd);
    auto* s = screen(self);
    s->wavePaternLocked = {"1 wave", "2 waves", "3 waves"};
    s->wavePaternUnLocked = {"1 wave", "2 waves"};
    const bool dutch = firstLanguageIsDutch();
    s->waveSpeed = dutch ? std::vector<std::string>{"Traag", "Normaal", "Snel"}
                         : std::vector<std::string>{"Slow", "Medium", "Fast"};

    CGRect panel = msgSend<CGRect>(s->pickerViewContainer, SEL_("frame"));
    panel.origin.y = screenHeight();
    msgSend(s->pickerViewContainer, SEL_("setFrame:"), panel);

    const std::string path =
        platform::format("%@/%@.lproj/Localizable.strings", kPaneBundlePath, dutch ? "nl" : "Base");
    s->translations.reset();
    if (auto table = platform::plist::readDictionary(platform::device::resolve(path))) {
        // Only texts are translations.
        Dictionary strings;
        for (auto& [k, v] : *table)
            if (v.string()) strings.emplace(k, v);
        s->translations = std::move(strings);
    }

    s->pickerLockedStateIndex = -1;
    s->pickerUnlockedStateIndex = -1;
    s->pickerSpeedIndex = -1;
    if (s->preferences) {
        const Dictionary* prefs = &*s->preferences;
        msgSend(s->IsOn, SEL_("setOn:animated:"), FK_HDTools::boolForKey("IsOn", true, prefs),
                false);
        msgSend(s->useSpeakerHeadset, SEL_("setOn:animated:"),
                FK_HDTools::boolForKey("UseSpeakerWithHeadsetPlugedIn", false, prefs), false);
        msgSend(s->useLatestDetectionAlgorithm, SEL_("setOn:animated:"),
                FK_HDTools::boolForKey("UseLatestDetectionSystem", true, prefs), false);
        s->pickerLockedStateIndex = FK_HDTools::intForKey("WaveProtocolLocked", -1, prefs);
        s->pickerUnlockedStateIndex = FK_HDTools::intForKey("WaveProtocolUnlocked", -1, prefs);
        s->pickerSpeedIndex = FK_HDTools::intForKey("WaveProtocolSpeed", -1, prefs);
    }
    msgSend(self, SEL_("calculateSetupButtonText"));
}

void viewWillAppear(id self, SEL cmd, bool animated) {
    objc::msgSendSuper(platform::UIViewController::cls(), self, cmd, animated);
}

// --- storing ---------------------------------------------------------------------------------

void writePreferencesToFile(id self, SEL) {
    const auto& prefs = screen(self)->preferences;
    if (prefs)
        platform::plist::writeXmlAtomically(Value(*prefs),
                                            platform::device::resolve(kPanePreferencesPath));
    platform::CFNotificationCenterPostNotification(
        platform::CFNotificationCenterGetDarwinNotifyCenter(), kPaneSettingsChangedNotification,
        nullptr, nullptr, true);
}

void setObjectForKeyInPreferences(id self, SEL, id object, std::string key) {
    auto& prefs = screen(self)->preferences;
    if (prefs && object != nullptr && objc::isKindOfClass(object, platform::NSNumber::cls())) {
        (*prefs)[key] = static_cast<platform::NSNumber*>(object)->value();
    }
    msgSend(self, SEL_("writePreferencesToFile"));
}

void storeSwitch(id self, id theSwitch, const char* key) {
    auto& prefs = screen(self)->preferences;
    if (!prefs) return;
    (*prefs)[key] = Value(msgSend<bool>(theSwitch, SEL_("isOn")));
    msgSend(self, SEL_("writePreferencesToFile"));
}

void IsOnSwitched(id self, SEL, id) { storeSwitch(self, screen(self)->IsOn, "IsOn"); }
void headsetSwitched(id self, SEL, id) {
    storeSwitch(self, screen(self)->useSpeakerHeadset, "UseSpeakerWithHeadsetPlugedIn");
}
void LatestDetectionAlgorithmSwitched(id self, SEL, id) {
    storeSwitch(self, screen(self)->useLatestDetectionAlgorithm, "UseLatestDetectionSystem");
}

// --- alerts and promotion ------------------------------------------------------------------------

void showAlert(id self, const char* titleKey, const char* messageKey) {
    // Shown, the alert belongs to the window.
    auto alert = objc::adopt(
        msgSend<id>(msgSend<id>(objc::objc_getClass("UIAlertView"), SEL_("alloc")),
                    SEL_("initWithTitle:message:delegate:cancelButtonTitle:otherButtonTitles:"),
                    translated(self, titleKey), translated(self, messageKey), id{nullptr},
                    std::string("OK"), id{nullptr}));
    msgSend(alert, SEL_("setDelegate:"), self);
    msgSend(alert, SEL_("show"));
}

void headsetInfo(id self, SEL, id) { showAlert(self, "HEADSET_ALERT_HEADER", "HEADSET_ALERT_MSG"); }
void moreInfoTap(id self, SEL, id) { showAlert(self, "ORVELLA_TXT", "MOREINFO_ALERT_MSG"); }
void infoTap(id self, SEL, id) { showAlert(self, "INFO_ALERT_HEADER", "INFO_ALERT_MSG"); }

void fennickTouchUpInside(id, SEL, id) {
    id url = msgSend<id>(objc::objc_getClass("NSURL"), SEL_("URLWithString:"),
                         std::string(kPromotionURL));
    id app = msgSend<id>(objc::objc_getClass("UIApplication"), SEL_("sharedApplication"));
    msgSend<bool>(app, SEL_("openURL:"), url);
}

// --- setup buttons and the picker
// ------------------------------------------------------------------

void calculateSetupButtonText(id self, SEL) {
    auto* s = screen(self);
    std::string locked = "(tap here)", unlocked = "(tap here)", speed = "(tap here)";
    static const char* waves[] = {"ONCE", "TWICE", "THRICE"};
    static const char* speeds[] = {"SLOW", "MEDIUM", "FAST"};
    if (s->pickerLockedStateIndex >= 0 && s->pickerLockedStateIndex <= 2) {
        locked = translated(self, waves[s->pickerLockedStateIndex]);
    }
    if (s->pickerUnlockedStateIndex >= 0 && s->pickerUnlockedStateIndex <= 1) {
        unlocked = translated(self, waves[s->pickerUnlockedStateIndex]);
    }
    if (s->pickerSpeedIndex >= 0 && s->pickerSpeedIndex <= 2)
        speed = translated(self, speeds[s->pickerSpeedIndex]);
    msgSend(s->btn4, SEL_("setTitle:forState:"), locked, int64_t{platform::UIControlStateNormal});
    msgSend(s->btn6, SEL_("setTitle:forState:"), unlocked, int64_t{platform::UIControlStateNormal});
    msgSend(s->btn2, SEL_("setTitle:forState:"), speed, int64_t{platform::UIControlStateNormal});
}

void movePanelTo(id panel, double y) {
    CGRect frame = msgSend<CGRect>(panel, SEL_("frame"));
    frame.origin.y = y;
    platform::animateWithDuration(
        0.5, 0, 0, [panel, frame] { msgSend(panel, SEL_("setFrame:"), frame); }, [](bool) {});
}

// A stored choice outside its column's rows (a file the pane did not write) preselects like no
// choice at all, so the picker always opens on a row it has.
int64_t rowOrDefault(int32_t choice, size_t rows, int64_t fallback) {
    return choice >= 0 && static_cast<size_t>(choice) < rows ? choice : fallback;
}

void showPickerView(id self, SEL, id) {
    auto* s = screen(self);
    const double shown = screenHeight() - kShownPanelHeight;
    if (msgSend<CGRect>(s->pickerViewContainer, SEL_("frame")).origin.y == shown) return;
    msgSend(s->pickerView, SEL_("selectRow:inComponent:animated:"),
            rowOrDefault(s->pickerLockedStateIndex, s->wavePaternLocked.size(), 1), kLockedColumn,
            true);
    msgSend(s->pickerView, SEL_("selectRow:inComponent:animated:"),
            rowOrDefault(s->pickerUnlockedStateIndex, s->wavePaternUnLocked.size(), 0),
            kUnlockedColumn, true);
    msgSend(s->pickerView, SEL_("selectRow:inComponent:animated:"),
            rowOrDefault(s->pickerSpeedIndex, s->waveSpeed.size(), 1), kSpeedColumn, true);
    movePanelTo(s->pickerViewContainer, shown);
}

void hidePicker(id self, SEL) { movePanelTo(screen(self)->pickerViewContainer, screenHeight()); }

void donePickerView(id self, SEL, id) {
    auto* s = screen(self);
    msgSend(self, SEL_("hidePicker"));
    s->pickerLockedStateIndex = static_cast<int32_t>(
        msgSend<int64_t>(s->pickerView, SEL_("selectedRowInComponent:"), kLockedColumn));
    s->pickerUnlockedStateIndex = static_cast<int32_t>(
        msgSend<int64_t>(s->pickerView, SEL_("selectedRowInComponent:"), kUnlockedColumn));
    s->pickerSpeedIndex = static_cast<int32_t>(
        msgSend<int64_t>(s->pickerView, SEL_("selectedRowInComponent:"), kSpeedColumn));
    if (s->preferences) {
        (*s->preferences)["WaveProtocolLocked"] = Value(s->pickerLockedStateIndex);
        (*s->preferences)["WaveProtocolUnlocked"] = Value(s->pickerUnlockedStateIndex);
        (*s->preferences)["WaveProtocolSpeed"] = Value(s->pickerSpeedIndex);
        msgSend(self, SEL_("writePreferencesToFile"));
    }
    msgSend(self, SEL_("calculateSetupButtonText"));
}

void cancelPickerView(id self, SEL, id) { msgSend(self, SEL_("hidePicker")); }

void AbleWarning(id self, SEL, bool hideWarning) {
    auto* s = screen(self);
    msgSend(s->warningImgView, SEL_("setHidden:"), hideWarning);
    msgSend(s->warningLbl, SEL_("setHidden:"), hideWarning);
    msgSend(s->infoButton, SEL_("setHidden:"), !hideWarning);
}

const std::vector<std::string>* column(MainViewController* s, int64_t component) {
    switch (component) {
        case kSpeedColumn:
            return &s->waveSpeed;
        case kLockedColumn:
            return &s->wavePaternLocked;
        case kUnlockedColumn:
            return &s->wavePaternUnLocked;
        default:
            return nullptr;
    }
}

int64_t numberOfComponents(id, SEL, id) { return 3; }

int64_t numberOfRows(id self, SEL, id, int64_t component) {
    const auto* rows = column(screen(self), component);
    return rows ? static_cast<int64_t>(rows->size()) : 0;
}

std::string titleForRow(id self, SEL, id, int64_t row, int64_t component) {
    const auto* rows = column(screen(self), component);
    if (rows == nullptr || row < 0 || static_cast<size_t>(row) >= rows->size()) return "";
    return (*rows)[static_cast<size_t>(row)];
}

void didSelectRow(id self, SEL, id, int64_t row, int64_t component) {
    if (component == kLockedColumn) msgSend(self, SEL_("AbleWarning:"), row != 0);
}

// --- accessors -----------------------------------------------------------------------------------

id delegate_get(id self, SEL) { return screen(self)->delegate; }
void delegate_set(id self, SEL, id d) { screen(self)->delegate = d; }
std::vector<std::string> locked_get(id self, SEL) { return screen(self)->wavePaternLocked; }
std::vector<std::string> unlocked_get(id self, SEL) { return screen(self)->wavePaternUnLocked; }
std::vector<std::string> speed_get(id self, SEL) { return screen(self)->waveSpeed; }

template <objc::Strong<objc::Object> MainViewController::*Field>
void setOutlet(id self, SEL, id value) {
    screen(self)->*Field = objc::retained(value);
}

// The screen's own methods: creation, the switches, the alerts, storing, the setup buttons and
// the picker's panel.
void addScreenMethods(objc::Class k) {
    objc::addMethod(k, SEL_("initWithNibName:bundle:"), &initWithNibName);
    objc::addMethod(k, SEL_("initDictionary"), &initDictionary);
    objc::addMethod(k, SEL_("NSLocalizedStringEx:"), &NSLocalizedStringEx);
    objc::addMethod(k, SEL_("viewDidLoad"), &viewDidLoad);
    objc::addMethod(k, SEL_("viewWillAppear:"), &viewWillAppear);
    objc::addMethod(k, SEL_("IsOnSwitched:"), &IsOnSwitched);
    objc::addMethod(k, SEL_("headsetSwitched:"), &headsetSwitched);
    objc::addMethod(k, SEL_("LatestDetectionAlgorithmSwitched:"),
                    &LatestDetectionAlgorithmSwitched);
    objc::addMethod(k, SEL_("headsetInfo:"), &headsetInfo);
    objc::addMethod(k, SEL_("moreInfoTap:"), &moreInfoTap);
    objc::addMethod(k, SEL_("infoTap:"), &infoTap);
    objc::addMethod(k, SEL_("fennickTouchUpInside:"), &fennickTouchUpInside);
    objc::addMethod(k, SEL_("writePreferencesToFile"), &writePreferencesToFile);
    objc::addMethod(k, SEL_("setObjectForKeyInPreferences:ForKey:"), &setObjectForKeyInPreferences);
    objc::addMethod(k, SEL_("calculateSetupButtonText"), &calculateSetupButtonText);
    objc::addMethod(k, SEL_("showPickerView:"), &showPickerView);
    objc::addMethod(k, SEL_("hidePicker"), &hidePicker);
    objc::addMethod(k, SEL_("donePickerView:"), &donePickerView);
    objc::addMethod(k, SEL_("cancelPickerView:"), &cancelPickerView);
    objc::addMethod(k, SEL_("AbleWarning:"), &AbleWarning);
}

// The screen as the picker's data source and delegate.
void addPickerMethods(objc::Class k) {
    objc::addMethod(k, SEL_("numberOfComponentsInPickerView:"), &numberOfComponents);
    objc::addMethod(k, SEL_("pickerView:numberOfRowsInComponent:"), &numberOfRows);
    objc::addMethod(k, SEL_("pickerView:titleForRow:forComponent:"), &titleForRow);
    objc::addMethod(k, SEL_("pickerView:didSelectRow:inComponent:"), &didSelectRow);
}

// The pane host's delegate, the picker's texts, and the outlets the interface file sets.
void addProperties(objc::Class k) {
    objc::addMethod(k, SEL_("delegate"), &delegate_get);
    objc::addMethod(k, SEL_("setDelegate:"), &delegate_set);
    objc::addMethod(k, SEL_("wavePaternLocked"), &locked_get);
    objc::addMethod(k, SEL_("wavePaternUnLocked"), &unlocked_get);
    objc::addMethod(k, SEL_("waveSpeed"), &speed_get);
    objc::addMethod(k, SEL_("setScrollView:"), &setOutlet<&MainViewController::scrollView>);
    objc::addMethod(k, SEL_("setIsOn:"), &setOutlet<&MainViewController::IsOn>);
    objc::addMethod(k, SEL_("setUseSpeakerHeadset:"),
                    &setOutlet<&MainViewController::useSpeakerHeadset>);
    objc::addMethod(k, SEL_("setUseLatestDetectionAlgorithm:"),
                    &setOutlet<&MainViewController::useLatestDetectionAlgorithm>);
    objc::addMethod(k, SEL_("setInfoButtonUseSpeakerHeadset:"),
                    &setOutlet<&MainViewController::infoButtonUseSpeakerHeadset>);
    objc::addMethod(k, SEL_("setInfoButton:"), &setOutlet<&MainViewController::infoButton>);
    objc::addMethod(k, SEL_("setPickerView:"), &setOutlet<&MainViewController::pickerView>);
    objc::addMethod(k, SEL_("setPickerViewContainer:"),
                    &setOutlet<&MainViewController::pickerViewContainer>);
    objc::addMethod(k, SEL_("setWarningImgView:"), &setOutlet<&MainViewController::warningImgView>);
    objc::addMethod(k, SEL_("setWarningLbl:"), &setOutlet<&MainViewController::warningLbl>);
    objc::addMethod(k, SEL_("setBtn2:"), &setOutlet<&MainViewController::btn2>);
    objc::addMethod(k, SEL_("setBtn4:"), &setOutlet<&MainViewController::btn4>);
    objc::addMethod(k, SEL_("setBtn6:"), &setOutlet<&MainViewController::btn6>);
    // What each outlet holds, so an interface file binding another kind of view to one is
    // refused when it loads rather than failing when the screen first uses it.
    for (auto [outlet, viewClass] : {std::pair{"scrollView", "UIScrollView"},
                                     {"IsOn", "UISwitch"},
                                     {"useSpeakerHeadset", "UISwitch"},
                                     {"useLatestDetectionAlgorithm", "UISwitch"},
                                     {"infoButtonUseSpeakerHeadset", "UIButton"},
                                     {"infoButton", "UIButton"},
                                     {"pickerView", "UIPickerView"},
                                     {"pickerViewContainer", "UIView"},
                                     {"warningImgView", "UIImageView"},
                                     {"warningLbl", "UILabel"},
                                     {"btn2", "UIButton"},
                                     {"btn4", "UIButton"},
                                     {"btn6", "UIButton"}}) {
        objc::class_addProperty(k, outlet, std::string("T@\"") + viewClass + "\",&,N");
    }
    objc::class_addProperty(k, "delegate", "T@\"<PreferencesControllerDelegate>\",&");
}

}  // namespace

objc::Class MainViewController::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<MainViewController>(
            "MainViewController", platform::UIViewController::cls());
        addScreenMethods(k);
        addPickerMethods(k);
        addProperties(k);
        return k;
    }();
    return c;
}
