// One clock for the whole phone: the simulator's. Hosts run on driven clocks (host/host_clock.h)
// and move only when the simulator gives them a turn.
//
// At one instant t, settle() repeats, until nothing is left:
//   1. the simulator runs its own work due at t (scenario steps, its answers to the modem
//      requests it received), counting the signals it sends;
//   2. the next host in a fixed round-robin order that may have work gets a turn: the
//      simulator sends it Run(t), the host sets its clock to t, takes in every signal it
//      received before that Run, runs everything due at t (including work those signals
//      caused), and sends back Report(next due time, signals sent that other hosts may hear).
// A host "may have work" when its reported next due time is at or before t, or when some
// process sent a signal since its last turn began. Only then does the clock move, to the
// earliest time the simulator or any host has work.
//
// Why this settles the phone (every signal sent has been handled, and no work is due at t):
//   - A host handles signals only during its own turn, and then only those that reached it
//     before the Run that began the turn; everything else it holds (Bus::hold). So only one
//     process acts at a time, and the simulator sends nothing while a host has the turn (its
//     answers wait for step 1).
//   - One dbus-daemon routes each connection's messages in the order it sent them, queueing
//     a signal for every receiver before reading the sender's next message. So a signal X
//     that host A sent before its Report is queued for host B before the Report reaches the
//     simulator, hence before any Run the simulator sends B afterwards: B's next turn takes
//     X in. The same holds for signals the simulator sent before a Run, and for a host's own
//     signals coming back to it.
//   - Every turn in which a host sent such a signal, and every step 1 that sent one, bumps an
//     epoch; every host whose last turn began before the bump gets another turn. When no host
//     needs a turn, each host's last turn began after the last signal anyone sent, so it took
//     that signal in, handled it and ran all its work due at t (its report says its next due
//     time is later); and step 1 has just run with nothing more to do.
// Why it repeats exactly: the order of turns depends only on the reports, each host acts only
// in its turn on a set of signals fixed by the order above, and the simulator's timeline is
// written in the order the reports and trace signals arrive - the same on every run.
// Signals only the simulator hears (trace, log, modem requests, clock, host) are not counted.
//
// Who is believed: a host takes Run only from the simulator's connection, and only for its next
// turn, moving its clock forward (host/host_clock.h); the simulator takes Hello and Report only
// from the host they name, a Report only for the turn in progress and with a next due time that
// is a time (protocol/interfaces/org.orvella.Clock.xml).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/bus/bus.h"
#include "platform/core/result.h"
#include "platform/loop/runloop.h"
#include "senders.h"

namespace sim {

// How much faster than the wall clock the phone's time may run with --realtime (--speed).
inline constexpr double kMaxSpeed = 1000;

// What a host says at the end of its turn.
struct TurnReport {
    double nextDue = -1;  // its earliest scheduled work; negative: none
    int64_t sent = 0;     // signals other hosts may receive, sent during the turn
};

// One host as the clock sees it.
class HostLink {
  public:
    virtual ~HostLink() = default;
    virtual const std::string& name() const = 0;
    // Gives the host its turn at t and waits for its report, or why there is none.
    virtual platform::Result<TurnReport> turn(double t) = 0;
};

class PhoneClock {
  public:
    // The simulator's own work due at the present instant; returns the signals it sent that
    // hosts may receive.
    using OwnWork = std::function<int64_t()>;

    // Hosts in the order of their turns.
    explicit PhoneClock(std::vector<HostLink*> hosts);
    // Runs the phone at t until it is settled (see above); fails when a host gives no report,
    // or when hosts that keep sending to each other still need turns after this many: an
    // endless exchange at one instant would otherwise spin the machine with the clock stopped.
    static constexpr uint64_t kMaxTurnsAtOneTime = 100000;
    platform::Result<void> settle(double t, const OwnWork& own);
    // The earliest time a host has work; negative when none has.
    double nextDue() const;
    uint64_t turns() const { return turns_; }

  private:
    struct Host {
        HostLink* link;
        double due = -1;
        uint64_t seenEpoch = 0;
    };
    Host* nextNeedingTurn(double t);

    std::vector<Host> hosts_;
    uint64_t epoch_ = 1;  // above every host's seenEpoch: each host's first settle gives it a turn
    size_t next_ = 0;
    uint64_t turns_ = 0;
};

// The simulator's end of the clock signals for one host on the phone's bus.
class BusHostLink : public HostLink {
  public:
    // While waiting for a report it runs the loop's sources; `abort` is asked after each wait
    // and gives a reason to give up (an interruption, a host that died) or nothing. Hello and
    // Report are believed only from the host's own connection, as `senders` knows it.
    using Abort = std::function<std::optional<std::string>()>;
    BusHostLink(platform::Bus& bus, platform::RunLoop& loop, std::string name,
                double timeoutSeconds, Abort abort, Senders& senders);
    const std::string& name() const override { return name_; }
    platform::Result<TurnReport> turn(double t) override;
    // The host said it is connected and waits for its first turn.
    bool saidHello() const { return hello_; }
    void setTimeout(double seconds) { timeout_ = seconds; }

  private:
    void reported(const platform::BusSignal& s);

    platform::Bus& bus_;
    platform::RunLoop& loop_;
    std::string name_;
    double timeout_;
    Abort abort_;
    Senders& senders_;
    bool hello_ = false;
    int64_t turn_ = 0;
    double at_ = 0;  // the time of the turn in progress
    std::optional<platform::Result<TurnReport>> report_;
};

// Signals a process sent so far that hosts may receive.
int64_t phoneSignalsSent(const platform::Bus& bus);

}  // namespace sim
