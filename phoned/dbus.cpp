#include "dbus.h"

#include <time.h>

#include <cerrno>
#include <cstring>

namespace phoned {

using platform::Failure;
using platform::Result;
using platform::RunLoop;

namespace {

std::string errorText(int r) { return std::strerror(r < 0 ? -r : r); }

std::string quoteRule(const std::string& v) {
    std::string out = "'";
    for (char c : v) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

Result<void> fail(const char* what, int r) {
    return Failure{std::string("cannot read ") + what + ": " + errorText(r)};
}

}  // namespace

// --- values ---------------------------------------------------------------------------------

bool asBool(const Variant& v, bool fallback) {
    if (auto* b = std::get_if<bool>(&v)) return *b;
    return fallback;
}

int64_t asInt(const Variant& v, int64_t fallback) {
    if (auto* i = std::get_if<int64_t>(&v)) return *i;
    return fallback;
}

std::string asString(const Variant& v) {
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    return "";
}

std::vector<std::string> asStrings(const Variant& v) {
    if (auto* s = std::get_if<std::vector<std::string>>(&v)) return *s;
    return {};
}

const Variant* find(const Props& props, const std::string& name) {
    auto it = props.find(name);
    return it == props.end() ? nullptr : &it->second;
}

Result<Variant> readVariant(sd_bus_message* m) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, nullptr, &contents);
    if (r <= 0 || contents == nullptr) return Failure{"cannot read a variant: " + errorText(r)};
    const std::string sig = contents;
    if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents)) < 0)
        return Failure{"cannot read a variant: " + errorText(r)};
    Variant out = Other{};
    auto integer = [&](char type) -> int {
        union {
            uint8_t y;
            int16_t n;
            uint16_t q;
            int32_t i;
            uint32_t u;
            int64_t x;
            uint64_t t;
        } v{};
        int rr = sd_bus_message_read_basic(m, type, &v);
        if (rr < 0) return rr;
        switch (type) {
            case 'y':
                out = int64_t{v.y};
                break;
            case 'n':
                out = int64_t{v.n};
                break;
            case 'q':
                out = int64_t{v.q};
                break;
            case 'i':
                out = int64_t{v.i};
                break;
            case 'u':
                out = int64_t{v.u};
                break;
            case 'x':
                out = v.x;
                break;
            default:
                out = static_cast<int64_t>(v.t);
                break;
        }
        return rr;
    };
    if (sig == "b") {
        int b = 0;
        r = sd_bus_message_read_basic(m, 'b', &b);
        out = b != 0;
    } else if (sig.size() == 1 && std::strchr("ynqiuxt", sig[0]) != nullptr) {
        r = integer(sig[0]);
    } else if (sig == "d") {
        double d = 0;
        r = sd_bus_message_read_basic(m, 'd', &d);
        out = d;
    } else if (sig == "s" || sig == "o" || sig == "g") {
        const char* s = nullptr;
        r = sd_bus_message_read_basic(m, sig[0], &s);
        out = std::string(s ? s : "");
    } else if (sig == "as" || sig == "ao") {
        std::vector<std::string> list;
        r = sd_bus_message_enter_container(m, 'a', sig.c_str() + 1);
        while (r >= 0) {
            const char* s = nullptr;
            r = sd_bus_message_read_basic(m, sig[1], &s);
            if (r <= 0) break;
            list.emplace_back(s ? s : "");
        }
        if (r >= 0) r = sd_bus_message_exit_container(m);
        out = std::move(list);
    } else {
        r = sd_bus_message_skip(m, contents);
    }
    if (r < 0) return Failure{"cannot read a value of type " + sig + ": " + errorText(r)};
    if ((r = sd_bus_message_exit_container(m)) < 0)
        return Failure{"cannot read a variant: " + errorText(r)};
    return out;
}

