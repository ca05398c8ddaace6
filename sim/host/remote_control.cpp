#include "remote_control.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "platform/devices/hardware.h"
#include "platform/ui/controls.h"
#include "platform/ui/views.h"

namespace sim {

using platform::BusSignal;

namespace {

bool flag(const BusSignal& s, size_t i) {
    return i < s.args.size() && std::holds_alternative<bool>(s.args[i]) &&
           std::get<bool>(s.args[i]);
}

// A hardware signal whose arguments are not what the simulator sends is dropped: applying it
// with made-up values (a pose of 0, 0, 0; a sensor uncovered) would be a lie about the phone.
bool shaped(const BusSignal& s, std::initializer_list<size_t> types) {
    if (s.args.size() != types.size()) return false;
    size_t i = 0;
    for (size_t t : types)
        if (s.args[i++].index() != t) return false;
    return true;
}
constexpr size_t kBool = 0, kInt32 = 1, kDouble = 3, kStrings = 5;

}  // namespace

void mirrorHardware(platform::Bus& bus) {
    auto& model = platform::DeviceModel::shared();
    namespace n = platform::busnames;
    const char* hw = n::kHardware;
    bus.subscribe(hw, n::kCallStatus, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kInt32, kBool})) model.setCallStatus(*s.arg<int32_t>(0), flag(s, 1));
    });
    bus.subscribe(hw, n::kPose, std::nullopt, [&model](const BusSignal& s) {
        if (!shaped(s, {kDouble, kDouble, kDouble})) return;
        model.setPose(static_cast<float>(*s.arg<double>(0)), static_cast<float>(*s.arg<double>(1)),
                      static_cast<float>(*s.arg<double>(2)));
    });
    bus.subscribe(hw, n::kProximity, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kBool})) model.setProximityCovered(flag(s, 0));
    });
    bus.subscribe(hw, n::kLockButton, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {})) model.pressLockButton();
    });
    bus.subscribe(hw, n::kLocked, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kBool})) model.setLocked(flag(s, 0));
    });
    bus.subscribe(hw, n::kAudioOutputs, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kStrings})) model.setExternalOutputs(*s.arg<std::vector<std::string>>(0));
    });
    bus.subscribe(hw, n::kSpeaker, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kBool})) model.setSpeakerSelected(flag(s, 0));
    });
    bus.subscribe(hw, n::kLogging, std::nullopt, [](const BusSignal& s) {
        if (!shaped(s, {kBool})) return;
        // The tweak's own switch, where a tweak is loaded.
        if (auto* loggerOn = static_cast<bool*>(::dlsym(RTLD_DEFAULT, "LOGGER_ON")))
            *loggerOn = flag(s, 0);
    });
}

void operatePane(platform::Bus& bus, objc::id pane) {
    namespace n = platform::busnames;
    bus.subscribe(n::kSettings, n::kOperate, std::nullopt, [pane](const BusSignal& s) {
        const std::string* action = s.text(0);
        const std::string* argument = s.text(1);
        if (action == nullptr || argument == nullptr) return;
        auto* root = static_cast<platform::UIView*>(objc::msgSend<objc::id>(pane, SEL_("view")));
        if (*action == "tap") {
            platform::tapButton(platform::findViewByIdentifier(root, *argument));
        } else if (*action == "switch") {
            const auto eq = argument->rfind('=');
            if (eq == std::string::npos) return;
            platform::setSwitchByUser(platform::findViewByIdentifier(root, argument->substr(0, eq)),
                                      argument->substr(eq + 1) == "on");
        } else if (*action == "spin") {
            // "identifier:component:row"
            const auto second = argument->rfind(':');
            const auto first =
                second == std::string::npos ? std::string::npos : argument->rfind(':', second - 1);
            if (first == std::string::npos) return;
            platform::spinPicker(
                platform::findViewByIdentifier(root, argument->substr(0, first)),
                std::atoll(argument->substr(second + 1).c_str()),
                std::atoll(argument->substr(first + 1, second - first - 1).c_str()));
        } else if (*action == "alert") {
            // "N": the front alert's button N (0 is the cancel button)
            if (!platform::visibleAlerts().empty())
                platform::tapAlertButton(std::atoll(argument->c_str()));
        }
    });
}

}  // namespace sim
