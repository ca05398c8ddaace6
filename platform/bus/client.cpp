#include "platform/bus/client.h"

#include <pthread.h>
#include <time.h>

#include <csignal>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform::dbus {

namespace {

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

// An sd_bus_error, freed when it goes out of scope.
struct ErrorReply {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorReply() { sd_bus_error_free(&error); }
};

}  // namespace

std::string errorText(int r) { return std::strerror(r < 0 ? -r : r); }

std::string Rule::text() const {
    std::string rule = "type='signal'";
    if (!sender.empty()) rule += ",sender=" + quoteRule(sender);
    if (!path.empty()) rule += (pathNamespace ? ",path_namespace=" : ",path=") + quoteRule(path);
    if (!interface.empty()) rule += ",interface=" + quoteRule(interface);
    if (!member.empty()) rule += ",member=" + quoteRule(member);
    if (arg0) rule += ",arg0=" + quoteRule(*arg0);
    return rule;
}

Result<std::vector<std::string>> readStrings(sd_bus_message* m) {
    char** strv = nullptr;
    if (const int r = sd_bus_message_read_strv(m, &strv); r < 0) return Failure{errorText(r)};
    std::vector<std::string> out;
    for (char** p = strv; p && *p; ++p) {
        out.emplace_back(*p);
        std::free(*p);
    }
    std::free(strv);
    return out;
}

// --- the connection --------------------------------------------------------------------------

Result<std::unique_ptr<Connection>> Connection::open(Kind kind) {
    sd_bus* bus = nullptr;
    const int r = kind == Kind::System ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
    std::string name = kind == Kind::System ? "the system bus" : "the session bus";
    if (r < 0) return Failure{"cannot connect to " + name + ": " + errorText(r)};
    return attach(bus, std::move(name));
}

Result<std::unique_ptr<Connection>> Connection::open(const std::string& address) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
    const char* unique = nullptr;
    if (r >= 0) r = sd_bus_get_unique_name(bus, &unique);
    if (r < 0) {
        sd_bus_flush_close_unref(bus);
        return Failure{"cannot connect to the bus at " + address + ": " + errorText(r)};
    }
    auto connection = attach(bus, "the bus connection");
    if (connection) (*connection)->uniqueName_ = unique ? unique : "";
    return connection;
}

Result<std::unique_ptr<Connection>> Connection::attach(sd_bus* bus, std::string name) {
    std::unique_ptr<Connection> connection(new Connection(bus, std::move(name)));
    Connection* self = connection.get();
    const int r = sd_bus_add_filter(
        bus, self->closedFilter_.out(),
        [](sd_bus_message* m, void* userdata, sd_bus_error*) {
            if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
                auto* c = static_cast<Connection*>(userdata);
                c->lost("lost " + c->name_ + ": the bus closed it");
            }
            return 0;
        },
        self);
    if (r < 0) return Failure{"cannot watch " + self->name_ + ": " + errorText(r)};
    return connection;
}

Connection::Connection(sd_bus* bus, std::string name) : bus_(bus), name_(std::move(name)) {
    fd_ = sd_bus_get_fd(bus_);
    watchSocket(true);
}

Connection::~Connection() {
    watchSocket(false);
    if (timeoutTask_ != 0) RunLoop::main().cancel(timeoutTask_);
    closedFilter_.reset();
    sd_bus_flush_close_unref(bus_);
}

void Connection::watchSocket(bool on) {
    if (on == watching_ || fd_ < 0) return;
    watching_ = on;
    if (on)
        RunLoop::main().addSource(fd_, [this] { pump(); });
    else
        RunLoop::main().removeSource(fd_);
}

void Connection::lost(const std::string& reason) {
    if (disconnected_) return;
    disconnected_ = true;
    watchSocket(false);
    if (onDisconnect_) {
        auto handler = onDisconnect_;
        RunLoop::main().schedule(0, [handler, reason] { handler(reason); });
    }
}

void Connection::lose(int r) { lost("lost " + name_ + ": " + errorText(r)); }

bool Connection::flush() {
    if (disconnected_) return false;
    if (const int r = sd_bus_flush(bus_); r < 0) {
        lose(r);
        return false;
    }
    return true;
}

void Connection::pauseReading(bool paused) {
    if (paused == paused_ || disconnected_) return;
    paused_ = paused;
    watchSocket(!paused);
}

void Connection::pump() {
    pumpQueued_ = false;
    if (disconnected_ || paused_) return;
    std::weak_ptr<void> alive = alive_.watch();
    for (;;) {
        const int r = sd_bus_process(bus_, nullptr);
        if (alive.expired()) return;  // a handler let go of this connection
        if (r < 0) return lose(r);
        if (r == 0 || disconnected_) break;
    }
    if (disconnected_) return;
    if (sd_bus_is_open(bus_) <= 0) return lost("lost " + name_ + ": the bus closed it");
    if (calling_) afterWork();
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
    std::weak_ptr<void> alive = alive_.watch();
    timeoutTask_ = RunLoop::main().schedule(delay, [this, alive] {
        if (alive.expired()) return;
        timeoutTask_ = 0;
        pump();
    });
}

