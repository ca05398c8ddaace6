#include "platform/bus.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>

#include "platform/plist.h"
#include "platform/runloop.h"

namespace platform {

namespace {

sd_bus* raw(void* p) { return static_cast<sd_bus*>(p); }

std::string errorText(int r) { return std::strerror(r < 0 ? -r : r); }

// Quotes a value for a match rule (single quotes; a quote inside is written '\'').
std::string quoteRule(const std::string& v) {
    std::string out = "'";
    for (char c : v) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool readArgs(sd_bus_message* m, std::vector<BusArg>& out) {
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        if (r < 0) return false;
        if (r == 0) return true;
        switch (type) {
            case 's': {
                const char* s = nullptr;
                if (sd_bus_message_read_basic(m, 's', &s) < 0) return false;
                out.emplace_back(std::string(s ? s : ""));
                break;
            }
            case 'b': {
                int b = 0;
                if (sd_bus_message_read_basic(m, 'b', &b) < 0) return false;
                out.emplace_back(b != 0);
                break;
            }
            case 'i': {
                int32_t i = 0;
                if (sd_bus_message_read_basic(m, 'i', &i) < 0) return false;
                out.emplace_back(i);
                break;
            }
            case 'd': {
                double d = 0;
                if (sd_bus_message_read_basic(m, 'd', &d) < 0) return false;
                out.emplace_back(d);
                break;
            }
            case 'a': {
                if (contents == nullptr || std::strcmp(contents, "s") != 0) return false;
                char** strv = nullptr;
                if (sd_bus_message_read_strv(m, &strv) < 0) return false;
                std::vector<std::string> list;
                for (char** p = strv; p && *p; ++p) {
                    list.emplace_back(*p);
                    std::free(*p);
                }
                std::free(strv);
                out.emplace_back(std::move(list));
                break;
            }
            default:
                if (sd_bus_message_skip(m, nullptr) < 0) return false;
        }
    }
}

}  // namespace

struct Bus::Subscription {
    sd_bus_slot* slot = nullptr;
    std::function<void(const BusSignal&)> handler;