Result<Props> readProps(sd_bus_message* m) {
    Props props;
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return Failure{fail("properties", r).error()};
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &name)) < 0) break;
        auto value = readVariant(m);
        if (!value) return Failure{value.error()};
        props[name ? name : ""] = std::move(*value);
        if ((r = sd_bus_message_exit_container(m)) < 0) break;
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r < 0) return Failure{fail("properties", r).error()};
    return props;
}

Result<Interfaces> readInterfaces(sd_bus_message* m) {
    Interfaces interfaces;
    int r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
        const char* interface = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &interface)) < 0) break;
        auto props = readProps(m);
        if (!props) return Failure{props.error()};
        interfaces[interface ? interface : ""] = std::move(*props);
        r = sd_bus_message_exit_container(m);
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r < 0) return Failure{fail("the interfaces", r).error()};
    return interfaces;
}

Result<ManagedObjects> readManagedObjects(sd_bus_message* m) {
    ManagedObjects objects;
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read_basic(m, 'o', &path)) < 0) break;
        auto interfaces = readInterfaces(m);
        if (!interfaces) return Failure{interfaces.error()};
        objects[path ? path : ""] = std::move(*interfaces);
        r = sd_bus_message_exit_container(m);
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r < 0) return Failure{fail("the managed objects", r).error()};
    return objects;
}

Result<InterfacesAdded> readInterfacesAdded(sd_bus_message* m) {
    const char* path = nullptr;
    if (int r = sd_bus_message_read_basic(m, 'o', &path); r < 0 || path == nullptr)
        return Failure{fail("the object added", r < 0 ? r : -EINVAL).error()};
    auto interfaces = readInterfaces(m);
    if (!interfaces) return Failure{interfaces.error()};
    return InterfacesAdded{path, std::move(*interfaces)};
}

Result<InterfacesRemoved> readInterfacesRemoved(sd_bus_message* m) {
    const char* path = nullptr;
    if (int r = sd_bus_message_read_basic(m, 'o', &path); r < 0 || path == nullptr)
        return Failure{fail("the object removed", r < 0 ? r : -EINVAL).error()};
    char** names = nullptr;
    if (int r = sd_bus_message_read_strv(m, &names); r < 0)
        return Failure{fail("the interfaces removed", r).error()};
    InterfacesRemoved removed{path, {}};
    for (char** i = names; i && *i; ++i) {
        removed.interfaces.emplace_back(*i);
        std::free(*i);
    }
    std::free(names);
    return removed;
}

// --- the connection --------------------------------------------------------------------------

Result<std::unique_ptr<Connection>> Connection::open(Kind kind) {
    sd_bus* bus = nullptr;
    int r = kind == Kind::System ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
    const char* name = kind == Kind::System ? "system bus" : "session bus";
    if (r < 0) return Failure{std::string("cannot connect to the ") + name + ": " + errorText(r)};
    return std::unique_ptr<Connection>(new Connection(kind, bus));
}

Connection::Connection(Kind kind, sd_bus* bus) : kind_(kind), bus_(bus) {
    fd_ = sd_bus_get_fd(bus_);
    RunLoop::main().addSource(fd_, [this] { pump(); });
    afterWork();
}

Connection::~Connection() {
    *alive_ = false;
    if (fd_ >= 0 && !disconnected_) RunLoop::main().removeSource(fd_);
    if (timeoutTask_ != 0) RunLoop::main().cancel(timeoutTask_);
    sd_bus_flush_close_unref(bus_);
}

void Connection::lost(const std::string& reason) {
    if (disconnected_) return;
    disconnected_ = true;
    RunLoop::main().removeSource(fd_);
    if (onDisconnect_) {
        auto handler = onDisconnect_;
        RunLoop::main().schedule(0, [handler, reason] { handler(reason); });
    }
}

void Connection::pump() {
    pumpQueued_ = false;
    if (disconnected_) return;
    std::weak_ptr<bool> alive = alive_;
    for (;;) {
        const int r = sd_bus_process(bus_, nullptr);
        if (alive.expired()) return;
        if (r < 0) {
            lost(std::string("lost the ") + busName() + ": " + errorText(r));
            return;
        }
        if (r == 0) break;
    }
    if (!sd_bus_is_open(bus_)) {
        lost(std::string("lost the ") + busName() + ": the bus closed the connection");
        return;
    }
    afterWork();
}

