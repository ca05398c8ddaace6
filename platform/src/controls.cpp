#include "platform/controls.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "platform/device.h"
#include "platform/foundation.h"
#include "platform/plist.h"
#include "platform/runloop.h"
#include "platform/trace.h"

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

std::vector<UIAlertView*>& alerts() {
    static auto* a = new std::vector<UIAlertView*>();
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
    objc::objc_retain(a);  // the window keeps it while shown
    alerts().push_back(a);
    if (tracing()) {
        std::string buttons;
        for (const auto& b : a->buttonTitles) buttons += (buttons.empty() ? "" : ", ") + b;
        trace(events::AlertShown{a->title, a->message, a->buttonTitles});
    }
}

// --- UIScrollView
// ----------------------------------------------------------------------------------

CGSize scroll_contentSize(id self, SEL) { return as<UIScrollView>(self)->contentSize; }
void scroll_setContentSize(id self, SEL, CGSize s) { as<UIScrollView>(self)->contentSize = s; }
CGPoint scroll_contentOffset(id self, SEL) { return as<UIScrollView>(self)->contentOffset; }
void scroll_setContentOffset(id self, SEL, CGPoint p) { as<UIScrollView>(self)->contentOffset = p; }
void scroll_setContentOffsetAnimated(id self, SEL, CGPoint p, bool) {
    as<UIScrollView>(self)->contentOffset = p;
}

// --- UIViewController
// --------------------------------------------------------------------------------

id vc_initWithNib(id self, SEL, std::string name, id bundle) {
    auto* vc = as<UIViewController>(self);
    vc->nibName = std::move(name);
    vc->nibBundle = objc::objc_retain(bundle);
    return self;
}

id vc_view(id self, SEL) {
    auto* vc = as<UIViewController>(self);
    if (vc->view != nullptr) return vc->view;
    if (!vc->nibName.empty()) {
        std::string dir = vc->nibBundle ? as<NSBundle>(vc->nibBundle)->bundlePath : std::string();
        std::string path = device::appendPathComponent(dir, vc->nibName + ".nib");
        NibResult r = loadNib(path, self);
        if (r.root == nullptr) std::fprintf(stderr, "UIViewController: %s\n", r.error.c_str());
        vc->view = r.root;
    }
    if (vc->view == nullptr) {
        // No interface file (or a broken one): an empty view the size of the screen.
        vc->view = static_cast<UIView*>(objc::allocInit(UIView::cls()));
        vc->view->frame = CGRectMake(0, 0, 320, DeviceModel::shared().screenHeight());
    }
    msgSend(self, SEL_("viewDidLoad"));
    return vc->view;
}

bool vc_isViewLoaded(id self, SEL) { return as<UIViewController>(self)->view != nullptr; }
void vc_noop(id, SEL) {}
void vc_viewWillAppear(id, SEL, bool) {}
std::string vc_nibName(id self, SEL) { return as<UIViewController>(self)->nibName; }
id vc_nibBundle(id self, SEL) { return as<UIViewController>(self)->nibBundle; }

// --- NSBundle, NSURL, UIApplication
// ------------------------------------------------------------------

id bundle_withPath(id, SEL, std::string path) {
    struct stat st {};
    if (path.empty() || ::stat(device::resolve(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return nullptr;
    auto* b = static_cast<NSBundle*>(objc::class_createInstance(NSBundle::cls()));
    b->bundlePath = std::move(path);
    return objc::objc_autorelease(b);
}
std::string bundle_path(id self, SEL) { return as<NSBundle>(self)->bundlePath; }

id url_withString(id, SEL, std::string s) {
    if (s.empty()) return nullptr;
    auto* u = static_cast<NSURL*>(objc::class_createInstance(NSURL::cls()));
    u->absoluteString = std::move(s);
    return objc::objc_autorelease(u);
}
std::string url_absoluteString(id self, SEL) { return as<NSURL>(self)->absoluteString; }

class UIApplication : public objc::NSObject {};

objc::Class applicationClass() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<UIApplication>("UIApplication", objc::NSObject::cls());
        objc::addClassMethod(
            k, SEL_("sharedApplication"), +[](id self, SEL) -> id {
                static id app = [&] {
                    id a = objc::class_createInstance(static_cast<objc::Class>(self));
                    a->immortal = true;
                    return a;
                }();
                return app;
            });
        objc::addMethod(
            k, SEL_("openURL:"), +[](id, SEL, id url) {
                if (url == nullptr) return false;
                openedURLs().push_back(as<NSURL>(url)->absoluteString);
                if (tracing()) trace(events::URLOpened{as<NSURL>(url)->absoluteString});
                return true;
            });
        return k;
    }();
    return c;
}

}  // namespace

