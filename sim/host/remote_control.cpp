#include "remote_control.h"

#include <dlfcn.h>

#include <charconv>
#include <cmath>
#include <string>

#include "platform/devices/hardware.h"
#include "platform/ui/controls.h"
#include "platform/ui/views.h"
#include "protocol/interfaces.h"
#include "protocol/limits.h"
#include "protocol/subscribe.h"
#include "refused.h"

namespace sim {

using platform::BusSignal;
namespace hw = protocol::hardware;

namespace {

// One axis of a pose as the device model holds it (a float), when an accelerometer could say it.
bool acceleration(double g) {
    return std::isfinite(g) && std::fabs(g) <= protocol::kMaxAcceleration;
}

// A whole number, all of the text.
bool whole(std::string_view text, int64_t& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

// "identifier:component:row": the picker's column turned to the row.
void spin(platform::UIView* root, const std::string& argument) {
    const auto second = argument.rfind(':');
    const auto first = second == std::string::npos || second == 0 ? std::string::npos
                                                                  : argument.rfind(':', second - 1);
    int64_t component = 0, row = 0;
    if (first == std::string::npos ||
        !whole(std::string_view(argument).substr(first + 1, second - first - 1), component) ||
        !whole(std::string_view(argument).substr(second + 1), row))
        return;
    platform::spinPicker(platform::findViewByIdentifier(root, argument.substr(0, first)), row,
                         component);
}

}  // namespace

void mirrorHardware(platform::Bus& bus, const std::string& process, const std::string& simulator) {
    if (simulator.empty()) return;
    auto& model = platform::DeviceModel::shared();
    const protocol::Filter from{.sender = simulator};
    protocol::on<hw::CallStatus>(
        bus,
        [&model, process](const hw::CallStatus& c, const BusSignal& s) {
            if (c.status < protocol::kMinCallStatus || c.status > protocol::kMaxCallStatus)
                return refuse(process, s, "no call status " + std::to_string(c.status));
            model.setCallStatus(c.status, c.alternate);
        },
        from);
    protocol::on<hw::Pose>(
        bus,
        [&model, process](const hw::Pose& p, const BusSignal& s) {
            if (!acceleration(p.x) || !acceleration(p.y) || !acceleration(p.z))
                return refuse(process, s, "a pose beyond what an accelerometer measures");
            model.setPose(static_cast<float>(p.x), static_cast<float>(p.y),
                          static_cast<float>(p.z));
        },
        from);
    protocol::on<hw::Proximity>(
        bus, [&model](const hw::Proximity& p) { model.setProximityCovered(p.covered); }, from);
    protocol::on<hw::LockButton>(
        bus, [&model](const hw::LockButton&) { model.pressLockButton(); }, from);
    protocol::on<hw::Locked>(
        bus, [&model](const hw::Locked& l) { model.setLocked(l.locked); }, from);
    protocol::on<hw::AudioOutputs>(
        bus, [&model](const hw::AudioOutputs& a) { model.setExternalOutputs(a.ports); }, from);
    protocol::on<hw::Speaker>(
        bus, [&model](const hw::Speaker& sp) { model.setSpeakerSelected(sp.on); }, from);
    protocol::on<hw::Logging>(
        bus,
        [](const hw::Logging& l) {
            // The tweak's own switch, where a tweak is loaded.
            if (auto* loggerOn = static_cast<bool*>(::dlsym(RTLD_DEFAULT, "LOGGER_ON")))
                *loggerOn = l.on;
        },
        from);
}

void operatePane(platform::Bus& bus, objc::id pane, const std::string& simulator) {
    if (simulator.empty()) return;
    namespace settings = protocol::settings;
    protocol::on<settings::Operate>(
        bus,
        [pane](const settings::Operate& o) {
            auto* root =
                static_cast<platform::UIView*>(objc::msgSend<objc::id>(pane, SEL_("view")));
            const std::string& argument = o.argument;
            if (o.action == "tap") {
                platform::tapButton(platform::findViewByIdentifier(root, argument));
            } else if (o.action == "switch") {
                const auto eq = argument.rfind('=');
                if (eq == std::string::npos) return;
                const std::string state = argument.substr(eq + 1);
                if (state != "on" && state != "off") return;
                platform::setSwitchByUser(
                    platform::findViewByIdentifier(root, argument.substr(0, eq)), state == "on");
            } else if (o.action == "spin") {
                spin(root, argument);
            } else if (int64_t button = 0; o.action == "alert" && whole(argument, button)) {
                // the front alert's button N (0 is the cancel button)
                if (!platform::visibleAlerts().empty()) platform::tapAlertButton(button);
            }
        },
        {.sender = simulator});
}

}  // namespace sim