    static int callback(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* s = static_cast<Subscription*>(userdata);
        BusSignal signal;
        signal.interface = sd_bus_message_get_interface(m) ? sd_bus_message_get_interface(m) : "";
        signal.member = sd_bus_message_get_member(m) ? sd_bus_message_get_member(m) : "";
        signal.sender = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
        if (!readArgs(m, signal.args)) return 0;  // a malformed signal is dropped
        objc::AutoreleasePool pool;
        s->handler(signal);
        return 0;
    }
};

std::unique_ptr<Bus> Bus::open(const std::string& address, std::string* error) {
    std::unique_ptr<Bus> bus(new Bus());
    sd_bus* b = nullptr;
    int r = sd_bus_new(&b);
    if (r >= 0) r = sd_bus_set_address(b, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(b, 1);
    if (r >= 0) r = sd_bus_start(b);
    const char* unique = nullptr;
    if (r >= 0) r = sd_bus_get_unique_name(b, &unique);
    if (r < 0) {
        if (error) *error = "cannot connect to the bus at " + address + ": " + errorText(r);
        if (b) sd_bus_unref(b);
        return nullptr;
    }
    bus->bus_ = b;
    bus->uniqueName_ = unique ? unique : "";
    bus->fd_ = sd_bus_get_fd(b);
    Bus* self = bus.get();
    bus->subscribe(
        "org.freedesktop.DBus.Local", "Disconnected", std::nullopt,
        [self](const BusSignal&) { self->lost("lost the bus connection: the bus closed it"); });
    RunLoop::main().addSource(bus->fd_, [self] { self->pump(); });
    return bus;
}

Bus::~Bus() {
    if (fd_ >= 0) RunLoop::main().removeSource(fd_);
    for (auto& s : subscriptions_) sd_bus_slot_unref(s->slot);
    if (bus_) sd_bus_flush_close_unref(raw(bus_));
}

void Bus::setDisconnectHandler(std::function<void(const std::string&)> handler) {
    onDisconnect_ = std::move(handler);
}

void Bus::lost(const std::string& reason) {
    if (disconnected_) return;
    disconnected_ = true;
    if (fd_ >= 0) RunLoop::main().removeSource(fd_);
    if (onDisconnect_) {
        auto handler = onDisconnect_;
        RunLoop::main().schedule(0, [handler, reason] { handler(reason); });
    }
}

void Bus::pump() {
    if (disconnected_) return;
    for (;;) {
        int r = sd_bus_process(raw(bus_), nullptr);
        if (r < 0) {
            lost("lost the bus connection: " + errorText(r));
            return;
        }
        if (r == 0 || disconnected_) return;
    }
}

bool Bus::emit(const BusSignal& signal) {
    if (disconnected_) return false;
    if (beforeEmit_ && !emitting_) {
        emitting_ = true;
        beforeEmit_();
        emitting_ = false;
    }
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(raw(bus_), &m, kBusPath, signal.interface.c_str(),
                                      signal.member.c_str());
    for (size_t i = 0; r >= 0 && i < signal.args.size(); ++i) {
        const BusArg& a = signal.args[i];
        if (auto* s = std::get_if<std::string>(&a)) {
            r = sd_bus_message_append_basic(m, 's', s->c_str());
        } else if (auto* b = std::get_if<bool>(&a)) {
            int v = *b ? 1 : 0;
            r = sd_bus_message_append_basic(m, 'b', &v);
        } else if (auto* n = std::get_if<int32_t>(&a)) {
            r = sd_bus_message_append_basic(m, 'i', n);
        } else if (auto* d = std::get_if<double>(&a)) {
            r = sd_bus_message_append_basic(m, 'd', d);
        } else if (auto* list = std::get_if<std::vector<std::string>>(&a)) {
            std::vector<char*> strv;
            for (const auto& item : *list) strv.push_back(const_cast<char*>(item.c_str()));
            strv.push_back(nullptr);
            r = sd_bus_message_append_strv(m, strv.data());
        }
    }
    if (r >= 0) r = sd_bus_send(raw(bus_), m, nullptr);
    if (r >= 0) r = sd_bus_flush(raw(bus_));
    sd_bus_message_unref(m);
    if (r < 0) {
        lost("lost the bus connection: " + errorText(r));
        return false;
    }
    return true;
}

void Bus::subscribe(const std::string& interface, const std::string& member,
                    std::optional<std::string> arg0,
                    std::function<void(const BusSignal&)> handler) {
    if (disconnected_) return;
    auto sub = std::make_unique<Subscription>();
    sub->handler = std::move(handler);
    std::string rule =
        "type='signal',interface=" + quoteRule(interface) + ",member=" + quoteRule(member);
    if (arg0) rule += ",arg0=" + quoteRule(*arg0);
    int r =
        sd_bus_add_match(raw(bus_), &sub->slot, rule.c_str(), &Subscription::callback, sub.get());
    if (r < 0) {
        lost("cannot add a match rule: " + errorText(r));
        return;
    }
    subscriptions_.push_back(std::move(sub));
    // Adding the rule waited for the daemon's reply; signals read meanwhile wait in sd-bus.
    std::weak_ptr<bool> alive = alive_;
    RunLoop::main().schedule(0, [this, alive] {
        if (!alive.expired()) pump();
    });
}

// --- The transport
// ---------------------------------------------------------------------------------

BusTransport::BusTransport(Bus& bus) : bus_(bus) {}

void BusTransport::send(const Envelope& e) {
    if (e.channel == Channel::Darwin) {
        bus_.emit({"org.orvella.Darwin", "Notification", {e.name}, {}});
    } else {
        bus_.emit({"org.orvella.Distributed",
                   "Notification",
                   {e.name, e.userInfo.isNone() ? std::string() : plist::toXml(e.userInfo)},
                   {}});
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
        bus_.subscribe("org.orvella.Darwin", "Notification", arg0,
                       [this, c, specific](const BusSignal& s) {
                           if (specific && everyName_[c]) return;
                           if (const std::string* n = s.text(0))
                               receive(Envelope{Channel::Darwin, *n, Value()});
                       });
    } else {
        bus_.subscribe("org.orvella.Distributed", "Notification", arg0,
                       [this, c, specific](const BusSignal& s) {
                           if (specific && everyName_[c]) return;
                           const std::string* n = s.text(0);
                           if (n == nullptr) return;
                           Value info;
                           if (const std::string* xml = s.text(1); xml && !xml->empty())
                               info = plist::parse(*xml).value_or(Value());
                           receive(Envelope{Channel::Distributed, *n, info});
                       });
    }
}

}  // namespace platform
