// The simulator's command line.
//
//   orvella-sim [SCENARIO] [--realtime [--speed F]] [--json] [--log] [--root DIR]
//               [--package DIR] [--bus-address-file FILE]
#pragma once

#include <optional>
#include <string>

#include "platform/result.h"

namespace sim {

struct Options {
    std::string scenarioFile;  // empty: the built-in scenario
    bool realtime = false;
    std::optional<double> speed;  // real time only
    bool json = false;
    bool log = false;
    std::string root;  // empty: a fresh one in the runtime directory
    std::string package;
    std::string addressFile;
    bool help = false;
};

extern const char* const kUsage;

// The options, or what is wrong with them.
platform::Result<Options> parseOptions(int argc, const char* const* argv,
                                       const std::string& defaultPackage);

}  // namespace sim
