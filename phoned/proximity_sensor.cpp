#include "proximity_sensor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "sysfs.h"

namespace phoned {

using platform::Failure;
using platform::Result;

namespace {

// A level as the attribute or the property gives it: a plain number.
std::optional<double> level(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    while (end != nullptr && (*end == ' ' || *end == '\n')) ++end;
    if (end == text.c_str() || end == nullptr || *end != '\0' || !std::isfinite(v))
        return std::nullopt;
    return v;
}

}  // namespace

Result<ProximitySensor> ProximitySensor::find(const std::string& root,
                                              const std::string& udevData) {
    std::error_code ec;
    std::vector<std::string> devices;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec))
        if (sysfs::exists(entry.path().string() + "/in_proximity_raw"))
            devices.push_back(entry.path().string());
    if (ec) return Failure{"no proximity sensor under " + root + ": " + ec.message()};
    if (devices.empty()) return Failure{"no proximity sensor under " + root};
    std::sort(devices.begin(), devices.end());
    ProximitySensor s;
    s.dir_ = devices.front();
    s.raw_ = s.dir_ + "/in_proximity_raw";
    s.source_ = "the default";
    if (auto text = sysfs::readText(s.dir_ + "/in_proximity_nearlevel")) {
        if (auto v = level(*text)) {
            s.nearLevel_ = *v;
            s.source_ = "in_proximity_nearlevel";
            return s;
        }
    }
    const auto props = sysfs::udevProperties(s.dir_, udevData);
    if (auto it = props.find("PROXIMITY_NEAR_LEVEL"); it != props.end()) {
        if (auto v = level(it->second)) {
            s.nearLevel_ = *v;
            s.source_ = "udev's PROXIMITY_NEAR_LEVEL";
        }
    }
    return s;
}

Result<bool> ProximitySensor::near() const {
    auto raw = sysfs::readNumber(raw_);
    if (!raw) return Failure{raw.error()};
    return *raw >= nearLevel_;
}

void ProximityPoller::start() {
    if (running_) return;
    running_ = true;
    next_ = platform::processClock().now();
    tick();
}

void ProximityPoller::stop() {
    running_ = false;
    platform::RunLoop::main().cancel(task_);
    task_ = 0;
}

void ProximityPoller::tick() {
    task_ = 0;
    onReading_(read_());
    if (!running_) return;  // stopped by what the reading said
    const double now = platform::processClock().now();
    next_ += kInterval;
    // After a stall, start the pace again from now rather than catch up in a burst.
    if (next_ < now) next_ = now;
    task_ = platform::RunLoop::main().schedule(next_ - now, [this] { tick(); });
}

}  // namespace phoned
