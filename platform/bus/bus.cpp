#include "platform/bus/bus.h"

#include <cstring>
#include <string_view>

#include "platform/bus/client.h"
#include "platform/core/runtime.h"
#include "platform/core/utf8.h"
#include "platform/core/warn.h"

namespace platform {

namespace {

// One argument of a basic type T, read as it is.
template <class T, class Raw = T>
bool readBasic(sd_bus_message* m, char type, std::vector<BusArg>& out) {
    Raw v{};
    if (sd_bus_message_read_basic(m, type, &v) < 0) return false;
    out.emplace_back(T(v));
    return true;
}

bool readArgs(sd_bus_message* m, std::vector<BusArg>& out) {
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        if (r < 0) return false;
        if (r == 0) return true;
        bool ok = false;
        switch (type) {
            case 's': {
                const char* s = nullptr;
                ok = sd_bus_message_read_basic(m, 's', &s) >= 0;
                if (ok) out.emplace_back(std::string(s ? s : ""));
                break;
            }
            case 'b':
                ok = readBasic<bool, int>(m, 'b', out);
                break;
            case 'i':
                ok = readBasic<int32_t>(m, 'i', out);
                break;
            case 'x':
                ok = readBasic<int64_t>(m, 'x', out);
                break;
            case 'd':
                ok = readBasic<double>(m, 'd', out);
                break;
            case 'a': {
                if (contents == nullptr || std::strcmp(contents, "s") != 0) return false;
                auto list = dbus::readStrings(m);
                ok = list.ok();
                if (ok) out.emplace_back(std::move(*list));
                break;
            }
            default:
                return false;  // no signal of the phone's carries it: not one of theirs
        }
        if (!ok) return false;
    }
}

// The length of the character at `i` when sd-bus carries it (UTF-8 in its shortest form, no
// surrogate, no noncharacter), else 0.
size_t carriedAt(std::string_view s, size_t i) {
    size_t next = i;
    const auto cp = utf8::nextCodePoint(s, next);
    const bool carried =
        cp && !utf8::isSurrogate(*cp) && (*cp < 0xFDD0 || *cp > 0xFDEF) && (*cp & 0xFFFE) != 0xFFFE;
    return carried ? next - i : 0;
}

// A text as a string argument. One sd-bus would refuse (half a surrogate pair kept from a
// settings file, a file name in another encoding) goes with U+FFFD for each byte it cannot
// carry, so that one odd text costs neither the signal nor the connection.
int appendText(sd_bus_message* m, const std::string& text) {
    size_t i = 0;
    for (size_t n = 0; i < text.size(); i += n) {
        n = carriedAt(text, i);
        if (n == 0) break;
    }
    if (i == text.size()) return sd_bus_message_append_basic(m, 's', text.c_str());
    std::string mended = text.substr(0, i);
    while (i < text.size()) {
        const size_t n = carriedAt(text, i);
        mended.append(n == 0 ? std::string_view("\xEF\xBF\xBD")
                             : std::string_view(text).substr(i, n));
        i += n == 0 ? 1 : n;
    }
    return sd_bus_message_append_basic(m, 's', mended.c_str());
}

int append(sd_bus_message* m, const BusArg& a) {
    if (auto* s = std::get_if<std::string>(&a)) return appendText(m, *s);
    if (auto* b = std::get_if<bool>(&a)) {
        const int v = *b ? 1 : 0;
        return sd_bus_message_append_basic(m, 'b', &v);
    }
    if (auto* n = std::get_if<int32_t>(&a)) return sd_bus_message_append_basic(m, 'i', n);
    if (auto* x = std::get_if<int64_t>(&a)) return sd_bus_message_append_basic(m, 'x', x);
    if (auto* d = std::get_if<double>(&a)) return sd_bus_message_append_basic(m, 'd', d);
    const auto& list = std::get<std::vector<std::string>>(a);
    int r = sd_bus_message_open_container(m, 'a', "s");
    for (size_t i = 0; r >= 0 && i < list.size(); ++i) r = appendText(m, list[i]);
    return r >= 0 ? sd_bus_message_close_container(m) : r;
}

}  // namespace

struct Bus::Subscription {
    std::function<void(const BusSignal&)> handler;
    Delivery delivery = Delivery::InOrder;
    std::string sender;
    std::unique_ptr<dbus::Connection::Match> match;
};

// An interface declared on the connection: its description and the vtable sd-bus reads it from,
// which must live as long as the registration.
struct Bus::Declared {
    InterfaceDescription description;
    std::vector<std::string> signatures;
    std::vector<std::string> names;  // each argument's name followed by a NUL
    std::vector<sd_bus_vtable> vtable;
    dbus::Slot slot;
};

Result<std::unique_ptr<Bus>> Bus::open(const std::string& address) {
    auto connection = dbus::Connection::open(address);
    if (!connection) return Failure{connection.error()};
    std::unique_ptr<Bus> bus(new Bus());
    bus->connection_ = std::move(*connection);
    return bus;
}

Bus::Bus() = default;

Bus::~Bus() {
    // The matches and objects go before the connection they belong to.
    subscriptions_.clear();
    declared_.clear();
    connection_.reset();
}

