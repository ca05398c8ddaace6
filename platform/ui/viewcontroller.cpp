#include "platform/ui/viewcontroller.h"

#include <sys/stat.h>

#include "platform/core/warn.h"
#include "platform/devices/hardware.h"
#include "platform/files/device_root.h"
#include "platform/ui/controls.h"
#include "platform/ui/nib.h"

namespace platform {

using objc::id;
using objc::msgSend;
using objc::SEL;

namespace {

UIViewController* controller(id self) { return static_cast<UIViewController*>(self); }

id vc_initWithNib(id self, SEL, std::string name, id bundle) {
    auto* vc = controller(self);
    vc->nibName = std::move(name);
    vc->nibBundle = objc::retained(static_cast<NSBundle*>(bundle));
    return self;
}

id vc_view(id self, SEL) {
    auto* vc = controller(self);
    if (vc->view) return vc->view;
    if (!vc->nibName.empty()) {
        const std::string dir = vc->nibBundle ? vc->nibBundle->bundlePath : std::string();
        auto loaded = loadNib(device::appendPathComponent(dir, vc->nibName + ".nib"), self);
        if (loaded)
            vc->view = std::move(*loaded);
        else
            warn("UIViewController", loaded.error());
    }
    if (!vc->view) {
        // No interface file (or a broken one): an empty view the size of the screen.
        vc->view = objc::adopt(static_cast<UIView*>(objc::allocInit(UIView::cls())));
        vc->view->frame = DeviceModel::shared().screenBounds();
    }
    msgSend(self, SEL_("viewDidLoad"));
    return vc->view;
}

bool vc_isViewLoaded(id self, SEL) { return controller(self)->view != nullptr; }
void vc_noop(id, SEL) {}
void vc_viewWillAppear(id, SEL, bool) {}
std::string vc_nibName(id self, SEL) { return controller(self)->nibName; }
id vc_nibBundle(id self, SEL) { return controller(self)->nibBundle; }

id bundle_withPath(id, SEL, std::string path) {
    struct stat st {};
    if (path.empty() || ::stat(device::resolve(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return nullptr;
    auto* b = static_cast<NSBundle*>(objc::class_createInstance(NSBundle::cls()));
    b->bundlePath = std::move(path);
    return objc::objc_autorelease(b);
}
std::string bundle_path(id self, SEL) { return static_cast<NSBundle*>(self)->bundlePath; }

}  // namespace

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

void registerViewControllerClasses() {
    registerControlClasses();
    UIViewController::cls();
    NSBundle::cls();
}

}  // namespace platform