// Wakes the loop for whatever sd-bus has waiting: messages it read while waiting for a reply,
// and the next call time-out.
void Connection::afterWork() {
    if (disconnected_) return;
    uint64_t due = 0;
    if (sd_bus_get_timeout(bus_, &due) < 0 || due == UINT64_MAX) return;
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000u + ts.tv_nsec / 1000;
    const double delay = due > now ? static_cast<double>(due - now) / 1e6 : 0.0;
    if (delay == 0.0 && pumpQueued_) return;
    if (timeoutTask_ != 0) RunLoop::main().cancel(timeoutTask_);
    pumpQueued_ = delay == 0.0;
    std::weak_ptr<bool> alive = alive_;
    timeoutTask_ = RunLoop::main().schedule(delay, [this, alive] {
        if (alive.expired()) return;
        timeoutTask_ = 0;
        pump();
    });
}

namespace {

struct PendingCall {
    std::function<void(const Reply&)> onReply;
    static int callback(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* p = static_cast<PendingCall*>(userdata);
        Reply reply;
        if (sd_bus_message_is_method_error(m, nullptr)) {
            const sd_bus_error* e = sd_bus_message_get_error(m);
            reply.error = std::string(e && e->name ? e->name : "error") + ": " +
                          (e && e->message ? e->message : "no reason given");
        } else {
            reply.message = m;
        }
        if (p->onReply) {
            auto fn = std::move(p->onReply);
            p->onReply = nullptr;
            fn(reply);
        }
        return 0;
    }
    static void destroy(void* userdata) { delete static_cast<PendingCall*>(userdata); }
};

int newCall(sd_bus* bus, sd_bus_message** m, const std::string& destination,
            const std::string& path, const std::string& interface, const std::string& member,
            const Connection::Appender& append) {
    int r = sd_bus_message_new_method_call(bus, m, destination.c_str(), path.c_str(),
                                           interface.c_str(), member.c_str());
    if (r >= 0 && append) r = append(*m);
    return r;
}

}  // namespace

void Connection::call(const std::string& destination, const std::string& path,
                      const std::string& interface, const std::string& member,
                      const Appender& append, std::function<void(const Reply&)> onReply) {
    sd_bus_message* m = nullptr;
    int r =
        disconnected_ ? -ENOTCONN : newCall(bus_, &m, destination, path, interface, member, append);
    sd_bus_slot* slot = nullptr;
    auto* pending = new PendingCall{std::move(onReply)};
    if (r >= 0) r = sd_bus_call_async(bus_, &slot, m, &PendingCall::callback, pending, 0);
    sd_bus_message_unref(m);
    if (r < 0) {
        const std::string why =
            "cannot call " + member + " of " + destination + ": " + errorText(r);
        std::shared_ptr<PendingCall> owned(pending);
        RunLoop::main().schedule(0, [owned, why] {
            if (owned->onReply) owned->onReply(Reply{nullptr, why});
        });
        return;
    }
    sd_bus_slot_set_destroy_callback(slot, &PendingCall::destroy);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    if ((r = sd_bus_flush(bus_)) < 0) {
        lost(std::string("lost the ") + busName() + ": " + errorText(r));
        return;
    }
    afterWork();
}

Result<void> Connection::callNow(const std::string& destination, const std::string& path,
                                 const std::string& interface, const std::string& member,
                                 const Appender& append, double timeoutSeconds) {
    if (disconnected_) return Failure{std::string("the ") + busName() + " is gone"};
    sd_bus_message* m = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = newCall(bus_, &m, destination, path, interface, member, append);
    if (r >= 0)
        r = sd_bus_call(bus_, m, static_cast<uint64_t>(timeoutSeconds * 1e6), &error, &reply);
    std::string why = error.message ? error.message : errorText(r);
    sd_bus_error_free(&error);
    sd_bus_message_unref(m);
    sd_bus_message_unref(reply);
    afterWork();
    if (r < 0) return Failure{member + " of " + destination + " failed: " + why};
    return {};
}

