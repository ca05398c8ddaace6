// `orvella-phoned settings`: the settings pane, run headless in this process. Changes are made
// by operating the pane's own controls, as a finger would, so the pane writes the settings file
// and posts the change notification; the notification travels over the session bus to the
// running daemon. The current choices are printed with the pane's own texts.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "daemon.h"
#include "home.h"
#include "library/OrvellaNames.h"
#include "platform/bus/bus.h"
#include "platform/files/device_root.h"
#include "platform/files/files.h"
#include "platform/hosts/host_classes.h"
#include "platform/hosts/preferences.h"
#include "platform/loop/foundation.h"
#include "platform/notify/bus_transport.h"
#include "platform/ui/controls.h"
#include "platform/values/plist.h"
#include "service.h"

namespace phoned {

namespace {

using platform::UIView;

// Columns of the pane's wave-protocol picker.
constexpr int64_t kSpeedColumn = 0;
constexpr int64_t kLockedColumn = 1;
constexpr int64_t kUnlockedColumn = 2;

// The switches show no words on the phone; these say their state.
std::pair<const char*, const char*> onOffWords() {
    const auto languages = platform::locale::preferredLanguages();
    if (!languages.empty() && languages.front() == "nl") return {"aan", "uit"};
    return {"on", "off"};
}

std::string shown(UIView* view) {
    if (auto* s = dynamic_cast<platform::UISwitch*>(view)) {
        const auto [on, off] = onOffWords();
        return s->on ? on : off;
    }
    return view ? view->shownText() : "";
}

// Whether the options change anything.
bool changes(const SettingsOptions& o) {
    return o.enabled >= 0 || o.speakerWithHeadset >= 0 || o.locked > 0 || o.unlocked > 0 ||
           o.speed >= 0;
}

using Control = std::function<UIView*(const char* identifier)>;

// The changes asked for, made with the pane's own switches and picker as a finger would.
void change(const SettingsOptions& o, const Control& control) {
    if (o.enabled >= 0) platform::setSwitchByUser(control("enabled switch"), o.enabled == 1);
    if (o.speakerWithHeadset >= 0)
        platform::setSwitchByUser(control("headset switch"), o.speakerWithHeadset == 1);
    if (o.locked > 0 || o.unlocked > 0 || o.speed >= 0) {
        // The picker opens on the current choices; only the columns asked for are turned.
        platform::tapButton(control("locked setup"));
        objc::id picker = control("wave protocol picker");
        if (o.speed >= 0) platform::spinPicker(picker, o.speed, kSpeedColumn);
        if (o.locked > 0) platform::spinPicker(picker, o.locked - 1, kLockedColumn);
        if (o.unlocked > 0) platform::spinPicker(picker, o.unlocked - 1, kUnlockedColumn);
        platform::tapButton(control("done"));
    }
}

// Each row of the pane as it shows it: "Wave speed: Slow".
void print(const Control& control) {
    const std::vector<std::pair<const char*, const char*>> rows = {
        {"enabled label", "enabled switch"},     {"headset label", "headset switch"},
        {"detection label", "detection switch"}, {"speed label", "speed setup"},
        {"locked label", "locked setup"},        {"unlocked label", "unlocked setup"}};
    for (const auto& [label, value] : rows)
        std::printf("%s: %s\n", shown(control(label)).c_str(), shown(control(value)).c_str());
    std::fflush(stdout);
}

// The platform's connection to the session bus, over which the change notification reaches a
// running daemon; none when there is no session bus (said, the settings are saved anyway).
std::unique_ptr<platform::Bus> notifyOverSessionBus() {
    auto opened = platform::Bus::open(sessionBusAddress());
    if (!opened) {
        say(opened.error() +
            "; the settings are saved, but a running orvella-phoned reads them only when it "
            "starts again");
        return nullptr;
    }
    platform::setTransport(std::make_unique<platform::BusTransport>(**opened));
    return std::move(*opened);
}

}  // namespace

int runSettings(const SettingsOptions& o) {
    if (auto ready = becomePhoneProcess(o.package, "com.apple.Preferences"); !ready) {
        say(ready.error());
        return 1;
    }
    const bool changing = changes(o);
    const std::string stored =
        std::string("/var/mobile/Library/Preferences/") + orvella::kSettingsFileName;
    const std::string file = platform::device::resolve(stored);
    if (platform::device::fileExists(stored) && !platform::plist::readDictionary(file)) {
        say(file + ": not a readable settings file; the settings pane leaves it alone" +
            (changing ? ", so nothing was changed" : ""));
        if (changing) return 1;
    }
    std::unique_ptr<platform::Bus> bus = changing ? notifyOverSessionBus() : nullptr;

    platform::registerHostClasses(platform::HostRole::Preferences);
    platform::registerPreferencesClasses();
    objc::AutoreleasePool pool;
    objc::id pane = platform::openPreferencePane("Orvella_Prefs");
    if (pane == nullptr) {
        say("cannot open the settings pane (see above)");
        return 1;
    }
    auto* view = static_cast<UIView*>(objc::msgSend<objc::id>(pane, SEL_("view")));
    const Control control = [view](const char* identifier) {
        UIView* v = platform::findViewByIdentifier(view, identifier);
        if (v == nullptr) say(std::string("the settings pane has no '") + identifier + "'");
        return v;
    };
    change(o, control);
    platform::RunLoop::main().runDue();
    print(control);
    objc::objc_release(pane);
    return 0;
}

}  // namespace phoned
