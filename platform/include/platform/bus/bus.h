// The phone's own bus: the processes of a phone talk over a private D-Bus, through the client
// layer (client.h) over sd-bus from libsystemd. Everything travels as signals on the object
// path "/org/orvella/Phone". The interfaces are described once each, in introspection XML:
// the notification centres' own beside their transport (notify/), the simulator's in its
// protocol; code and descriptions are generated from the XML. A process declares the interfaces
// it sends or receives (declare()), so standard tools (busctl introspect, dbus-monitor,
// dbus-send) can see, watch and drive a running phone.
//
// Incoming signals are handled on the main run loop, in the order the daemon delivers them; a
// subscription may take them from one sender only. A process whose connection is lost is told
// once through the disconnect handler (the client's lost-bus rule).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/bus/interface.h"
#include "platform/core/result.h"

struct sd_bus_message;  // sd-bus.h

namespace platform {

namespace dbus {
class Connection;  // client.h
}

inline constexpr const char* kBusPath = "/org/orvella/Phone";

using BusArg = std::variant<bool, int32_t, int64_t, double, std::string, std::vector<std::string>>;

struct BusSignal {
    std::string interface;
    std::string member;
    std::vector<BusArg> args;
    std::string sender;  // unique name of the sending connection (received signals)

    // The argument at i when it has that type, else nullptr.
    template <class T>
    const T* arg(size_t i) const {
        return i < args.size() ? std::get_if<T>(&args[i]) : nullptr;
    }
    const std::string* text(size_t i) const { return arg<std::string>(i); }
};

class Bus {
  public:
    // How a subscription's signals reach it while the bus holds its deliveries (hold()).
    enum class Delivery { InOrder, Immediate };

    // Connects to the bus at address and attaches to the main run loop; fails when the bus
    // cannot be reached.
    static Result<std::unique_ptr<Bus>> open(const std::string& address);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Sends and flushes; false when the connection is gone.
    bool emit(const BusSignal& signal);
    // Sends them in order, flushing once.
    bool emit(const std::vector<BusSignal>& signals);
    // Calls handler for every signal of that interface and member (every member when empty)
    // and first argument, from that sender only when one is given (a unique name: the bus
    // daemon then sends this process no other's).
    void subscribe(const std::string& interface, const std::string& member,
                   std::optional<std::string> arg0, std::function<void(const BusSignal&)> handler,
                   Delivery delivery = Delivery::InOrder, const std::string& sender = {});
    // Says on the connection that this process sends or receives the interface's signals on
    // kBusPath, so Introspect shows them; false when sd-bus refuses the description.
    bool declare(const InterfaceDescription& interface);
    // Called before every signal this connection sends (a process that batches its own
    // signals flushes them here, so the order of everything it sends holds).
    void setBeforeEmit(std::function<void()> fn) { beforeEmit_ = std::move(fn); }
    // Runs fn on the main run loop after every signal this connection sent before has come
    // back to this process's own subscriptions and been handed on (the bus daemon answers a
    // call only after passing on what the caller sent before it); also when the bus is gone.
    void afterEchoes(std::function<void()> fn);
    // Called once, on the main run loop, when the connection is lost.
    void setDisconnectHandler(std::function<void(const std::string& reason)> handler);
    const std::string& uniqueName() const;
    // The process id behind a connection's unique name, as the bus daemon knows it (it took
    // it from the socket when the connection was made); -1 when it cannot tell.
    int64_t processOf(const std::string& uniqueName);
    bool connected() const;
    // Handles every message already received (the run loop does this whenever the socket is
    // readable).
    void pump();

    // While held, received signals wait in arrival order instead of reaching their handlers
    // (Immediate subscriptions excepted); releaseHeld(n) hands the first n on. A host on the
    // simulator's clock holds everything, so it handles exactly what arrived before its turn.
    void hold(bool on) { holding_ = on; }
    // While paused the connection reads nothing, so what it allocates does not depend on when
    // signals happen to arrive; pump() after resuming takes in what is waiting.
    void pauseReading(bool paused);
    size_t heldCount() const { return held_.size(); }
    void releaseHeld(size_t count);

    // Signals sent so far, in all or on one interface.
    uint64_t sentCount() const { return sentTotal_; }
    uint64_t sentCount(const std::string& interface) const;

  private:
    Bus();
    struct Subscription;
    struct Declared;
    bool emit(const BusSignal* signals, size_t count);
    bool send(const BusSignal& signal);
    void receive(Subscription* s, sd_bus_message* m);
    std::unique_ptr<dbus::Connection> connection_;
    std::vector<std::unique_ptr<Subscription>> subscriptions_;
    std::vector<std::unique_ptr<Declared>> declared_;
    std::function<void()> beforeEmit_;
    bool emitting_ = false;
    bool holding_ = false;
    std::deque<std::pair<Subscription*, BusSignal>> held_;
    uint64_t sentTotal_ = 0;
    std::map<std::string, uint64_t> sentByInterface_;
};

}  // namespace platform
