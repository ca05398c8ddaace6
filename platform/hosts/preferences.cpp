#include "platform/hosts/preferences.h"

#include <dlfcn.h>

#include "platform/core/result.h"
#include "platform/core/trace.h"
#include "platform/core/warn.h"
#include "platform/files/device_root.h"
#include "platform/values/plist.h"

namespace platform {

using objc::id;
using objc::msgSend;
using objc::SEL;

namespace {

id ps_initForContentSize(id self, SEL, CGSize) { return msgSend<id>(self, SEL_("init")); }

void ps_pushController(id self, SEL, id controller) {
    if (controller == nullptr) return;
    static_cast<PSViewController*>(self)->pushed.push_back(objc::retained(controller));
    if (tracing())
        trace(events::SettingsShown{objc::class_getName(objc::object_getClass(controller))});
}

std::string text(const Dictionary& d, const char* key) {
    auto it = d.find(key);
    return it != d.end() && it->second.string() ? *it->second.string() : std::string();
}

Failure problem(const std::string& file, const std::string& what) {
    return Failure{file + ": " + what};
}

// The controller class of the pane an entry file describes, its bundle loaded.
Result<objc::Class> loadPaneClass(const std::string& entry) {
    const std::string entryFile =
        device::resolve("/Library/PreferenceLoader/Preferences/" + entry + ".plist");
    auto doc = plist::readDictionary(entryFile);
    if (!doc) return problem(entryFile, "missing, unreadable, or not a dictionary");
    auto e = doc->find("entry");
    if (e == doc->end() || e->second.dictionary() == nullptr)
        return problem(entryFile, "no \"entry\" dictionary");
    const std::string bundleName = text(*e->second.dictionary(), "bundle");
    const std::string className = text(*e->second.dictionary(), "detail");
    if (bundleName.empty() || className.empty())
        return problem(entryFile, "the entry needs \"bundle\" and \"detail\" texts");
    const std::string bundleDir = "/Library/PreferenceBundles/" + bundleName + ".bundle";
    const std::string infoFile = device::resolve(bundleDir + "/Info.plist");
    auto info = plist::readDictionary(infoFile);
    if (!info) return problem(infoFile, "missing, unreadable, or not a dictionary");
    const std::string executable = text(*info, "CFBundleExecutable");
    if (executable.empty()) return problem(infoFile, "no CFBundleExecutable");
    const std::string binary = device::resolve(bundleDir + "/" + executable);
    if (::dlopen(binary.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr)
        return problem(binary, std::string("cannot load: ") + ::dlerror());
    objc::Class cls = objc::NSClassFromString(className);
    if (cls == nullptr) return problem(binary, "has no class " + className);
    return cls;
}

}  // namespace

objc::Class PSViewController::cls() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<PSViewController>("PSViewController", UIViewController::cls());
        objc::addMethod(k, SEL_("initForContentSize:"), &ps_initForContentSize);
        objc::addMethod(k, SEL_("pushController:"), &ps_pushController);
        return k;
    }();
    return c;
}

void registerPreferencesClasses() {
    registerViewControllerClasses();
    PSViewController::cls();
}

id openPreferencePane(const std::string& entry) {
    Result<objc::Class> cls = loadPaneClass(entry);
    if (!cls) {
        warn("preferences", cls.error());
        return nullptr;
    }
    id controller = msgSend<id>(*cls, SEL_("alloc"));
    controller = msgSend<id>(controller, SEL_("initForContentSize:"),
                             DeviceModel::shared().screenBounds().size);
    if (tracing()) trace(events::PaneOpened{entry});
    return controller;
}

}  // namespace platform
