// A host's side of the phone's clock.
//
// Simulated time: the process's clock is a driven clock that the simulator moves (see
// phone_clock.h for the protocol). The host holds every signal it receives; when the
// simulator sends Run(t) it sets its clock to t, takes in what arrived before the Run, runs
// everything due, and reports its next due time and how many signals it sent.
//
// Real time: the process's clock is a real one on the simulator's time line (one origin and
// speed for every process), and the host tells the simulator when it handles a scripted event
// more than 10 ms of phone time late.
//
// The simulator's clock signals are taken only from its connection (`simulator`, a unique
// name; none when empty); a Run only for the host's next turn, with a time no earlier than the
// clock's and at most a day later, and a scripted time only when it is one. What is refused is
// dropped; the first refusal is said on standard error.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bus/bus.h"
#include "platform/loop/runloop.h"

namespace sim {

class SimulatedHostClock {
  public:
    // Drives the process's clock (installed before the bus was opened, so everything the bus
    // scheduled is on the phone's time) and holds the bus.
    SimulatedHostClock(platform::Bus& bus, std::string process, platform::DrivenClock& clock,
                       const std::string& simulator);
    // Says hello and waits for the first turn (the host starts up inside it). false: the host
    // is to stop instead.
    bool awaitFirstTurn();

  private:
    void run(double t, int64_t turn);
    bool drive(platform::RunLoop& loop, double until);
    bool awaitTurn(platform::RunLoop& loop);

    platform::Bus& bus_;
    std::string process_;
    platform::DrivenClock& clock_;
    bool granted_ = false;
    bool inTurn_ = false;
    bool lostSeen_ = false;
    double grantedAt_ = 0;
    int64_t turn_ = 0;
    size_t boundary_ = 0;  // held signals that arrived before the Run
    int64_t sentBefore_ = 0;
};

class RealtimeHostClock {
  public:
    // Watches for scripted events, on the process's real clock (on the simulator's time line).
    RealtimeHostClock(platform::Bus& bus, std::string process, const std::string& simulator);

    static constexpr double kLateAfter = 0.010;  // phone seconds

  private:
    bool toldLate_ = false;
};

}  // namespace sim
