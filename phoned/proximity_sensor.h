// The proximity sensor read straight from the kernel's IIO interface in sysfs, at the pace of a
// hand: in_proximity_raw, compared with the sensor's near level, every kInterval seconds while
// someone wants to know.
//
// The near level is the driver's in_proximity_nearlevel where it has one, else the udev
// property PROXIMITY_NEAR_LEVEL (which udev's hardware database sets for a phone model, and
// iio-sensor-proxy reads too), else kDefaultNearLevel. A reading at or above the level is near,
// as the kernel documents the attribute.
#pragma once

#include <functional>
#include <string>

#include "platform/core/result.h"
#include "platform/loop/runloop.h"

namespace phoned {

class ProximitySensor {
  public:
    static constexpr double kDefaultNearLevel = 100;
    static constexpr const char* kUdevData = "/run/udev/data";

    // The first device under root (normally /sys/bus/iio/devices) with in_proximity_raw;
    // udevData is udev's database.
    static platform::Result<ProximitySensor> find(const std::string& root,
                                                  const std::string& udevData = kUdevData);
    const std::string& directory() const { return dir_; }
    double nearLevel() const { return nearLevel_; }
    // Where the level came from, in words ("in_proximity_nearlevel", ...).
    const std::string& nearLevelSource() const { return source_; }
    // One reading now: whether something is near. A failure names the file and the problem.
    platform::Result<bool> near() const;

  private:
    std::string dir_;
    std::string raw_;
    double nearLevel_ = kDefaultNearLevel;
    std::string source_;
};

// Takes a reading at once when started, then every kInterval seconds on the main run loop,
// keeping to that pace on average (a late reading does not push the later ones back), until
// stopped. Each reading, or why there was none, goes to onReading.
class ProximityPoller {
  public:
    static constexpr double kInterval = 0.05;
    using Reader = std::function<platform::Result<bool>()>;

    ProximityPoller(Reader read, std::function<void(const platform::Result<bool>&)> onReading)
        : read_(std::move(read)), onReading_(std::move(onReading)) {}
    ~ProximityPoller() { stop(); }
    ProximityPoller(const ProximityPoller&) = delete;
    ProximityPoller& operator=(const ProximityPoller&) = delete;

    void setReader(Reader read) { read_ = std::move(read); }
    void start();
    void stop();
    bool running() const { return running_; }

  private:
    void tick();
    Reader read_;
    std::function<void(const platform::Result<bool>&)> onReading_;
    platform::RunLoop::TaskId task_ = 0;
    double next_ = 0;
    bool running_ = false;
};

}  // namespace phoned
