#include "proximity.h"

#include "platform/devices.h"

namespace phoned {

namespace {
constexpr const char* kService = "net.hadess.SensorProxy";
constexpr const char* kPath = "/net/hadess/SensorProxy";
constexpr const char* kInterface = "net.hadess.SensorProxy";
}  // namespace

Proximity::Proximity(Connection& system, std::function<bool()> callRinging)
    : bus_(system), callRinging_(std::move(callRinging)) {
    matches_.push_back(bus_.match(kPath, false, "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged", [this](sd_bus_message* m) {
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
            bus_.getAll(
                kService, kPath, kInterface, [this, generation](platform::Result<Props> props) {
                    if (generation != generation_) return;
                    if (!props) {
                        say("cannot read the sensors of iio-sensor-proxy: " + props.error());
                        return;
                    }
                    read(*props);
                });
        });
}

void Proximity::read(const Props& props) {
    if (const Variant* has = find(props, "HasProximity")) {
        hasSensor_ = asBool(*has);
        if (!hasSensor_ && !saidUnavailable_) {
            say("this phone has no proximity sensor: waving is unavailable");
            saidUnavailable_ = true;
        } else if (hasSensor_ && saidUnavailable_) {
            say("a proximity sensor is there now: waving is available");
            saidUnavailable_ = false;
        }
        update();
    }
    if (const Variant* near = find(props, "ProximityNear"); near != nullptr && claimed_)
        platform::DeviceModel::shared().setProximityCovered(asBool(*near));
}

void Proximity::setMonitoring(bool on) {
    monitoring_ = on;
    update();
}

void Proximity::update() {
    const bool want = monitoring_ && callRinging_() && service_->present() && hasSensor_;
    if (want && !claimed_) claim();
    if (!want && claimed_) release();
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
                  // What the sensor says now; changes follow as signals.
                  bus_.getAll(kService, kPath, kInterface,
                              [this, generation](platform::Result<Props> props) {
                                  if (generation == generation_ && props) read(*props);
                              });
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
    if (!claimed_) return;
    claimed_ = false;
    if (auto r = bus_.callNow(kService, kPath, kInterface, "ReleaseProximity", {}, 2.0); !r)
        say(r.error());
}

}  // namespace phoned