void Connection::getAll(const std::string& destination, const std::string& path,
                        const std::string& interface, std::function<void(Result<Props>)> done) {
    call(
        destination, path, "org.freedesktop.DBus.Properties", "GetAll",
        [interface](sd_bus_message* m) {
            return sd_bus_message_append_basic(m, 's', interface.c_str());
        },
        [done = std::move(done)](const Reply& reply) {
            if (!reply.ok()) return done(Failure{reply.error});
            done(readProps(reply.message));
        });
}

Connection::Match::~Match() { sd_bus_slot_unref(slot_); }

int Connection::Match::callback(sd_bus_message* m, void* userdata, sd_bus_error*) {
    static_cast<Match*>(userdata)->handler_(m);
    return 0;
}

std::unique_ptr<Connection::Match> Connection::match(const std::string& path, bool pathNamespace,
                                                     const std::string& interface,
                                                     const std::string& member,
                                                     std::function<void(sd_bus_message*)> handler,
                                                     const std::string& arg0) {
    std::string rule = "type='signal'";
    if (!path.empty()) rule += (pathNamespace ? ",path_namespace=" : ",path=") + quoteRule(path);
    if (!interface.empty()) rule += ",interface=" + quoteRule(interface);
    if (!member.empty()) rule += ",member=" + quoteRule(member);
    if (!arg0.empty()) rule += ",arg0=" + quoteRule(arg0);
    std::unique_ptr<Match> match(new Match());
    match->handler_ = std::move(handler);
    if (!disconnected_) {
        int r;
        // A signal handled meanwhile (SIGTERM, the tweak's SIGINT) cuts the wait short: ask again.
        do {
            r = sd_bus_add_match(bus_, &match->slot_, rule.c_str(), &Match::callback, match.get());
        } while (r == -EINTR);
        if (r < 0) {
            // A round trip to the daemon: a bus that dies meanwhile is a lost bus.
            const bool gone =
                r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || sd_bus_is_open(bus_) <= 0;
            lost((gone ? "lost the " : "cannot watch the ") + std::string(busName()) + ": " +
                 errorText(r));
        }
        afterWork();
    }
    return match;
}

void Connection::NameWatch::set(const std::string& owner) {
    if (known_ && owner == owner_) return;
    known_ = true;
    owner_ = owner;
    onOwner_(owner);
}

std::unique_ptr<Connection::NameWatch> Connection::watchName(
    const std::string& name, std::function<void(const std::string&)> onOwner) {
    auto watch = std::make_unique<NameWatch>();
    watch->name_ = name;
    watch->onOwner_ = std::move(onOwner);
    NameWatch* w = watch.get();
    // The changes first, then the current owner: the daemon answers in order, so the last word
    // is always the right one.
    watch->changes_ = match(
        "/org/freedesktop/DBus", false, "org.freedesktop.DBus", "NameOwnerChanged",
        [w](sd_bus_message* m) {
            const char *n = nullptr, *before = nullptr, *after = nullptr;
            if (sd_bus_message_read(m, "sss", &n, &before, &after) < 0 || n == nullptr) return;
            if (w->name_ == n) w->set(after ? after : "");
        },
        name);
    std::weak_ptr<bool> alive = watch->alive_;
    call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        [name](sd_bus_message* m) { return sd_bus_message_append_basic(m, 's', name.c_str()); },
        [w, alive](const Reply& reply) {
            if (alive.expired()) return;
            const char* owner = nullptr;
            if (reply.ok() && sd_bus_message_read_basic(reply.message, 's', &owner) >= 0 && owner)
                w->set(owner);
            else
                w->set("");
        });
    return watch;
}

}  // namespace phoned
