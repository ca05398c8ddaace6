// The proximity sensor, through iio-sensor-proxy on the system bus. The sensor is claimed only
// while proximity monitoring is on and a call rings, and released the moment either ends (or
// the daemon stops); while claimed, every change of ProximityNear is a proximity change of the
// platform.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "dbus.h"
#include "service.h"

namespace phoned {

class Proximity {
  public:
    Proximity(Connection& system, std::function<bool()> callRinging);

    // Proximity monitoring turned on or off.
    void setMonitoring(bool on);
    // Something the claim depends on changed (a call's status).
    void update();
    // On the way out: release a claim still held, waiting briefly for the answer.
    void releaseNow();

    bool claimed() const { return claimed_; }

  private:
    void read(const Props& props);
    void claim();
    void release();

    Connection& bus_;
    std::function<bool()> callRinging_;
    std::vector<std::unique_ptr<Connection::Match>> matches_;
    std::unique_ptr<Service> service_;
    bool monitoring_ = false;
    bool hasSensor_ = false;
    bool saidUnavailable_ = false;
    bool claimed_ = false;
    unsigned generation_ = 0;
};

}  // namespace phoned
