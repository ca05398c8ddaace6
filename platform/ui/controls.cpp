#include "platform/ui/controls.h"

#include "platform/core/process_state.h"
#include "platform/core/recent_records.h"
#include "platform/core/trace.h"
#include "platform/loop/runloop.h"
#include "platform/ui/application.h"
#include "platform/ui/testing.h"

namespace platform {

using objc::id;
using objc::msgSend;
using objc::SEL;

namespace {

template <class T>
T* as(id self) {
    return static_cast<T*>(self);
}

// --- UISwitch ------------------------------------------------------------------------------------

bool switch_isOn(id self, SEL) { return as<UISwitch>(self)->on; }
void switch_setOn(id self, SEL, bool on, bool) { as<UISwitch>(self)->on = on; }
void switch_addTarget(id self, SEL, id target, SEL action) {
    as<UISwitch>(self)->target = target;
    as<UISwitch>(self)->action = action;
}

// --- UIPickerView --------------------------------------------------------------------------------

id picker_dataSource(id self, SEL) { return as<UIPickerView>(self)->dataSource; }
void picker_setDataSource(id self, SEL, id ds) { as<UIPickerView>(self)->dataSource = ds; }
id picker_delegate(id self, SEL) { return as<UIPickerView>(self)->delegate; }
void picker_setDelegate(id self, SEL, id d) { as<UIPickerView>(self)->delegate = d; }

void picker_selectRow(id self, SEL, int64_t row, int64_t component, bool) {
    auto* p = as<UIPickerView>(self);
    if (component < 0 || component >= p->numberOfComponents()) return;
    if (row < 0 || row >= p->numberOfRows(component)) return;  // no such row: nothing moves
    if (p->selected.size() <= static_cast<size_t>(component))
        p->selected.resize(static_cast<size_t>(component) + 1, 0);
    p->selected[static_cast<size_t>(component)] = row;
}

int64_t picker_selectedRow(id self, SEL, int64_t component) {
    auto* p = as<UIPickerView>(self);
    if (component < 0 || component >= p->numberOfComponents()) return -1;
    return static_cast<size_t>(component) < p->selected.size()
               ? p->selected[static_cast<size_t>(component)]
               : 0;
}

// --- UIAlertView ---------------------------------------------------------------------------------

// The window's alerts, oldest first; it keeps each one while it is shown.
std::vector<objc::Strong<UIAlertView>>& alerts() {
    static auto* a = new std::vector<objc::Strong<UIAlertView>>();
    return *a;
}

id alert_init(id self, SEL, std::string title, std::string message, id delegate, std::string cancel,
              id) {
    auto* a = as<UIAlertView>(self);
    a->title = std::move(title);
    a->message = std::move(message);
    a->delegate = delegate;
    if (!cancel.empty()) a->buttonTitles.push_back(std::move(cancel));
    return self;
}
void alert_setDelegate(id self, SEL, id d) { as<UIAlertView>(self)->delegate = d; }
void alert_show(id self, SEL) {
    auto* a = as<UIAlertView>(self);
    if (a->visible) return;
    a->visible = true;
    if (alerts().size() >= kRecentRecords) alerts().front()->visible = false;
    keepRecent(alerts(), objc::retained(a));
    if (tracing()) {
        std::string buttons;
        for (const auto& b : a->buttonTitles) buttons += (buttons.empty() ? "" : ", ") + b;
        trace(events::AlertShown{a->title, a->message, a->buttonTitles});
    }
}

// --- UIScrollView --------------------------------------------------------------------------------

CGSize scroll_contentSize(id self, SEL) { return as<UIScrollView>(self)->contentSize; }
void scroll_setContentSize(id self, SEL, CGSize s) { as<UIScrollView>(self)->contentSize = s; }
CGPoint scroll_contentOffset(id self, SEL) { return as<UIScrollView>(self)->contentOffset; }
void scroll_setContentOffset(id self, SEL, CGPoint p) { as<UIScrollView>(self)->contentOffset = p; }
void scroll_setContentOffsetAnimated(id self, SEL, CGPoint p, bool) {
    as<UIScrollView>(self)->contentOffset = p;
}

std::vector<AnimationRecord>& animations() {
    static auto* log = new std::vector<AnimationRecord>();
    return *log;
}

}  // namespace

// --- Classes -------------------------------------------------------------------------------------

objc::Class UISwitch::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UISwitch>("UISwitch", UIView::cls());
        objc::addMethod(k, SEL_("isOn"), &switch_isOn);
        objc::addMethod(k, SEL_("setOn:animated:"), &switch_setOn);
        objc::addMethod(k, SEL_("addTarget:action:"), &switch_addTarget);
        return k;
    }();
    return c;
}

int64_t UIPickerView::numberOfComponents() const {
    return msgSend<int64_t>(dataSource, SEL_("numberOfComponentsInPickerView:"),
                            static_cast<id>(const_cast<UIPickerView*>(this)));
}
int64_t UIPickerView::numberOfRows(int64_t component) const {
    return msgSend<int64_t>(dataSource, SEL_("pickerView:numberOfRowsInComponent:"),
                            static_cast<id>(const_cast<UIPickerView*>(this)), component);
}
std::string UIPickerView::title(int64_t row, int64_t component) const {
    // The delegate's titles are its choice: without them a row has no title.
    SEL sel = SEL_("pickerView:titleForRow:forComponent:");
    if (!objc::respondsToSelector(delegate, sel)) return "";
    return msgSend<std::string>(delegate, sel, static_cast<id>(const_cast<UIPickerView*>(this)),
                                row, component);
}

