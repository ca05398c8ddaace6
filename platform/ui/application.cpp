#include "platform/ui/application.h"

#include "platform/core/process_state.h"
#include "platform/core/recent_records.h"
#include "platform/core/trace.h"
#include "platform/ui/testing.h"

namespace platform {

using objc::id;
using objc::SEL;

namespace {

std::vector<std::string>& urls() {
    static auto* u = new std::vector<std::string>();
    return *u;
}

id url_withString(id, SEL, std::string s) {
    if (s.empty()) return nullptr;
    auto* u = static_cast<NSURL*>(objc::class_createInstance(NSURL::cls()));
    u->absoluteString = std::move(s);
    return objc::objc_autorelease(u);
}
std::string url_absoluteString(id self, SEL) { return static_cast<NSURL*>(self)->absoluteString; }

id app_sharedApplication(id self, SEL) {
    static id app = [&] {
        id a = objc::class_createInstance(static_cast<objc::Class>(self));
        a->immortal = true;
        return a;
    }();
    return app;
}

bool app_openURL(id, SEL, id url) {
    if (url == nullptr) return false;
    const std::string& text = static_cast<NSURL*>(url)->absoluteString;
    keepRecent(urls(), text);
    if (tracing()) trace(events::URLOpened{text});
    return true;
}

}  // namespace

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

objc::Class UIApplication::cls() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<UIApplication>("UIApplication", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("sharedApplication"), &app_sharedApplication);
        objc::addMethod(k, SEL_("openURL:"), &app_openURL);
        return k;
    }();
    return c;
}

const std::vector<std::string>& openedURLs() { return urls(); }

void state::resetApplication() { urls().clear(); }

}  // namespace platform
