// The phone's processes talk over a private D-Bus, through the client layer (client.h) over
// sd-bus from libsystemd. Everything travels as signals on the object path "/org/orvella/Phone";
// the names are in busnames below, and nowhere else:
//
//   org.orvella.Darwin.Notification       (s name)                    Darwin notify centre and
//   org.orvella.Distributed.Notification  (s name, s userInfo)        distributed centre (their
//                                                                     transport: notify/
//                                                                     bus_transport.h)
//   org.orvella.Hardware.*                from the simulator: CallStatus (i status, b alternate),
//                                         Pose (d x, d y, d z), Proximity (b covered),
//                                         LockButton (), Locked (b), AudioOutputs (as ports),
//                                         Speaker (b on), Logging (b on)
//   org.orvella.Modem.*                   from the hosts: AnswerRequest (), SpeakerRequest (b on)
//   org.orvella.Trace.*                   from the hosts, what a person would see, one signal per
//                                         event, named after it; each starts with (s process):
//       ViewAdded, ViewRemoved, ButtonTapped (s class, x tag, d x, d y, d width, d height,
//                                         s text), SwitchFlipped (x tag, b on, s label),
//                                         PickerTurned (x column, s title), AlertShown (s title, s
//                                         message, as buttons), AlertClosed (s button), URLOpened
//                                         (s url), SensorSwitched (s "accelerometer"|"proximity", b
//                                         on), CallAnswered (s "button"|"slide"), SlideFinished (),
//                                         InCallButtonTapped (i position), SpeakerButtonTapped
//                                         (b on), CallScreenChanged (s "incoming"|"in-call",
//                                         b shown), LockScreenRotated (x orientation),
//                                         TweakInjected (s file), SettingsShown (s class),
//                                         PaneOpened (s entry), RecognizerChanged (i state,
//                                         d timeLimit, d timedSince), ScreenshotWritten
//                                         (s file), Bookkeeping (s what)
//   org.orvella.Trace.Log                 (s process, s line)  the tweak's log lines
//   org.orvella.Settings.Operate          (s action, s argument)  a user operating the pane
//   org.orvella.Host.Ready / Host.Done    (s process)
//   org.orvella.Clock.*                   the simulator's clock (sim/phone_clock.h): Hello
//                                         (s process), Run (s process, d now, x turn), Report
//                                         (s process, x turn, d nextDue, x sent), Scripted
//                                         (d at), Late (s process, d at, d lag)
//
// Receivers match notifications by name with arg0 rules, so standard tools (dbus-monitor,
// dbus-send, busctl) can watch and drive a running phone. Incoming signals are handled on the
// main run loop, in the order the daemon delivers them. A process whose connection is lost is
// told once through the disconnect handler (the client's lost-bus rule).
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

#include "platform/core/result.h"
#include "platform/core/trace.h"

namespace platform {

namespace dbus {
class Connection;  // client.h
}

inline constexpr const char* kBusPath = "/org/orvella/Phone";

namespace busnames {

inline constexpr const char* kDarwin = "org.orvella.Darwin";
inline constexpr const char* kDistributed = "org.orvella.Distributed";
inline constexpr const char* kNotification = "Notification";

inline constexpr const char* kHardware = "org.orvella.Hardware";
inline constexpr const char* kCallStatus = "CallStatus";
inline constexpr const char* kPose = "Pose";
inline constexpr const char* kProximity = "Proximity";
inline constexpr const char* kLockButton = "LockButton";
inline constexpr const char* kLocked = "Locked";
inline constexpr const char* kAudioOutputs = "AudioOutputs";
inline constexpr const char* kSpeaker = "Speaker";
inline constexpr const char* kLogging = "Logging";

inline constexpr const char* kModem = "org.orvella.Modem";
inline constexpr const char* kAnswerRequest = "AnswerRequest";
inline constexpr const char* kSpeakerRequest = "SpeakerRequest";

inline constexpr const char* kTrace = "org.orvella.Trace";
inline constexpr const char* kLog = "Log";        // the trace events' members: traceSignal()
inline constexpr const char* kEvents = "Events";  // several trace events: traceSignals()

inline constexpr const char* kSettings = "org.orvella.Settings";
inline constexpr const char* kOperate = "Operate";

inline constexpr const char* kHost = "org.orvella.Host";
inline constexpr const char* kReady = "Ready";
inline constexpr const char* kDone = "Done";

inline constexpr const char* kClock = "org.orvella.Clock";
inline constexpr const char* kHello = "Hello";
inline constexpr const char* kRun = "Run";
inline constexpr const char* kReport = "Report";
inline constexpr const char* kScripted = "Scripted";
inline constexpr const char* kLate = "Late";

}  // namespace busnames

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

// A trace event of the named process as its signal, and back (nullopt: not a trace event, or
// malformed). The process is the signal's first argument.
BusSignal traceSignal(const std::string& process, const TraceEvent& event);
std::optional<TraceEvent> traceEventOf(const BusSignal& signal);
// Several trace events of one process as few signals as the bus allows, so they cross the bus
// daemon as one message, not one each: an `Events` signal holds the process, then each event's
// member name followed by its fields; a lone event travels as its own signal. And back: every
// event a trace signal holds, in order (none: not trace events, or any of them malformed).
std::vector<BusSignal> traceSignals(const std::string& process,
                                    const std::vector<TraceEvent>& events);
std::vector<TraceEvent> traceEventsOf(const BusSignal& signal);

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
    // and first argument.
    void subscribe(const std::string& interface, const std::string& member,
                   std::optional<std::string> arg0, std::function<void(const BusSignal&)> handler,
                   Delivery delivery = Delivery::InOrder);
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
    bool send(const BusSignal& signal);
    std::unique_ptr<dbus::Connection> connection_;
    std::vector<std::unique_ptr<Subscription>> subscriptions_;
    std::function<void()> beforeEmit_;
    bool emitting_ = false;
    bool holding_ = false;
    std::deque<std::pair<Subscription*, BusSignal>> held_;
    uint64_t sentTotal_ = 0;
    std::map<std::string, uint64_t> sentByInterface_;
};

}  // namespace platform