objc::Class UIPickerView::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIPickerView>("UIPickerView", UIView::cls());
        objc::addMethod(k, SEL_("dataSource"), &picker_dataSource);
        objc::addMethod(k, SEL_("setDataSource:"), &picker_setDataSource);
        objc::addMethod(k, SEL_("delegate"), &picker_delegate);
        objc::addMethod(k, SEL_("setDelegate:"), &picker_setDelegate);
        objc::addMethod(k, SEL_("selectRow:inComponent:animated:"), &picker_selectRow);
        objc::addMethod(k, SEL_("selectedRowInComponent:"), &picker_selectedRow);
        return k;
    }();
    return c;
}

objc::Class UIScrollView::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIScrollView>("UIScrollView", UIView::cls());
        objc::addMethod(k, SEL_("contentSize"), &scroll_contentSize);
        objc::addMethod(k, SEL_("setContentSize:"), &scroll_setContentSize);
        objc::addMethod(k, SEL_("contentOffset"), &scroll_contentOffset);
        objc::addMethod(k, SEL_("setContentOffset:"), &scroll_setContentOffset);
        objc::addMethod(k, SEL_("setContentOffset:animated:"), &scroll_setContentOffsetAnimated);
        return k;
    }();
    return c;
}

objc::Class UIAlertView::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIAlertView>("UIAlertView", UIView::cls());
        objc::addMethod(k,
                        SEL_("initWithTitle:message:delegate:cancelButtonTitle:otherButtonTitles:"),
                        &alert_init);
        objc::addMethod(k, SEL_("setDelegate:"), &alert_setDelegate);
        objc::addMethod(k, SEL_("show"), &alert_show);
        return k;
    }();
    return c;
}

void registerControlClasses() {
    registerUIKitClasses();
    UISwitch::cls();
    UIPickerView::cls();
    UIScrollView::cls();
    UIAlertView::cls();
    NSURL::cls();
    UIApplication::cls();
}

// --- What a user does ----------------------------------------------------------------------------

namespace {

// The label a person reads as the switch's name: a label of the same parent whose frame spans
// the switch's vertical middle.
std::string labelBeside(const UIView* v) {
    if (v->superview == nullptr) return "";
    const double middle = v->frame.origin.y + v->frame.size.height / 2;
    for (const auto& sibling : v->superview->subviews) {
        if (sibling.get() == v || !objc::isKindOfClass(sibling.get(), UILabel::cls())) continue;
        const CGRect& f = sibling->frame;
        if (f.origin.y <= middle && middle <= f.origin.y + f.size.height)
            return static_cast<const UILabel*>(sibling.get())->text;
    }
    return "";
}

}  // namespace

void setSwitchByUser(id s, bool on) {
    if (s == nullptr || !objc::isKindOfClass(s, UISwitch::cls())) return;
    auto* sw = as<UISwitch>(s);
    sw->on = on;
    if (tracing()) trace(events::SwitchFlipped{sw->tag, on, labelBeside(sw)});
    if (sw->target != nullptr && sw->action != nullptr) msgSend(sw->target, sw->action, s);
}

void spinPicker(id picker, int64_t row, int64_t component) {
    if (picker == nullptr || !objc::isKindOfClass(picker, UIPickerView::cls())) return;
    auto* p = as<UIPickerView>(picker);
    if (component < 0 || component >= p->numberOfComponents() || row < 0 ||
        row >= p->numberOfRows(component))
        return;
    msgSend(picker, SEL_("selectRow:inComponent:animated:"), row, component, true);
    if (tracing()) {
        trace(events::PickerTurned{component, p->title(row, component)});
    }
    SEL sel = SEL_("pickerView:didSelectRow:inComponent:");
    if (objc::respondsToSelector(p->delegate, sel))
        msgSend(p->delegate, sel, picker, row, component);
}

std::vector<UIAlertView*> visibleAlerts() { return {alerts().begin(), alerts().end()}; }

void tapAlertButton(int64_t index) {
    if (alerts().empty()) return;
    UIAlertView* front = alerts().front();
    if (index < 0 || static_cast<size_t>(index) >= front->buttonTitles.size()) return;
    // Off the window first; held until its delegate has been told.
    objc::Strong<UIAlertView> a = std::move(alerts().front());
    alerts().erase(alerts().begin());
    a->visible = false;
    if (tracing()) trace(events::AlertClosed{a->buttonTitles[static_cast<size_t>(index)]});
    SEL sel = SEL_("alertView:clickedButtonAtIndex:");
    if (objc::respondsToSelector(a->delegate, sel))
        msgSend(a->delegate, sel, static_cast<id>(a.get()), index);
}

void animateWithDuration(double duration, double delay, int64_t options,
                         const std::function<void()>& animations,
                         const std::function<void(bool)>& completion) {
    keepRecent(platform::animations(), AnimationRecord{duration, delay, options});
    if (animations) animations();
    if (completion) RunLoop::main().schedule(0, [completion] { completion(true); });
}

const std::vector<AnimationRecord>& animationLog() { return animations(); }

void state::resetControls() {
    // Swapped out first: a released alert's dealloc may show or close another.
    std::vector<objc::Strong<UIAlertView>> shown;
    shown.swap(alerts());
    for (auto& a : shown) a->visible = false;
    shown.clear();
    animations().clear();
}

}  // namespace platform
