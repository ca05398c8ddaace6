// The accelerometer, read straight from the kernel's IIO interface in sysfs: in_accel_{x,y,z}_raw
// times in_accel_scale (m/s^2 per unit, or one scale per axis), plus in_accel_offset, turned to
// the phone's frame by the mount matrix and then to g in the platform's convention.
//
// Linux reports the reaction to gravity (+9.8 m/s^2 on z for a phone lying screen-up); the
// platform reports gravity itself in g (z = -1 screen-up), so every axis changes sign.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "platform/core/result.h"
#include "platform/devices/hardware.h"

namespace phoned {

using Matrix = std::array<std::array<double, 3>, 3>;

// "x1, y1, z1; x2, y2, z2; x3, y3, z3", rows applied to the sensor's axes.
platform::Result<Matrix> parseMountMatrix(const std::string& text);

class Accelerometer {
  public:
    // The first device under root (normally /sys/bus/iio/devices) with the three raw axes.
    // notes: things a person should know (a mount matrix that could not be used).
    static platform::Result<Accelerometer> find(const std::string& root,
                                                std::vector<std::string>* notes);
    const std::string& directory() const { return dir_; }
    // One sample now. A failure names the file and the problem.
    platform::Result<platform::Pose> read() const;

  private:
    std::string dir_;
    Matrix mount_{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
};

}  // namespace phoned