// --- Classes
// ---------------------------------------------------------------------------------------

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
    return msgSend<std::string>(delegate, SEL_("pickerView:titleForRow:forComponent:"),
                                static_cast<id>(const_cast<UIPickerView*>(this)), row, component);
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

UIViewController::~UIViewController() {
    objc::objc_release(view);
    objc::objc_release(nibBundle);
}

objc::Class UIViewController::cls() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<UIViewController>("UIViewController", objc::NSObject::cls());
        objc::addMethod(k, SEL_("initWithNibName:bundle:"), &vc_initWithNib);
        objc::addMethod(k, SEL_("view"), &vc_view);
        objc::addMethod(k, SEL_("isViewLoaded"), &vc_isViewLoaded);
        objc::addMethod(k, SEL_("viewDidLoad"), &vc_noop);
        objc::addMethod(k, SEL_("viewWillAppear:"), &vc_viewWillAppear);
        objc::addMethod(k, SEL_("nibName"), &vc_nibName);
        objc::addMethod(k, SEL_("nibBundle"), &vc_nibBundle);
        return k;
    }();
    return c;
}

objc::Class NSBundle::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<NSBundle>("NSBundle", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("bundleWithPath:"), &bundle_withPath);
        objc::addMethod(k, SEL_("bundlePath"), &bundle_path);
        return k;
    }();
    return c;
}

objc::Class NSURL::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<NSURL>("NSURL", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("URLWithString:"), &url_withString);
        objc::addMethod(k, SEL_("absoluteString"), &url_absoluteString);
        objc::addMethod(k, SEL_("description"), &url_absoluteString);
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
    UIViewController::cls();
    NSBundle::cls();
    NSURL::cls();
    applicationClass();
}

// --- What a user does
// ------------------------------------------------------------------------------

void setSwitchByUser(id s, bool on) {
    if (s == nullptr || !objc::isKindOfClass(s, UISwitch::cls())) return;
    auto* sw = as<UISwitch>(s);
    sw->on = on;
    if (tracing()) trace(events::SwitchFlipped{sw->tag, on});
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

std::vector<UIAlertView*> visibleAlerts() { return alerts(); }

void tapAlertButton(int64_t index) {
    if (alerts().empty()) return;
    UIAlertView* a = alerts().front();
    if (index < 0 || static_cast<size_t>(index) >= a->buttonTitles.size()) return;
    alerts().erase(alerts().begin());
    a->visible = false;
    if (tracing()) trace(events::AlertClosed{a->buttonTitles[static_cast<size_t>(index)]});
    SEL sel = SEL_("alertView:clickedButtonAtIndex:");
    if (objc::respondsToSelector(a->delegate, sel))
        msgSend(a->delegate, sel, static_cast<id>(a), index);
    objc::objc_release(a);
}

void animateWithDuration(double duration, double delay, int64_t options,
                         const std::function<void()>& animations,
                         const std::function<void(bool)>& completion) {
    animationLog().push_back({duration, delay, options});
    if (animations) animations();
    if (completion) RunLoop::main().schedule(0, [completion] { completion(true); });
}

std::vector<AnimationRecord>& animationLog() {
    static auto* log = new std::vector<AnimationRecord>();
    return *log;
}

std::vector<std::string>& openedURLs() {
    static auto* urls = new std::vector<std::string>();
    return *urls;
}

// --- Interface files
// -----------------------------------------------------------------------------------

namespace {

struct Connection {
    enum Kind { Outlet, Action, DataSource, Delegate } kind;
    UIView* view;
    std::string name;
    std::string element;
};

std::string setterFor(const std::string& outlet) {
    std::string s = "set" + outlet + ":";
    s[3] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[3])));
    return s;
}

