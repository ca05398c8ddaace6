#include "options.h"

#include <filesystem>

#include "phone_clock.h"
#include "plot.h"
#include "program/suggest.h"

namespace sim {

const program::Program kSimulator{
    "orvella-sim",
    {{nullptr,
      "[OPTION...] [SCENARIO | -]",
      "Runs a whole simulated phone (a private D-Bus, the springboard, mobilephone and "
      "preferences\n"
      "hosts with the Orvella package installed), plays the scenario on it, prints a timeline of\n"
      "what happened and checks the scenario's expectations. No SCENARIO plays the built-in one;\n"
      "'-' reads it from standard input. The format: docs/scenarios.md.",
      {
          {"json", 0, nullptr,
           "write the run as one JSON document (docs/json.md) instead of the "
           "timeline"},
          {"log", 0, nullptr, "put the tweak's own log lines in the timeline"},
          {"realtime", 0, nullptr,
           "run on the wall clock, for watching live and driving the phone with dbus-send; "
           "without it the phone runs in simulated time, as fast as the machine allows and the "
           "same on every run"},
          {"speed", 0, "F",
           "with --realtime: phone time runs F times as fast as the wall clock (above 0, at most "
           "1000; default: the scenario's speed, or 1)"},
          {"root", 0, "DIR",
           "the phone's files in DIR (kept afterwards) instead of a fresh folder removed at the "
           "end"},
          {"package", 0, "DIR", "install the package tree in DIR instead of the built one"},
          {"bus-address-file", 0, "FILE",
           "write the private bus's address to FILE once the phone runs"},
          {"screenshots", 0, "DIR",
           "keep a picture of what the person sees in DIR each time it changes, named by phone "
           "time and process"},
          {"plot", 0, "FILE",
           "draw the call's time line to FILE: .png, .svg, or .json for the data it is drawn "
           "from (may be given more than once)"},
      }}},
    "Exit status: 0 every expectation held; 1 an expectation failed (each one is named on\n"
    "standard error); 2 the scenario or the options are wrong; 3 the phone could not be run;\n"
    "128+N ended by signal N (130 Ctrl-C, 129 SIGHUP, 131 SIGQUIT, 143 SIGTERM), every process\n"
    "it started ended and its runtime folder removed.\n"};

namespace {

using platform::Failure;

// " (did you mean 'call.png'?)" for a plot named with a mistyped extension.
std::string suggestPlotName(const std::string& file) {
    const std::filesystem::path path(file);
    const auto close = program::closest(path.extension().string(), {".png", ".svg", ".json"});
    if (close.size() != 1) return "";
    return " (did you mean '" + std::filesystem::path(path).replace_extension(close[0]).string() +
           "'?)";
}

// One option given into the options; why not, naming it.
platform::Result<void> take(const program::Given& g, Options& o) {
    if (g.is("json")) o.json = true;
    if (g.is("log")) o.log = true;
    if (g.is("realtime")) o.realtime = true;
    if (g.is("root")) o.root = g.value;
    if (g.is("package")) o.package = g.value;
    if (g.is("bus-address-file")) o.addressFile = g.value;
    if (g.is("screenshots")) o.screenshots = g.value;
    if (g.is("speed")) {
        auto d = program::number("--speed", g.value, 0, kMaxSpeed);
        if (!d) return Failure{d.error()};
        o.speed = *d;
    }
    if (g.is("plot")) {
        if (!plotFormatKnown(g.value))
            return Failure{"--plot: '" + g.value + "' is not a .png, .svg or .json file" +
                           suggestPlotName(g.value)};
        o.plots.push_back(g.value);
    }
    return {};
}

}  // namespace

platform::Result<Options> parseOptions(int argc, const char* const* argv,
                                       const std::string& defaultPackage) {
    auto line = kSimulator.parse(argc, argv);
    if (!line) return Failure{line.error()};
    Options o;
    o.package = defaultPackage;
    o.help = line->help;
    o.version = line->version;
    for (const program::Given& g : line->options)
        if (auto taken = take(g, o); !taken) return Failure{taken.error()};
    for (const std::string& operand : line->operands) {
        if (!o.scenarioFile.empty())
            return Failure{"only one scenario at a time ('" + o.scenarioFile + "' and '" + operand +
                           "')"};
        o.scenarioFile = operand;
        if (o.scenarioFile.empty()) return Failure{"the scenario's name is empty"};
    }
    if (o.speed && !o.realtime && !o.help && !o.version) {
        return Failure{
            "--speed: applies only with --realtime (in simulated time, the default, the phone "
            "runs as fast as the machine allows)"};
    }
    return o;
}

}  // namespace sim
