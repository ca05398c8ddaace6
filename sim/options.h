// The simulator's command line (getopt_long: --opt=value and --opt value alike).
//
//   orvella-sim [OPTION...] [SCENARIO | -]
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/core/result.h"

struct option;  // getopt_long's

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

// " (did you mean '--screenshots'?)" for a mistyped long option given on the command line
// (as given, "--opt" or "--opt=value"), or "" when none of `longs` is close.
std::string suggestOption(const std::string& given, const ::option* longs);

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
