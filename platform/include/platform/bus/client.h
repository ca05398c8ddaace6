// The D-Bus client every process here talks through: a thin layer over sd-bus (libsystemd) that
// owns what sd-bus hands out, attaches a connection to the main run loop and says once, in one
// way, when the bus is lost. The phone's own bus (bus.h) and orvella-phoned's connections to a
// Linux phone's services stand on it.
//
// Everything runs on the main thread: a connection's socket is a source of the main run loop,
// and every match handler and method reply is called from it. Nothing here blocks the run loop
// but the round trips sd-bus makes itself (adding a match rule, callNow()).
//
// The lost-bus rule: a connection is lost when sd-bus fails to read, write or process, when the
// bus closes it (sd-bus's org.freedesktop.DBus.Local.Disconnected, or a connection found
// closed), or when a match rule cannot be added. It then reads nothing more, and the disconnect
// handler is called once, later, on the run loop, with one line that says why: "lost the system
// bus: Connection reset by peer", "lost the bus connection: the bus closed it".
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/result.h"
#include "platform/loop/runloop.h"

namespace platform::dbus {

// A reference sd-bus handed out, released when it goes out of scope.
template <class T, T* (*Unref)(T*)>
class Owned {
  public:
    Owned() = default;
    explicit Owned(T* p) : p_(p) {}
    Owned(Owned&& o) noexcept : p_(o.release()) {}
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    T* get() const { return p_; }
    // Where sd-bus writes a new reference (whatever was held is released first).
    T** out() {
        reset();
        return &p_;
    }
    T* release() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(T* p = nullptr) {
        if (p_ != nullptr) Unref(p_);
        p_ = p;
    }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

using Message = Owned<sd_bus_message, sd_bus_message_unref>;
using Slot = Owned<sd_bus_slot, sd_bus_slot_unref>;
using Creds = Owned<sd_bus_creds, sd_bus_creds_unref>;

// What an errno-style result of sd-bus means ("Connection reset by peer").
std::string errorText(int r);

// Work scheduled on the run loop for an object that may be gone by then checks its token first.
class AliveToken {
  public:
    std::weak_ptr<void> watch() const { return alive_; }

  private:
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// Which signals a match takes: those of the interface and member (any when empty), on the path
// (any when empty; the path and every path below it when pathNamespace), with that first
// argument when one is given, from that sender (a unique name; any when empty).
struct Rule {
    std::string sender = {};
    std::string path = {};
    bool pathNamespace = false;
    std::string interface = {};
    std::string member = {};
    std::optional<std::string> arg0 = {};
    // As the bus daemon reads it, every value quoted.
    std::string text() const;
};

// The array of strings at the message's position ("as"), moving past it.
Result<std::vector<std::string>> readStrings(sd_bus_message* m);

// A method reply, or the error the call ended with (an error reply, a time-out, a lost
// connection).
struct Reply {
    sd_bus_message* message = nullptr;  // valid only during the callback; null on error
    std::string error;                  // "org.freedesktop.DBus.Error.X: text"
    bool ok() const { return message != nullptr; }
};

class Connection {
  public:
    enum class Kind { System, Session };
    // Connects to the system or the user's session bus (DBUS_SYSTEM_BUS_ADDRESS and
    // DBUS_SESSION_BUS_ADDRESS apply), or to the bus at an address, and attaches to the run loop.
    static Result<std::unique_ptr<Connection>> open(Kind kind);
    static Result<std::unique_ptr<Connection>> open(const std::string& address);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sd_bus* raw() const { return bus_; }
    const std::string& uniqueName() const { return uniqueName_; }
    bool connected() const { return !disconnected_; }
    // Called once, on the run loop, when the connection is lost.
    void setDisconnectHandler(std::function<void(const std::string& reason)> handler) {
        onDisconnect_ = std::move(handler);
    }
    // The connection is lost for the sd-bus error r.
    void lose(int r);
    // Sends what is queued; false (and the connection lost) when it cannot.
    bool flush();

    // The handler sees each matching signal positioned at its first argument. The match lasts as
    // long as the object; on a connection that is or becomes lost it takes nothing.
    class Match;
    std::unique_ptr<Match> match(const Rule& rule, std::function<void(sd_bus_message*)> handler);

    using Appender = std::function<int(sd_bus_message*)>;
    // Calls a method; onReply runs once, later, on the run loop (never inside call()).
    void call(const std::string& destination, const std::string& path, const std::string& interface,
              const std::string& member, const Appender& append,
              std::function<void(const Reply&)> onReply);
    // The same, waiting at most timeoutSeconds for the reply (for shutting down only).
    Result<void> callNow(const std::string& destination, const std::string& path,
                         const std::string& interface, const std::string& member,
                         const Appender& append, double timeoutSeconds);

    // Follows who owns a well-known name: onOwner gets the unique name of the owner, or ""
    // when nobody owns it (at the start too, once the bus has answered).
    class NameWatch;
    std::unique_ptr<NameWatch> watchName(const std::string& name,
                                         std::function<void(const std::string& owner)> onOwner);

    // The process id behind a connection's unique name, as the bus daemon knows it (it took it
    // from the socket when the connection was made); -1 when it cannot tell.
    int64_t processOf(const std::string& uniqueName);

    // Handles every message already received, and what is due (the run loop does this whenever
    // the socket is readable).
    void pump();
    // While paused the connection reads nothing; pump() after resuming takes in what is waiting.
    void pauseReading(bool paused);

  private:
    Connection(sd_bus* bus, std::string name);
    static Result<std::unique_ptr<Connection>> attach(sd_bus* bus, std::string name);
    void lost(const std::string& reason);
    void watchSocket(bool on);
    void afterWork();
    sd_bus* bus_ = nullptr;
    std::string name_;  // as its messages say it: "the system bus"
    std::string uniqueName_;
    int fd_ = -1;
    bool watching_ = false;
    bool disconnected_ = false;
    bool paused_ = false;
    bool calling_ = false;  // a method was called: sd-bus's time-outs are followed from then on
    bool pumpQueued_ = false;
    RunLoop::TaskId timeoutTask_ = 0;
    Slot closedFilter_;  // sees sd-bus tell that the bus closed the connection
    std::function<void(const std::string&)> onDisconnect_;
    AliveToken alive_;
};

class Connection::Match {
  public:
    Match(const Match&) = delete;
    Match& operator=(const Match&) = delete;

  private:
    friend class Connection;
    Match() = default;
    static int callback(sd_bus_message* m, void* userdata, sd_bus_error*);
    Slot slot_;
    std::function<void(sd_bus_message*)> handler_;
};

class Connection::NameWatch {
  public:
    const std::string& owner() const { return owner_; }

  private:
    friend class Connection;
    void set(const std::string& owner);
    std::string name_;
    std::string owner_;
    bool known_ = false;
    std::function<void(const std::string&)> onOwner_;
    std::unique_ptr<Match> changes_;
    AliveToken alive_;
};

}  // namespace platform::dbus