int64_t Connection::processOf(const std::string& uniqueName) {
    if (uniqueName.empty()) return -1;
    Creds creds;
    pid_t pid = -1;
    if (sd_bus_get_name_creds(bus_, uniqueName.c_str(), SD_BUS_CREDS_PID, creds.out()) >= 0 &&
        sd_bus_creds_get_pid(creds.get(), &pid) < 0)
        pid = -1;
    return pid;
}

// --- matches -----------------------------------------------------------------------------------

int Connection::Match::callback(sd_bus_message* m, void* userdata, sd_bus_error*) {
    static_cast<Match*>(userdata)->handler_(m);
    return 0;
}

std::unique_ptr<Connection::Match> Connection::match(const Rule& rule,
                                                     std::function<void(sd_bus_message*)> handler) {
    std::unique_ptr<Match> match(new Match());
    match->handler_ = std::move(handler);
    if (disconnected_) return match;
    // Adding a rule waits for the daemon's answer. A signal handled meanwhile (SIGTERM, the
    // tweak's SIGINT) would cut the wait short after the request went out, and asking again
    // would leave the daemon a second copy of the rule, counted against the connection's
    // limit: signals wait until the answer is in (their handlers only queue work).
    sigset_t all, before;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &before);
    const int r = sd_bus_add_match(bus_, match->slot_.out(), rule.text().c_str(),
                                   &Match::callback, match.get());
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (r < 0) {
        // Adding a rule is a round trip to the daemon: a bus that dies meanwhile is a lost bus,
        // whatever stage the process had reached.
        const bool gone =
            r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || sd_bus_is_open(bus_) <= 0;
        lost((gone ? "lost " : "cannot add a match rule to ") + name_ + ": " + errorText(r));
        return match;
    }
    // Adding the rule waited for the daemon's reply; signals read meanwhile wait in sd-bus.
    std::weak_ptr<void> alive = alive_.watch();
    RunLoop::main().schedule(0, [this, alive] {
        if (!alive.expired()) pump();
    });
    return match;
}

// --- method calls ------------------------------------------------------------------------------

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

int newCall(sd_bus* bus, Message& m, const std::string& destination, const std::string& path,
            const std::string& interface, const std::string& member,
            const Connection::Appender& append) {
    int r = sd_bus_message_new_method_call(bus, m.out(), destination.c_str(), path.c_str(),
                                           interface.c_str(), member.c_str());
    if (r >= 0 && append) r = append(m.get());
    return r;
}

}  // namespace

void Connection::call(const std::string& destination, const std::string& path,
                      const std::string& interface, const std::string& member,
                      const Appender& append, std::function<void(const Reply&)> onReply) {
    calling_ = true;
    Message m;
    int r =
        disconnected_ ? -ENOTCONN : newCall(bus_, m, destination, path, interface, member, append);
    Slot slot;
    auto pending = std::make_unique<PendingCall>(PendingCall{std::move(onReply)});
    if (r >= 0)
        r = sd_bus_call_async(bus_, slot.out(), m.get(), &PendingCall::callback, pending.get(), 0);
    if (r < 0) {
        const std::string why =
            "cannot call " + member + " of " + destination + ": " + errorText(r);
        std::shared_ptr<PendingCall> owned(pending.release());
        RunLoop::main().schedule(0, [owned, why] {
            if (owned->onReply) owned->onReply(Reply{nullptr, why});
        });
        return;
    }
    // The call's slot floats: sd-bus keeps it until the reply came, then frees what it carries.
    sd_bus_slot_set_destroy_callback(slot.get(), &PendingCall::destroy);
    pending.release();
    sd_bus_slot_set_floating(slot.get(), 1);
    if (flush()) afterWork();
}

Result<void> Connection::callNow(const std::string& destination, const std::string& path,
                                 const std::string& interface, const std::string& member,
                                 const Appender& append, double timeoutSeconds) {
    if (disconnected_) return Failure{name_ + " is gone"};
    calling_ = true;
    Message m, reply;
    ErrorReply error;
    int r = newCall(bus_, m, destination, path, interface, member, append);
    if (r >= 0)
        r = sd_bus_call(bus_, m.get(), static_cast<uint64_t>(timeoutSeconds * 1e6), &error.error,
                        reply.out());
    afterWork();
    if (r < 0)
        return Failure{member + " of " + destination +
                       " failed: " + (error.error.message ? error.error.message : errorText(r))};
    return {};
}

// --- who owns a name ---------------------------------------------------------------------------

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
    watch->changes_ =
        match({.path = "/org/freedesktop/DBus",
               .interface = "org.freedesktop.DBus",
               .member = "NameOwnerChanged",
               .arg0 = name},
              [w](sd_bus_message* m) {
                  const char *n = nullptr, *before = nullptr, *after = nullptr;
                  if (sd_bus_message_read(m, "sss", &n, &before, &after) < 0 || n == nullptr)
                      return;
                  if (w->name_ == n) w->set(after ? after : "");
              });
    std::weak_ptr<void> alive = watch->alive_.watch();
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

}  // namespace platform::dbus