bool Bus::declare(const InterfaceDescription& interface) {
    auto d = std::make_unique<Declared>();
    d->description = interface;
    for (const SignalDescription& signal : d->description.signals) {
        d->signatures.push_back(signal.signature());
        std::string names;
        for (const SignalArgument& a : signal.args) names += a.name + '\0';
        d->names.push_back(std::move(names));
    }
    d->vtable.push_back(SD_BUS_VTABLE_START(0));
    for (size_t i = 0; i < d->description.signals.size(); ++i)
        d->vtable.push_back(SD_BUS_SIGNAL_WITH_NAMES(d->description.signals[i].member.c_str(),
                                                     d->signatures[i].c_str(), d->names[i].c_str(),
                                                     0));
    d->vtable.push_back(SD_BUS_VTABLE_END);
    if (sd_bus_add_object_vtable(connection_->raw(), d->slot.out(), kBusPath,
                                 d->description.name.c_str(), d->vtable.data(), nullptr) < 0)
        return false;
    declared_.push_back(std::move(d));
    return true;
}

void Bus::setDisconnectHandler(std::function<void(const std::string&)> handler) {
    connection_->setDisconnectHandler(std::move(handler));
}

const std::string& Bus::uniqueName() const { return connection_->uniqueName(); }

bool Bus::connected() const { return connection_->connected(); }

int64_t Bus::processOf(const std::string& uniqueName) { return connection_->processOf(uniqueName); }

void Bus::pump() { connection_->pump(); }

void Bus::afterEchoes(std::function<void()> fn) {
    connection_->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "GetId", {}, [fn = std::move(fn)](const dbus::Reply&) {
                          // Behind what the echoes queued on the run loop.
                          RunLoop::main().schedule(0, fn);
                      });
}

void Bus::pauseReading(bool paused) { connection_->pauseReading(paused); }

void Bus::releaseHeld(size_t count) {
    for (; count > 0 && !held_.empty(); --count) {
        auto [subscription, signal] = std::move(held_.front());
        held_.pop_front();
        objc::AutoreleasePool pool;
        subscription->handler(signal);
    }
}

uint64_t Bus::sentCount(const std::string& interface) const {
    auto it = sentByInterface_.find(interface);
    return it == sentByInterface_.end() ? 0 : it->second;
}

bool Bus::emit(const BusSignal& signal) { return emit(&signal, 1); }

bool Bus::emit(const std::vector<BusSignal>& signals) {
    return emit(signals.data(), signals.size());
}

bool Bus::emit(const BusSignal* signals, size_t count) {
    if (!connected()) return false;
    if (beforeEmit_ && !emitting_) {
        emitting_ = true;
        beforeEmit_();
        emitting_ = false;
    }
    if (!connected()) return false;
    for (size_t i = 0; i < count; ++i) {
        if (!send(signals[i])) return false;
    }
    return connection_->flush();
}

bool Bus::send(const BusSignal& signal) {
    dbus::Message m;
    int r = sd_bus_message_new_signal(connection_->raw(), m.out(), kBusPath,
                                      signal.interface.c_str(), signal.member.c_str());
    for (size_t i = 0; r >= 0 && i < signal.args.size(); ++i) r = append(m.get(), signal.args[i]);
    if (r < 0) {
        // A signal that cannot be made is this signal's trouble, not the connection's.
        warn("bus",
             "cannot send " + signal.interface + "." + signal.member + ": " + dbus::errorText(r));
        return true;
    }
    r = sd_bus_send(connection_->raw(), m.get(), nullptr);
    if (r < 0) {
        connection_->lose(r);
        return false;
    }
    ++sentTotal_;
    ++sentByInterface_[signal.interface];
    return true;
}

void Bus::receive(Subscription* s, sd_bus_message* m) {
    BusSignal signal;
    const char* text = sd_bus_message_get_sender(m);
    signal.sender = text ? text : "";
    // The daemon sends only what the rule asks for; a signal that reached this process for
    // another subscription is not this one's.
    if (!s->sender.empty() && signal.sender != s->sender) return;
    text = sd_bus_message_get_interface(m);
    signal.interface = text ? text : "";
    text = sd_bus_message_get_member(m);
    signal.member = text ? text : "";
    if (!readArgs(m, signal.args)) return;  // a malformed signal is dropped
    if (holding_ && s->delivery == Delivery::InOrder) {
        held_.emplace_back(s, std::move(signal));
        return;
    }
    objc::AutoreleasePool pool;
    s->handler(signal);
}

void Bus::subscribe(const std::string& interface, const std::string& member,
                    std::optional<std::string> arg0, std::function<void(const BusSignal&)> handler,
                    Delivery delivery, const std::string& sender) {
    if (!connected()) return;
    auto sub = std::make_unique<Subscription>();
    sub->handler = std::move(handler);
    sub->delivery = delivery;
    sub->sender = sender;
    Subscription* s = sub.get();
    sub->match = connection_->match(
        {.sender = sender, .interface = interface, .member = member, .arg0 = std::move(arg0)},
        [this, s](sd_bus_message* m) { receive(s, m); });
    if (connected()) subscriptions_.push_back(std::move(sub));
}

}  // namespace platform