class NibBuilder {
  public:
    NibBuilder(std::string file, std::string bundleDir)
        : file_(std::move(file)), bundleDir_(std::move(bundleDir)) {}

    UIView* build(const Value& element, const std::string& parentPath) {
        const Dictionary* d = element.dictionary();
        const std::string here = parentPath.empty() ? "View" : parentPath;
        if (d == nullptr) return fail(here, "is not a dictionary");
        const Value* cls = element.find("Class");
        const Value* name = element.find("Name");
        const std::string label =
            here + (name && name->string() ? " '" + *name->string() + "'" : "");
        if (cls == nullptr || cls->string() == nullptr) return fail(label, "has no Class");
        objc::Class k = objc::objc_getClass(cls->string()->c_str());
        if (k == nullptr || !objc::class_respondsToSelector(k, SEL_("addSubview:"))) {
            return fail(label, "names no view class: " + *cls->string());
        }
        const std::string path = label + " (" + *cls->string() + ")";
        auto* v = static_cast<UIView*>(objc::allocInit(k));
        if (name && name->string()) v->accessibilityIdentifier = *name->string();
        if (const Value* frame = element.find("Frame")) {
            const Array* a = frame->array();
            if (a == nullptr || a->size() != 4 ||
                !std::all_of(a->begin(), a->end(), [](const Value& x) { return x.isNumber(); })) {
                objc::objc_release(v);
                return fail(path, "Frame must be four numbers: x, y, width, height");
            }
            v->frame = CGRectMake(*(*a)[0].doubleValue(), *(*a)[1].doubleValue(),
                                  *(*a)[2].doubleValue(), *(*a)[3].doubleValue());
        }
        if (const Value* props = element.find("Properties"); props && props->dictionary()) {
            for (const auto& [key, val] : *props->dictionary()) {
                if (!apply(v, key, val)) {
                    objc::objc_release(v);
                    return fail(path, "has an unknown or ill-typed property '" + key + "'");
                }
            }
        }
        for (auto [key, kind] :
             {std::pair{"Outlet", Connection::Outlet}, std::pair{"Action", Connection::Action},
              std::pair{"DataSource", Connection::DataSource},
              std::pair{"Delegate", Connection::Delegate}}) {
            if (const Value* c = element.find(key)) {
                if (c->string() == nullptr) {
                    objc::objc_release(v);
                    return fail(path, std::string(key) + " must be a string");
                }
                connections_.push_back({kind, v, *c->string(), path});
            }
        }
        if (const Value* subs = element.find("Subviews")) {
            if (subs->array() == nullptr) {
                objc::objc_release(v);
                return fail(path, "Subviews must be a list");
            }
            size_t i = 0;
            for (const Value& sub : *subs->array()) {
                UIView* child = build(sub, path + " > Subviews[" + std::to_string(i++) + "]");
                if (child == nullptr) {
                    objc::objc_release(v);
                    return nullptr;
                }
                msgSend(static_cast<id>(v), SEL_("addSubview:"), static_cast<id>(child));
                objc::objc_release(child);
            }
        }
        return v;
    }

