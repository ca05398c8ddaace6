// The daemon and the settings command of orvella-phoned.
#pragma once

#include <string>

namespace phoned {

struct DaemonOptions {
    std::string package;                       // staged package tree; empty: find it
    std::string iio = "/sys/bus/iio/devices";  // where the sensors are looked for
    bool verbose = false;                      // the tweak's own log on standard error
};

int runDaemon(const DaemonOptions& options);

struct SettingsOptions {
    std::string package;
    int enabled = -1;  // -1 unchanged, 0 off, 1 on
    int locked = 0;    // waves, 0 unchanged
    int unlocked = 0;
    int speed = -1;  // 0 slow, 1 medium, 2 fast, -1 unchanged
    int speakerWithHeadset = -1;
};

int runSettings(const SettingsOptions& options);

}  // namespace phoned
