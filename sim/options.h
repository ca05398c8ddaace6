// The simulator's command line (getopt_long: --opt=value and --opt value alike).
//
//   orvella-sim [OPTION...] [SCENARIO | -]
#pragma once

#include <optional>
#include <string>

#include "platform/result.h"

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
    bool help = false;
    bool version = false;
};

// What --help prints: every option, the exit statuses and where the formats are described.
extern const char* const kHelp;
inline constexpr double kMaxSpeed = 1000;

// The options, or what is wrong with them (naming the option).
platform::Result<Options> parseOptions(int argc, const char* const* argv,
                                       const std::string& defaultPackage);

// A number given to an option: finite, above `above` and at most `atMost`; otherwise why not,
// naming the option ("--speed: 'fast' is not a number").
platform::Result<double> numberOption(const std::string& option, const std::string& text,
                                      double above, double atMost);

}  // namespace sim
