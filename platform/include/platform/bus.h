// The phone's processes talk over a private D-Bus (sd-bus from libsystemd). Everything travels
// as signals on the object path "/org/orvella/Phone":
//
//   org.orvella.Darwin.Notification       (s name)                    Darwin notify centre
//   org.orvella.Distributed.Notification  (s name, s userInfo)        distributed centre; user
//                                                                     information as XML plist
//                                                                     text, "" for none
//   org.orvella.Hardware.*                from the simulator: CallStatus (i status, b alternate),
//                                         Pose (d x, d y, d z), Proximity (b covered),
//                                         LockButton (), Locked (b), AudioOutputs (as ports),
//                                         Speaker (b on), Logging (b on)
//   org.orvella.Modem.*                   from the hosts: AnswerRequest (), SpeakerRequest (b on)
//   org.orvella.Trace.Events              (s process, as lines)  what a person would see, the
//                                         lines of one pass of the run loop together
//   org.orvella.Trace.Log                 (s process, s line)  the tweak's log lines
//   org.orvella.Settings.Operate          (s action, s argument)  a user operating the pane
//   org.orvella.Host.Ready / Host.Done    (s process)
//
// Receivers match notifications by name with arg0 rules, so standard tools (dbus-monitor,
// dbus-send, busctl) can watch and drive a running phone. Incoming signals are handled on the
// main run loop, in the order the daemon delivers them. A process whose connection is lost is
// told once through the disconnect handler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/notifications.h"

namespace platform {

inline constexpr const char* kBusPath = "/org/orvella/Phone";

using BusArg = std::variant<bool, int32_t, double, std::string, std::vector<std::string>>;

struct BusSignal {
    std::string interface;
    std::string member;
    std::vector<BusArg> args;
    std::string sender;  // unique name of the sending connection (received signals)

    const std::string* text(size_t i) const {
        return i < args.size() ? std::get_if<std::string>(&args[i]) : nullptr;
    }
};

class Bus {
  public:
    // Connects to the bus at address and attaches to the main run loop. nullptr (with the
    // reason in *error) when the bus cannot be reached.
    static std::unique_ptr<Bus> open(const std::string& address, std::string* error);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Sends and flushes; false when the connection is gone.
    bool emit(const BusSignal& signal);
    // Calls handler for every signal of that interface and member (and first argument).
    void subscribe(const std::string& interface, const std::string& member,
                   std::optional<std::string> arg0, std::function<void(const BusSignal&)> handler);
    // Called before every signal this connection sends (a process that batches its own
    // signals flushes them here, so the order of everything it sends holds).
    void setBeforeEmit(std::function<void()> fn) { beforeEmit_ = std::move(fn); }
    // Called once, on the main run loop, when the connection is lost.
    void setDisconnectHandler(std::function<void(const std::string& reason)> handler);
    const std::string& uniqueName() const { return uniqueName_; }
    // Handles every message already received (the run loop does this whenever the socket is
    // readable).
    void pump();

  private:
    Bus() = default;
    struct Subscription;
    void lost(const std::string& reason);
    void* bus_ = nullptr;  // sd_bus*
    int fd_ = -1;
    bool disconnected_ = false;
    std::string uniqueName_;
    std::vector<std::unique_ptr<Subscription>> subscriptions_;
    std::function<void(const std::string&)> onDisconnect_;
    std::function<void()> beforeEmit_;
    bool emitting_ = false;
    std::shared_ptr<bool> alive_ =
        std::make_shared<bool>(true);  // for work scheduled on the run loop
};

// Darwin and distributed notifications over a bus, for every process on it.
class BusTransport : public Transport {
  public:
    explicit BusTransport(Bus& bus);
    void send(const Envelope& envelope) override;
    void watch(Channel channel, const std::string& name) override;

  private:
    Bus& bus_;
    std::vector<std::pair<Channel, std::string>> watched_;
    bool everyName_[2] = {false, false};  // per channel: one rule for every name took over
};

}  // namespace platform
