#include "platform/preferences.h"

#include <dlfcn.h>

#include <cstdio>

#include "platform/device.h"
#include "platform/plist.h"
#include "platform/trace.h"

namespace platform {

using objc::id;
using objc::msgSend;
using objc::SEL;

namespace {

id ps_initForContentSize(id self, SEL, CGSize) { return msgSend<id>(self, SEL_("init")); }

void ps_pushController(id self, SEL, id controller) {
    if (controller == nullptr) return;
    static_cast<PSViewController*>(self)->pushed.push_back(objc::objc_retain(controller));
    if (tracing())
        trace(events::SettingsShown{objc::class_getName(objc::object_getClass(controller))});
}

std::string text(const Dictionary& d, const char* key) {
    auto it = d.find(key);
    return it != d.end() && it->second.string() ? *it->second.string() : std::string();
}

id fail(const std::string& file, const std::string& problem) {
    std::fprintf(stderr, "preferences: %s: %s\n", file.c_str(), problem.c_str());
    return nullptr;
}

}  // namespace

PSViewController::~PSViewController() {
    for (id c : pushed) objc::objc_release(c);
}

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
    registerControlClasses();
    PSViewController::cls();
}

id openPreferencePane(const std::string& entry) {
    const std::string entryFile = "/Library/PreferenceLoader/Preferences/" + entry + ".plist";
    auto doc = plist::readDictionary(device::resolve(entryFile));
    if (!doc) return fail(device::resolve(entryFile), "missing, unreadable, or not a dictionary");
    auto e = doc->find("entry");
    if (e == doc->end() || e->second.dictionary() == nullptr)
        return fail(device::resolve(entryFile), "no \"entry\" dictionary");
    const std::string bundleName = text(*e->second.dictionary(), "bundle");
    const std::string className = text(*e->second.dictionary(), "detail");
    if (bundleName.empty() || className.empty()) {
        return fail(device::resolve(entryFile), "the entry needs \"bundle\" and \"detail\" texts");
    }
    const std::string bundleDir = "/Library/PreferenceBundles/" + bundleName + ".bundle";
    const std::string infoFile = device::resolve(bundleDir + "/Info.plist");
    auto info = plist::readDictionary(infoFile);
    if (!info) return fail(infoFile, "missing, unreadable, or not a dictionary");
    const std::string executable = text(*info, "CFBundleExecutable");
    if (executable.empty()) return fail(infoFile, "no CFBundleExecutable");
    const std::string binary = device::resolve(bundleDir + "/" + executable);
    if (::dlopen(binary.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr)
        return fail(binary, std::string("cannot load: ") + ::dlerror());
    objc::Class cls = objc::NSClassFromString(className);
    if (cls == nullptr) return fail(binary, "has no class " + className);
    id controller = msgSend<id>(cls, SEL_("alloc"));
    controller = msgSend<id>(controller, SEL_("initForContentSize:"),
                             CGSize{320, DeviceModel::shared().screenHeight()});
    if (tracing()) trace(events::PaneOpened{entry});
    return controller;
}

}  // namespace platform
