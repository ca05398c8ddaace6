#include "accelerometer.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "sysfs.h"

namespace phoned {

using platform::Failure;
using platform::Result;

namespace {

constexpr double kStandardGravity = 9.80665;

using sysfs::exists;
using sysfs::readNumber;
using sysfs::readText;

}  // namespace

Result<Matrix> parseMountMatrix(const std::string& text) {
    Matrix m{};
    std::string rest = text;
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.pop_back();
    std::stringstream rows(rest);
    std::string row;
    int r = 0;
    while (std::getline(rows, row, ';')) {
        if (r == 3) return Failure{"more than three rows"};
        std::stringstream cells(row);
        std::string cell;
        int c = 0;
        while (std::getline(cells, cell, ',')) {
            if (c == 3)
                return Failure{"row " + std::to_string(r + 1) + " has more than three values"};
            char* end = nullptr;
            const double v = std::strtod(cell.c_str(), &end);
            while (end && *end == ' ') ++end;
            if (end == cell.c_str() || (end && *end != '\0'))
                return Failure{"'" + cell + "' in row " + std::to_string(r + 1) +
                               " is not a number"};
            m[r][c++] = v;
        }
        if (c != 3)
            return Failure{"row " + std::to_string(r + 1) + " has " + std::to_string(c) +
                           " values, not three"};
        ++r;
    }
    if (r != 3) return Failure{"it has " + std::to_string(r) + " rows, not three"};
    return m;
}

Result<Accelerometer> Accelerometer::find(const std::string& root,
                                          std::vector<std::string>* notes) {
    std::error_code ec;
    if (!std::filesystem::exists(root, ec)) return Failure{"no accelerometer under " + root};
    std::vector<std::string> devices;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
        const std::string dir = entry.path().string();
        if (exists(dir + "/in_accel_x_raw") && exists(dir + "/in_accel_y_raw") &&
            exists(dir + "/in_accel_z_raw"))
            devices.push_back(dir);
    }
    if (ec) return Failure{root + ": cannot list the sensors: " + ec.message()};
    if (devices.empty()) return Failure{"no accelerometer under " + root};
    std::sort(devices.begin(), devices.end());
    Accelerometer a;
    a.dir_ = devices.front();
    for (const char* name : {"in_accel_mount_matrix", "in_mount_matrix", "mount_matrix"}) {
        const std::string path = a.dir_ + "/" + name;
        if (!exists(path)) continue;
        auto text = readText(path);
        auto matrix = text ? parseMountMatrix(*text) : Result<Matrix>(Failure{text.error()});
        if (matrix) {
            a.mount_ = *matrix;
        } else if (notes != nullptr) {
            notes->push_back(path + ": not a mount matrix (" + matrix.error() +
                             "); using the sensor's axes as they are");
        }
        break;
    }
    return a;
}

Result<platform::Pose> Accelerometer::read() const {
    double v[3];
    const char* axes[] = {"x", "y", "z"};
    auto optional = [&](const std::string& path, double fallback) -> Result<double> {
        return exists(path) ? readNumber(path) : Result<double>(fallback);
    };
    auto shared = optional(dir_ + "/in_accel_scale", 1.0);
    if (!shared) return Failure{shared.error()};
    auto offset = optional(dir_ + "/in_accel_offset", 0.0);
    if (!offset) return Failure{offset.error()};
    for (int i = 0; i < 3; ++i) {
        const std::string axis = dir_ + "/in_accel_" + axes[i];
        auto raw = readNumber(axis + "_raw");
        if (!raw) return Failure{raw.error()};
        auto scale = optional(axis + "_scale", *shared);
        if (!scale) return Failure{scale.error()};
        v[i] = (*raw + *offset) * *scale;
    }
    double g[3];
    for (int r = 0; r < 3; ++r) {
        const double a = mount_[r][0] * v[0] + mount_[r][1] * v[1] + mount_[r][2] * v[2];
        g[r] = -a / kStandardGravity;
    }
    return platform::Pose{static_cast<float>(g[0]), static_cast<float>(g[1]),
                          static_cast<float>(g[2])};
}

}  // namespace phoned
