// The proximity sensor while the tweak has proximity monitoring on and a call rings, and only
// then: the sensor is read straight from sysfs every 50 ms (ProximitySensor), fast enough for
// a quick wave, and claimed from iio-sensor-proxy on the system bus all the same, since other
// programs (the phone shell blanking the screen) rely on that claim. Where the sensor cannot be
// read directly (none in sysfs, or its readings fail), iio-sensor-proxy's ProximityNear takes
// its place. Which of the two is in use is said once, and again whenever that changes.
//
// Reading stops and the claim is released the moment monitoring goes off or the call stops
// ringing (answered, ended, the screen locked), and when the daemon stops.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dbus.h"
#include "proximity_sensor.h"
#include "service.h"

namespace phoned {

class Proximity {
  public:
    // iioRoot: where the sensor is looked for (normally /sys/bus/iio/devices).
    Proximity(Connection& system, std::string iioRoot, std::function<bool()> callRinging,
              std::string udevData = ProximitySensor::kUdevData);

    // Proximity monitoring turned on or off.
    void setMonitoring(bool on);
    // Something the watch depends on changed (a call's status).
    void update();
    // On the way out: stop reading, and release a claim still held, waiting briefly for the
    // answer.
    void releaseNow();

    bool claimed() const { return claimed_; }
    bool reading() const { return poller_.running(); }

  private:
    enum class Way { Unsaid, Direct, Service };
    // Consecutive failed readings (half a second's worth) before ProximityNear takes over.
    static constexpr int kFailuresBeforeFallingBack = 10;

    void read(const Props& props);
    void claim();
    void release();
    void askNear(unsigned generation);
    bool lookForSensor();
    void startReading();
    void reading(const platform::Result<bool>& near);
    void use(Way way, const std::string& why = {});

    Connection& bus_;
    std::function<bool()> callRinging_;
    std::string iioRoot_;
    std::string udevData_;
    std::optional<ProximitySensor> sensor_;
    ProximityPoller poller_;
    std::vector<std::unique_ptr<Connection::Match>> matches_;
    std::unique_ptr<Service> service_;
    bool monitoring_ = false;
    bool hasSensor_ = false;
    bool saidUnavailable_ = false;
    bool claimed_ = false;
    bool fellBack_ = false;  // this watch takes ProximityNear: the sensor cannot be read
    int failures_ = 0;
    Way way_ = Way::Unsaid;
    unsigned generation_ = 0;
};

}  // namespace phoned
