// Controls: switches, pickers, alerts, scroll views and view animations, and what a user does
// with them.
//
// Runtime messages (types in brackets):
//   UISwitch        isOn, setOn:animated: (bool, bool)       user change: setSwitchByUser
//   UIPickerView    dataSource/setDataSource: (id), delegate/setDelegate: (id),
//                   selectRow:inComponent:animated: (int64_t, int64_t, bool),
//                   selectedRowInComponent: (int64_t) -> int64_t      user change: spinPicker
//     asks its data source numberOfComponentsInPickerView: -> int64_t and
//     pickerView:numberOfRowsInComponent: (id, int64_t) -> int64_t, its delegate
//     pickerView:titleForRow:forComponent: (id, int64_t, int64_t) -> std::string and tells it
//     pickerView:didSelectRow:inComponent: (id, int64_t, int64_t) after a user's spin only.
//   UIAlertView     initWithTitle:message:delegate:cancelButtonTitle:otherButtonTitles:
//                   (std::string, std::string, id, std::string, id), setDelegate: (id), show
//   UIScrollView    a view with contentSize/setContentSize: (CGSize),
//                   contentOffset/setContentOffset: (CGPoint), setContentOffset:animated:
//                   (CGPoint, bool); clips to its bounds unless told otherwise
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ui/views.h"

namespace platform {

class UISwitch : public UIView {
  public:
    static objc::Class cls();
    bool on = false;
    objc::id target = nullptr;  // value-changed action; not retained, as with every target
    objc::SEL action = nullptr;
};

class UIPickerView : public UIView {
  public:
    static objc::Class cls();
    objc::id dataSource = nullptr;  // not retained
    objc::id delegate = nullptr;    // not retained
    std::vector<int64_t> selected;  // per component
    int64_t numberOfComponents() const;
    int64_t numberOfRows(int64_t component) const;
    std::string title(int64_t row, int64_t component) const;
};

class UIScrollView : public UIView {
  public:
    static objc::Class cls();
    UIScrollView() { clipsToBounds = true; }
    CGSize contentSize;
    CGPoint contentOffset;  // the content's point shown at the top-left corner
};

class UIAlertView : public UIView {
  public:
    static objc::Class cls();
    std::string title;
    std::string message;
    std::vector<std::string> buttonTitles;  // the cancel button first
    objc::id delegate = nullptr;            // not retained
    bool visible = false;
};

// --- What a user does ---------------------------------------------------------------------------

// Flips a switch as a finger does: the value changes, then its action is sent.
void setSwitchByUser(objc::id aSwitch, bool on);
// Turns a picker column to a row as a finger does: the selection changes, then the delegate is
// told. Rows outside the column are ignored.
void spinPicker(objc::id picker, int64_t row, int64_t component);
// Alerts being shown, oldest first. The window holds the most recent kRecentRecords
// (recent_records.h); showing one more drops the oldest unseen, without telling its delegate.
std::vector<UIAlertView*> visibleAlerts();
// Taps a button of the front alert; it closes and its delegate is told if it listens.
void tapAlertButton(int64_t index);

// --- Animations ---------------------------------------------------------------------------------

// +[UIView animateWithDuration:delay:options:animations:completion:]. The model values change
// at once (the animations closure runs now); the completion runs on the next pass.
void animateWithDuration(double duration, double delay, int64_t options,
                         const std::function<void()>& animations,
                         const std::function<void(bool)>& completion);

// Registers the view classes, the controls, NSURL and UIApplication by name.
void registerControlClasses();

}  // namespace platform
