#include "options.h"

#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "plot.h"
#include "suggest.h"

namespace sim {

const char* const kHelp =
    "usage: orvella-sim [OPTION...] [SCENARIO | -]\n"
    "\n"
    "Runs a whole simulated phone (a private D-Bus, the springboard, mobilephone and preferences\n"
    "hosts with the Orvella package installed), plays the scenario on it, prints a timeline of\n"
    "what happened and checks the scenario's expectations. No SCENARIO plays the built-in one;\n"
    "'-' reads it from standard input. The format: docs/scenarios.md.\n"
    "\n"
    "  --json                   write the run as one JSON document (docs/json.md) instead of\n"
    "                           the timeline\n"
    "  --log                    put the tweak's own log lines in the timeline\n"
    "  --realtime               run on the wall clock, for watching live and driving the phone\n"
    "                           with dbus-send; without it the phone runs in simulated time, as\n"
    "                           fast as the machine allows and the same on every run\n"
    "  --speed=F                with --realtime: phone time runs F times as fast as the wall\n"
    "                           clock (above 0, at most 1000; default: the scenario's speed, or "
    "1)\n"
    "  --root=DIR               the phone's files in DIR (kept afterwards) instead of a fresh\n"
    "                           folder removed at the end\n"
    "  --package=DIR            install the package tree in DIR instead of the built one\n"
    "  --bus-address-file=FILE  write the private bus's address to FILE once the phone runs\n"
    "  --screenshots=DIR        keep a picture of what the person sees in DIR each time it\n"
    "                           changes, named by phone time and process\n"
    "  --plot=FILE              draw the call's time line to FILE: .png, .svg, or .json for the\n"
    "                           data it is drawn from (may be given more than once)\n"
    "  -h, --help               show this help and exit\n"
    "  --version                show the version and exit\n"
    "\n"
    "Exit status: 0 every expectation held; 1 an expectation failed (each one is named on\n"
    "standard error); 2 the scenario or the options are wrong; 3 the phone could not be run;\n"
    "128+N ended by signal N (130 Ctrl-C, 129 SIGHUP, 131 SIGQUIT, 143 SIGTERM), every process\n"
    "it started ended and its runtime folder removed.\n";

platform::Result<double> numberOption(const std::string& option, const std::string& text,
                                      double above, double atMost) {
    using platform::Failure;
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0')
        return Failure{option + ": '" + text + "' is not a number"};
    if (!std::isfinite(d)) return Failure{option + ": needs a finite number, not '" + text + "'"};
    char range[96];
    std::snprintf(range, sizeof range, "above %g and at most %g", above, atMost);
    if (!(d > above) || d > atMost)
        return Failure{option + ": needs a number " + range + ", not " + text};
    return d;
}

// " (did you mean '--screenshots'?)" for a mistyped long option.
std::string suggestOption(const std::string& given, const ::option* longs) {
    if (given.rfind("--", 0) != 0) return "";
    std::vector<std::string> names;
    for (const option* o = longs; o->name != nullptr; ++o)
        names.push_back(std::string("--") + o->name);
    return didYouMean(given.substr(0, given.find('=')), names);
}

namespace {

// " (did you mean 'call.png'?)" for a plot named with a mistyped extension.
std::string suggestPlotName(const std::string& file) {
    const std::filesystem::path path(file);
    const auto close = closest(path.extension().string(), {".png", ".svg", ".json"});
    if (close.size() != 1) return "";
    return " (did you mean '" + std::filesystem::path(path).replace_extension(close[0]).string() +
           "'?)";
}

}  // namespace

platform::Result<Options> parseOptions(int argc, const char* const* argv,
                                       const std::string& defaultPackage) {
    using platform::Failure;
    enum {
        kJson = 1,
        kLog,
        kRealtime,
        kSpeed,
        kRoot,
        kPackage,
        kAddressFile,
        kVersion,
        kScreenshots,
        kPlot
    };
    static const option longs[] = {{"json", no_argument, nullptr, kJson},
                                   {"log", no_argument, nullptr, kLog},
                                   {"realtime", no_argument, nullptr, kRealtime},
                                   {"speed", required_argument, nullptr, kSpeed},
                                   {"root", required_argument, nullptr, kRoot},
                                   {"package", required_argument, nullptr, kPackage},
                                   {"bus-address-file", required_argument, nullptr, kAddressFile},
                                   {"screenshots", required_argument, nullptr, kScreenshots},
                                   {"plot", required_argument, nullptr, kPlot},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, kVersion},
                                   {nullptr, 0, nullptr, 0}};
    Options o;
    o.package = defaultPackage;
    // getopt_long permutes argv; work on a copy so the caller's stays as it was.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
    args.push_back(nullptr);
    optind = 0;  // start afresh (glibc), also when called again
    opterr = 0;  // the messages below name the option
    for (;;) {
        const int c = getopt_long(argc, args.data(), ":h", longs, nullptr);
        if (c == -1) break;
        // For an error, the word that caused it (getopt_long has just passed it).
        const std::string given = args[static_cast<size_t>(optind - 1)];
        const std::string value = optarg != nullptr ? optarg : "";
        auto nonEmpty = [&](const char* name, std::string& into) -> platform::Result<void> {
            if (value.empty()) return Failure{std::string(name) + ": needs a value"};
            into = value;
            return {};
        };
        platform::Result<void> ok;
        switch (c) {
            case kJson:
                o.json = true;
                break;
            case kLog:
                o.log = true;
                break;
            case kRealtime:
                o.realtime = true;
                break;
            case kSpeed: {
                auto d = numberOption("--speed", value, 0, kMaxSpeed);
                if (!d) return Failure{d.error()};
                o.speed = *d;
                break;
            }
            case kRoot:
                ok = nonEmpty("--root", o.root);
                break;
            case kPackage:
                ok = nonEmpty("--package", o.package);
                break;
            case kAddressFile:
                ok = nonEmpty("--bus-address-file", o.addressFile);
                break;
            case kScreenshots:
                ok = nonEmpty("--screenshots", o.screenshots);
                break;
            case kPlot: {
                std::string file;
                ok = nonEmpty("--plot", file);
                if (ok && !plotFormatKnown(file))
                    return Failure{"--plot: '" + file + "' is not a .png, .svg or .json file" +
                                   suggestPlotName(file)};
                o.plots.push_back(file);
                break;
            }
            case 'h':
                o.help = true;
                break;
            case kVersion:
                o.version = true;
                break;
            case ':':
                return Failure{given.substr(0, given.find('=')) + ": needs a value"};
            default:
                if (given.rfind("--", 0) == 0 && optopt != 0)
                    return Failure{given.substr(0, given.find('=')) + ": takes no value"};
                return Failure{"unknown option '" + given + "'" + suggestOption(given, longs)};
        }
        if (!ok) return Failure{ok.error()};
    }
    for (int i = optind; i < argc; ++i) {
        if (!o.scenarioFile.empty())
            return Failure{"only one scenario at a time ('" + o.scenarioFile + "' and '" +
                           args[static_cast<size_t>(i)] + "')"};
        o.scenarioFile = args[static_cast<size_t>(i)];
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
