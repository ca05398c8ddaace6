// One run of a scenario on a started phone: the hosts started on the simulator's clock or on
// the wall clock, the steps played at their times until the scenario's end, a signal, a lost
// bus or a host that stopped; then the expectations checked.
#pragma once

#include <optional>
#include <string>

#include "listener.h"
#include "options.h"
#include "phone.h"
#include "platform/loop/runloop.h"
#include "player.h"
#include "plot.h"
#include "scenario.h"
#include "senders.h"
#include "timeline.h"

namespace sim {

struct Run {
    const Options& options;
    const Scenario& scenario;
    Phone& phone;
    Timeline& timeline;
    Player& player;
    Listener& listener;
    PlotRecorder& plot;
    Senders& senders;
    platform::RunLoop& loop = platform::RunLoop::main();
    std::string lostBus = {};  // why the bus connection was lost, once it was

    // The phone on the simulator's clock: every instant is settled before the clock moves on.
    int simulated();
    // The phone on the wall clock: each process keeps its own time on one shared time line.
    int realtime(double speed);

    // Why to give up waiting, if there is a reason.
    std::optional<std::string> abort();

  private:
    std::string lostBusReason() const;
    int fail(const std::string& why);
    int failed(const std::string& why);
    bool waitFor(const std::function<bool()>& done, double seconds);
    void afterStart();
    void schedule(bool& ended);
};

// Checks the scenario's expectations against what happened, into the timeline and the plot;
// each failed one named on standard error. 0 when all held, else 1.
int checkExpectations(const Scenario& scenario, const Player& player, const Narrator& narrator,
                      Timeline& timeline, PlotRecorder& plot, std::optional<double> speakerOnAt);

// The timeline's first line.
std::string heading(const Scenario& scenario, const Options& o, double speed);

}  // namespace sim
