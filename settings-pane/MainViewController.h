// The settings screen: three switches, three setup buttons that open the wave-protocol picker,
// information alerts and a promotion button. Every change is stored in the in-memory copy of
// the settings file, the whole copy is written back atomically and the tweak is told.
//
// Runtime messages: initWithNibName:bundle:, initDictionary, NSLocalizedStringEx:
// (std::string -> std::optional<std::string>), viewDidLoad, viewWillAppear:, the switch actions
// IsOnSwitched: headsetSwitched: LatestDetectionAlgorithmSwitched:, the alert actions
// headsetInfo: moreInfoTap: infoTap:, fennickTouchUpInside:, writePreferencesToFile,
// setObjectForKeyInPreferences:ForKey: (id, std::string), calculateSetupButtonText,
// showPickerView: hidePicker donePickerView: cancelPickerView: AbleWarning: (bool), the picker
// data source and delegate, and accessors for delegate and the three row lists. Every outlet
// has its setter (setIsOn:, setBtn2:, ...) for the interface file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/viewcontroller.h"
#include "platform/values/value.h"

class MainViewController : public platform::UIViewController {
  public:
    static objc::Class cls();

    int32_t pickerLockedStateIndex = -1;
    int32_t pickerUnlockedStateIndex = -1;
    int32_t pickerSpeedIndex = -1;
    objc::id delegate = nullptr;  // the pane host; not retained, the host holds this screen
    // Outlets.
    objc::Strong<objc::Object> scrollView;
    objc::Strong<objc::Object> IsOn;
    objc::Strong<objc::Object> useSpeakerHeadset;
    objc::Strong<objc::Object> useLatestDetectionAlgorithm;
    objc::Strong<objc::Object> infoButtonUseSpeakerHeadset;
    objc::Strong<objc::Object> infoButton;
    objc::Strong<objc::Object> pickerView;
    objc::Strong<objc::Object> pickerViewContainer;
    objc::Strong<objc::Object> warningImgView;
    objc::Strong<objc::Object> warningLbl;
    objc::Strong<objc::Object> btn2;
    objc::Strong<objc::Object> btn4;
    objc::Strong<objc::Object> btn6;
    std::optional<platform::Dictionary> translations;
    std::optional<platform::Dictionary> preferences;
    std::vector<std::string> wavePaternLocked;
    std::vector<std::string> wavePaternUnLocked;
    std::vector<std::string> waveSpeed;
};

// Where the pane keeps the settings (on the phone the tweak reaches it as /User/...).
inline constexpr const char* kPanePreferencesPath =
    "/var/mobile/Library/Preferences/com.brelkin.Orvella.plist";
// What the tweak listens for after the file changed. The pane keeps its own copy of this name
// and of the file's: the two deliverables share them, never code.
inline constexpr const char* kPaneSettingsChangedNotification =
    "com.brelkin.Orvella.settingschanged";
// The pane's bundle, relative to the Settings application's working directory.
inline constexpr const char* kPaneBundlePath = "Library/PreferenceBundles/Orvella_Prefs.bundle";
// The maker's other package, offered by the promotion button.
inline constexpr const char* kPromotionURL = "cydia://package/com.brelkin.flipsilence";
