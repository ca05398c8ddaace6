// The simulator's command line (program/command_line.h: --opt=value and --opt value alike).
//
//   orvella-sim [OPTION...] [SCENARIO | -]
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/core/result.h"
#include "program/command_line.h"

namespace sim {

struct Options {
    std::string scenarioFile;  // empty: the built-in scenario; "-": standard input
    bool realtime = false;
    std::optional<double> speed;  // real time only
    bool json = false;
    bool log = false;
    std::string root;  // empty: a fresh one in the runtime directory
    std::string package;
    std::string addressFile;
    std::string screenshots;         // empty: no pictures of the screens
    std::vector<std::string> plots;  // a plot of the call to each file, by its extension
    bool help = false;
    bool version = false;
};

// orvella-sim's options, usage, help and messages.
extern const program::Program kSimulator;

// The options, or what is wrong with them (naming the option).
platform::Result<Options> parseOptions(int argc, const char* const* argv,
                                       const std::string& defaultPackage);

}  // namespace sim
