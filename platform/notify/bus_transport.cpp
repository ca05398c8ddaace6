#include "platform/notify/bus_transport.h"

#include <algorithm>
#include <optional>

#include "platform/notify/interfaces.h"
#include "platform/values/plist.h"

namespace platform {

BusTransport::BusTransport(Bus& bus) : bus_(bus) {
    bus_.declare(darwin::description());
    bus_.declare(distributed::description());
}

void BusTransport::send(const Envelope& e) {
    if (e.channel == Channel::Darwin) {
        bus_.emit(darwin::Notification{e.name}.signal());
    } else {
        const std::string info = e.userInfo.isNone() ? std::string() : plist::toXml(e.userInfo);
        bus_.emit(distributed::Notification{e.name, info}.signal());
    }
}

void BusTransport::watch(Channel channel, const std::string& name) {
    // An empty name is every name; once watched for every name, a single name adds nothing.
    auto has = [&](const std::string& n) {
        return std::find(watched_.begin(), watched_.end(), std::make_pair(channel, n)) !=
               watched_.end();
    };
    if (has(name) || has("")) return;
    watched_.emplace_back(channel, name);
    std::optional<std::string> arg0;
    if (!name.empty()) arg0 = name;
    const size_t c = static_cast<size_t>(channel);
    if (name.empty()) everyName_[c] = true;
    // A rule for one name steps aside once a rule for every name exists, so nothing arrives twice.
    const bool specific = !name.empty();
    if (channel == Channel::Darwin) {
        bus_.subscribe(darwin::kName, darwin::Notification::kMember, arg0,
                       [this, c, specific](const BusSignal& s) {
                           if (specific && everyName_[c]) return;
                           if (auto n = darwin::Notification::of(s))
                               receive(Envelope{Channel::Darwin, n->name, Value()});
                       });
    } else {
        bus_.subscribe(distributed::kName, distributed::Notification::kMember, arg0,
                       [this, c, specific](const BusSignal& s) {
                           if (specific && everyName_[c]) return;
                           auto n = distributed::Notification::of(s);
                           if (!n) return;
                           Value info;
                           if (!n->userInfo.empty())
                               info = plist::parse(n->userInfo).value_or(Value());
                           receive(Envelope{Channel::Distributed, n->name, info});
                       });
    }
}

}  // namespace platform
