#include "PreferencesController.h"

#include "FK_HDTools.h"
#include "MainViewController.h"
#include "platform/loop/log.h"

using objc::id;
using objc::msgSend;
using objc::SEL;
using platform::CGRect;
using platform::CGSize;

namespace {

PreferencesController* host(id self) { return static_cast<PreferencesController*>(self); }

id initForContentSize(id self, SEL, CGSize) {
    self = objc::msgSendSuper<id>(platform::PSViewController::cls(), self, SEL_("init"));
    if (self == nullptr) return nullptr;
    // The classes the screen's interface file and getters need are this bundle's own.
    FK_HDTools::cls();
    id bundle = msgSend<id>(objc::objc_getClass("NSBundle"), SEL_("bundleWithPath:"),
                            std::string(kPaneBundlePath));
    auto screen = objc::adopt(msgSend<id>(msgSend<id>(MainViewController::cls(), SEL_("alloc")),
                                          SEL_("initWithNibName:bundle:"),
                                          std::string("MainView_iphone"), bundle));
    msgSend(self, SEL_("setMainViewComtroller:"), screen.get());
    msgSend(screen, SEL_("setDelegate:"), self);
    msgSend(self, SEL_("pushController:"), screen.get());
    return self;
}

id viewImp(id self, SEL) { return msgSend<id>(host(self)->mainViewComtroller, SEL_("view")); }
std::string navigationTitle(id, SEL) { return "Available Apps"; }
id table(id self, SEL) { return host(self)->_tableView; }
CGSize contentSize(id self, SEL) {
    return msgSend<CGRect>(host(self)->_tableView, SEL_("frame")).size;
}

void writePreferencesToFile(id self, SEL) {
    if (id screen = host(self)->mainViewComtroller) msgSend(screen, SEL_("writePreferencesToFile"));
}

void setObjectForKeyInPreferences(id self, SEL, id object, std::string key) {
    msgSend(host(self)->mainViewComtroller, SEL_("setObjectForKeyInPreferences:ForKey:"), object,
            key);
}

void flip(id, SEL, id sender) {
    platform::NSLog("%@", msgSend<bool>(sender, SEL_("isOn")) ? "On" : "Off");
}

id mainViewComtrollerImp(id self, SEL) { return host(self)->mainViewComtroller; }
void setMainViewComtroller(id self, SEL, id screen) {
    host(self)->mainViewComtroller = objc::retained(screen);
}

}  // namespace

objc::Class PreferencesController::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<PreferencesController>(
            "PreferencesController", platform::PSViewController::cls());
        objc::addMethod(k, SEL_("initForContentSize:"), &initForContentSize);
        objc::addMethod(k, SEL_("view"), &viewImp);
        objc::addMethod(k, SEL_("navigationTitle"), &navigationTitle);
        objc::addMethod(k, SEL_("table"), &table);
        objc::addMethod(k, SEL_("contentSize"), &contentSize);
        objc::addMethod(k, SEL_("writePreferencesToFile"), &writePreferencesToFile);
        objc::addMethod(k, SEL_("setObjectForKeyInPreferences:ForKey:"),
                        &setObjectForKeyInPreferences);
        objc::addMethod(k, SEL_("flip:"), &flip);
        objc::addMethod(k, SEL_("mainViewComtroller"), &mainViewComtrollerImp);
        objc::addMethod(k, SEL_("setMainViewComtroller:"), &setMainViewComtroller);
        return k;
    }();
    return c;
}

// The bundle's classes join the runtime when the Settings application loads the bundle.
__attribute__((constructor)) static void registerPaneClasses() {
    PreferencesController::cls();
    MainViewController::cls();
    FK_HDTools::cls();
}
