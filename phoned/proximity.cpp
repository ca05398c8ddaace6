#include "proximity.h"

#include <cstdio>

#include "platform/devices/hardware.h"

namespace phoned {

namespace {
constexpr const char* kService = "net.hadess.SensorProxy";
constexpr const char* kPath = "/net/hadess/SensorProxy";
constexpr const char* kInterface = "net.hadess.SensorProxy";

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}
}  // namespace

Proximity::Proximity(Connection& system, std::string iioRoot, std::function<bool()> callRinging,
                     std::string udevData)
    : bus_(system),
      callRinging_(std::move(callRinging)),
      iioRoot_(std::move(iioRoot)),
      udevData_(std::move(udevData)),
      poller_({}, [this](const platform::Result<bool>& near) { reading(near); }) {
    // Which way is in use, said at once: a sensor that reads now, or why not.
    if (lookForSensor()) {
        if (auto near = sensor_->near())
            use(Way::Direct);
        else
            use(Way::Service, "cannot read the proximity sensor: " + near.error());
    }
    matches_.push_back(bus_.match({.path = kPath,
                                   .interface = "org.freedesktop.DBus.Properties",
                                   .member = "PropertiesChanged"},
                                  [this](sd_bus_message* m) {
                                      const char* interface = nullptr;
                                      if (!service_->sent(m)) return;
                                      if (sd_bus_message_read_basic(m, 's', &interface) < 0 ||
                                          interface == nullptr ||
                                          std::string(interface) != kInterface)
                                          return;
                                      if (auto props = readProps(m)) read(*props);
                                  }));
    service_ = std::make_unique<Service>(
        bus_, kService, "the sensor service (iio-sensor-proxy)", [this](bool present) {
            ++generation_;
            // A restarted service holds no claim of ours.
            claimed_ = false;
            if (!present) return;
            const unsigned generation = generation_;
            getAll(bus_, kService, kPath, kInterface,
                   [this, generation](platform::Result<Props> props) {
                       if (generation != generation_) return;
                       if (!props) {
                           say("cannot read the sensors of iio-sensor-proxy: " + props.error());
                           return;
                       }
                       read(*props);
                   });
        });
}

bool Proximity::lookForSensor() {
    auto found = ProximitySensor::find(iioRoot_, udevData_);
    if (!found) {
        use(Way::Service, found.error());
        return false;
    }
    sensor_ = std::move(*found);
    poller_.setReader([sensor = *sensor_] { return sensor.near(); });
    return true;
}

void Proximity::use(Way way, const std::string& why) {
    if (way == way_) return;
    way_ = way;
    if (way == Way::Direct) {
        say("proximity sensor: " + sensor_->directory() + ", read directly every " +
            number(ProximityPoller::kInterval * 1000) + " ms while a call rings (near at " +
            number(sensor_->nearLevel()) + " and above, from " + sensor_->nearLevelSource() + ")");
    } else {
        say(why + "; the proximity sensor is followed through iio-sensor-proxy instead");
    }
}

void Proximity::read(const Props& props) {
    if (const Variant* has = find(props, "HasProximity")) {
        hasSensor_ = asBool(*has);
        if (!hasSensor_ && !sensor_ && !saidUnavailable_) {
            say("this phone has no proximity sensor: waving is unavailable");
            saidUnavailable_ = true;
        } else if (hasSensor_ && saidUnavailable_) {
            say("a proximity sensor is there now: waving is available");
            saidUnavailable_ = false;
        }
        update();
    }
    // Read directly, the sensor's own word counts; ProximityNear only stands in for it.
    if (const Variant* near = find(props, "ProximityNear");
        near != nullptr && claimed_ && !poller_.running())
        platform::DeviceModel::shared().setProximityCovered(asBool(*near));
}

void Proximity::setMonitoring(bool on) {
    monitoring_ = on;
    update();
}

void Proximity::update() {
    const bool watching = monitoring_ && callRinging_();
    if (!watching) {
        // First stop reading, then let go of the claim: nothing is read once it is released.
        poller_.stop();
        fellBack_ = false;
    } else if (!poller_.running() && !fellBack_) {
        startReading();
    }
    const bool want = watching && service_->present() && hasSensor_;
    if (want && !claimed_) claim();
    if (!want && claimed_) release();
}

void Proximity::startReading() {
    // A sensor missing so far may have come with a late driver.
    if (!sensor_ && !lookForSensor()) {
        fellBack_ = true;
        return;
    }
    failures_ = 0;
    poller_.start();
}

void Proximity::reading(const platform::Result<bool>& near) {
    if (near) {
        failures_ = 0;
        use(Way::Direct);
        platform::DeviceModel::shared().setProximityCovered(*near);
        return;
    }
    if (++failures_ < kFailuresBeforeFallingBack) return;
    poller_.stop();
    fellBack_ = true;
    sensor_.reset();  // looked for afresh at the next call: a driver may have come back
    use(Way::Service, "cannot read the proximity sensor: " + near.error());
    // What the sensor service says now; changes follow as signals.
    if (claimed_) askNear(generation_);
}

void Proximity::askNear(unsigned generation) {
    getAll(bus_, kService, kPath, kInterface, [this, generation](platform::Result<Props> props) {
        if (generation == generation_ && props) read(*props);
    });
}

void Proximity::claim() {
    claimed_ = true;
    const unsigned generation = generation_;
    bus_.call(kService, kPath, kInterface, "ClaimProximity", {},
              [this, generation](const Reply& reply) {
                  if (generation != generation_ || !claimed_) return;
                  if (!reply.ok()) {
                      say("iio-sensor-proxy refused the proximity sensor: " + reply.error);
                      claimed_ = false;
                      return;
                  }
                  askNear(generation);
              });
}

void Proximity::release() {
    claimed_ = false;
    bus_.call(kService, kPath, kInterface, "ReleaseProximity", {}, [](const Reply& reply) {
        if (!reply.ok())
            say("iio-sensor-proxy did not take the proximity sensor back: " + reply.error);
    });
}

void Proximity::releaseNow() {
    poller_.stop();
    if (!claimed_) return;
    claimed_ = false;
    if (auto r = bus_.callNow(kService, kPath, kInterface, "ReleaseProximity", {}, 2.0); !r)
        say(r.error());
}

}  // namespace phoned