    // Checks every connection against the owner before making any.
    bool connect(id owner) {
        for (const auto& c : connections_) {
            std::string problem;
            if (c.kind == Connection::Outlet &&
                !objc::respondsToSelector(owner, objc::sel_registerName(setterFor(c.name)))) {
                problem = "the owner has no outlet '" + c.name + "'";
            } else if (c.kind == Connection::Action &&
                       !objc::respondsToSelector(owner, objc::sel_registerName(c.name))) {
                problem = "the owner has no action '" + c.name + "'";
            } else if ((c.kind == Connection::DataSource || c.kind == Connection::Delegate) &&
                       c.name != "Owner") {
                problem = "data source and delegate can only be 'Owner'";
            } else if (c.kind == Connection::Action &&
                       !objc::class_respondsToSelector(objc::object_getClass(c.view),
                                                       SEL_("addTarget:action:"))) {
                problem = "is no control, so it cannot send '" + c.name + "'";
            }
            if (!problem.empty()) {
                fail(c.element, problem);
                return false;
            }
        }
        for (const auto& c : connections_) {
            id v = c.view;
            switch (c.kind) {
                case Connection::Outlet:
                    msgSend(owner, objc::sel_registerName(setterFor(c.name)), v);
                    break;
                case Connection::Action:
                    msgSend(v, SEL_("addTarget:action:"), owner, objc::sel_registerName(c.name));
                    break;
                case Connection::DataSource:
                    msgSend(v, SEL_("setDataSource:"), owner);
                    break;
                case Connection::Delegate:
                    msgSend(v, SEL_("setDelegate:"), owner);
                    break;
            }
        }
        return true;
    }

    const std::string& error() const { return error_; }

  private:
    UIView* fail(const std::string& element, const std::string& problem) {
        if (error_.empty()) error_ = file_ + ": element " + element + ": " + problem;
        return nullptr;
    }

    bool apply(UIView* v, const std::string& key, const Value& val) {
        if (key == "tag" && val.integer()) {
            v->tag = *val.integer();
        } else if (key == "hidden" && val.boolean()) {
            v->hidden = *val.boolean();
        } else if (key == "clipsToBounds" && val.boolean()) {
            v->clipsToBounds = *val.boolean();
        } else if (key == "text" && val.string() && objc::isKindOfClass(v, UILabel::cls())) {
            static_cast<UILabel*>(v)->text = *val.string();
        } else if (key == "title" && val.string() && objc::isKindOfClass(v, UIButton::cls())) {
            static_cast<UIButton*>(v)->title = *val.string();
        } else if (key == "on" && val.boolean() && objc::isKindOfClass(v, UISwitch::cls())) {
            static_cast<UISwitch*>(v)->on = *val.boolean();
        } else if (key == "image" && val.string() && objc::isKindOfClass(v, UIImageView::cls())) {
            // A missing image leaves the view empty, as on the phone.
            id image = msgSend<id>(UIImage::cls(), SEL_("imageWithContentsOfFile:"),
                                   device::appendPathComponent(bundleDir_, *val.string()));
            auto* iv = static_cast<UIImageView*>(v);
            objc::objc_retain(image);
            objc::objc_release(iv->image);
            iv->image = image;
        } else if (key == "contentSize" && val.array() && val.array()->size() == 2 &&
                   objc::isKindOfClass(v, UIScrollView::cls())) {
            static_cast<UIScrollView*>(v)->contentSize = {
                (*val.array())[0].doubleValue().value_or(0),
                (*val.array())[1].doubleValue().value_or(0)};
        } else {
            return false;
        }
        return true;
    }

    std::string file_;
    std::string bundleDir_;
    std::vector<Connection> connections_;
    std::string error_;
};

}  // namespace

NibResult loadNib(const std::string& devicePath, id owner) {
    NibResult result;
    auto doc = plist::readDictionary(device::resolve(devicePath));
    if (!doc) {
        result.error =
            devicePath + ": missing, unreadable, or not a property list with a dictionary root";
        return result;
    }
    auto root = doc->find("View");
    if (root == doc->end()) {
        result.error = devicePath + ": has no View element";
        return result;
    }
    const std::string dir = devicePath.substr(
        0, devicePath.find_last_of('/') == std::string::npos ? 0 : devicePath.find_last_of('/'));
    NibBuilder builder(devicePath, dir);
    UIView* view = builder.build(root->second, "");
    if (view != nullptr && !builder.connect(owner)) {
        objc::objc_release(view);
        view = nullptr;
    }
    result.root = view;
    result.error = builder.error();
    return result;
}

}  // namespace platform
