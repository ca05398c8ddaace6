// A small sd-bus client for the phone's own services: asynchronous method calls, property reads,
// signal matches and name-owner tracking, all handled on the main run loop.
//
// Nothing here blocks the run loop except stop(), which the daemon uses on its way out to
// release what it holds. Every callback runs on the main thread.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/core/result.h"
#include "platform/loop/runloop.h"

namespace phoned {

// A property value as the services here use them; anything else reads as Other.
struct Other {
    bool operator==(const Other&) const = default;
};
using Variant = std::variant<Other, bool, int64_t, double, std::string, std::vector<std::string>>;
using Props = std::map<std::string, Variant>;
// Interface -> properties, as an object manager tells them for one object.
using Interfaces = std::map<std::string, Props>;
// Object path -> interface -> properties (org.freedesktop.DBus.ObjectManager).
using ManagedObjects = std::map<std::string, Interfaces>;
// What an object manager's InterfacesAdded and InterfacesRemoved signals say of one object.
struct InterfacesAdded {
    std::string path;
    Interfaces interfaces;
};
struct InterfacesRemoved {
    std::string path;
    std::vector<std::string> interfaces;
};

bool asBool(const Variant& v, bool fallback = false);
int64_t asInt(const Variant& v, int64_t fallback = 0);
std::string asString(const Variant& v);
std::vector<std::string> asStrings(const Variant& v);
const Variant* find(const Props& props, const std::string& name);

// Readers for the usual shapes; each leaves the message after what it read.
platform::Result<Variant> readVariant(sd_bus_message* m);
platform::Result<Props> readProps(sd_bus_message* m);            // a{sv}
platform::Result<Interfaces> readInterfaces(sd_bus_message* m);  // a{sa{sv}}
platform::Result<ManagedObjects> readManagedObjects(sd_bus_message* m);
platform::Result<InterfacesAdded> readInterfacesAdded(sd_bus_message* m);
platform::Result<InterfacesRemoved> readInterfacesRemoved(sd_bus_message* m);

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
    // Connects to the system or the user's session bus (the usual environment variables
    // DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS apply) and attaches to the run loop.
    static platform::Result<std::unique_ptr<Connection>> open(Kind kind);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const char* busName() const { return kind_ == Kind::System ? "system bus" : "session bus"; }
    sd_bus* raw() const { return bus_; }

    using Appender = std::function<int(sd_bus_message*)>;
    // Calls a method; onReply runs once, later, on the run loop (never inside call()).
    void call(const std::string& destination, const std::string& path, const std::string& interface,
              const std::string& member, const Appender& append,
              std::function<void(const Reply&)> onReply);
    // The same, waiting at most timeoutSeconds for the reply (for shutting down only).
    platform::Result<void> callNow(const std::string& destination, const std::string& path,
                                   const std::string& interface, const std::string& member,
                                   const Appender& append, double timeoutSeconds);
    void getAll(const std::string& destination, const std::string& path,
                const std::string& interface, std::function<void(platform::Result<Props>)> done);

    // Signals of that interface and member (any when empty) on that path, or below it when
    // pathNamespace is set, and with that first argument when arg0 is given. The handler sees
    // the message positioned at its first argument.
    class Match;
    std::unique_ptr<Match> match(const std::string& path, bool pathNamespace,
                                 const std::string& interface, const std::string& member,
                                 std::function<void(sd_bus_message*)> handler,
                                 const std::string& arg0 = {});

    // Follows who owns a well-known name: onOwner gets the unique name of the owner, or ""
    // when nobody owns it (at the start too, once the bus has answered).
    class NameWatch;
    std::unique_ptr<NameWatch> watchName(const std::string& name,
                                         std::function<void(const std::string& owner)> onOwner);

    // Called once, on the run loop, when the connection is lost.
    void setDisconnectHandler(std::function<void(const std::string&)> handler) {
        onDisconnect_ = std::move(handler);
    }

    // Handles everything received and due (the run loop calls it when the socket is readable).
    void pump();

  private:
    Connection(Kind kind, sd_bus* bus);
    void afterWork();
    void lost(const std::string& reason);
    Kind kind_;
    sd_bus* bus_ = nullptr;
    int fd_ = -1;
    bool disconnected_ = false;
    bool pumpQueued_ = false;
    platform::RunLoop::TaskId timeoutTask_ = 0;
    std::function<void(const std::string&)> onDisconnect_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class Connection::Match {
  public:
    ~Match();
    Match(const Match&) = delete;
    Match& operator=(const Match&) = delete;

  private:
    friend class Connection;
    Match() = default;
    static int callback(sd_bus_message* m, void* userdata, sd_bus_error*);
    sd_bus_slot* slot_ = nullptr;
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
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace phoned
