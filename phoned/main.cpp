// orvella-phoned: answer a ringing call on a Linux phone by waving over the proximity sensor.
//
//   orvella-phoned [--package DIR] [--iio DIR] [--verbose]      the daemon
//   orvella-phoned settings [changes...]                         show or change the settings
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon.h"

namespace {

constexpr const char* kUsage =
    "usage: orvella-phoned [--package DIR] [--iio DIR] [--verbose]\n"
    "       orvella-phoned settings [--on | --off] [--locked N] [--unlocked N]\n"
    "                               [--speed slow|medium|fast] [--speaker-with-headset on|off]\n"
    "                               [--package DIR]\n"
    "\n"
    "Without a command, runs the daemon: it watches the modem for ringing calls and answers one\n"
    "when you wave over the proximity sensor while the phone lies screen-up.\n"
    "  --package DIR   the Orvella package to install into the phone's files\n"
    "  --iio DIR       where to look for the accelerometer and the proximity sensor\n"
    "                  (default /sys/bus/iio/devices)\n"
    "  --verbose       write the tweak's own log to standard error\n"
    "\n"
    "'settings' shows the current choices in your language; with options it changes them\n"
    "through the settings pane, and a running daemon takes them up at once:\n"
    "  --on, --off                      answering by waving on or off\n"
    "  --locked N                       waves that answer a locked phone (1 to 3)\n"
    "  --unlocked N                     waves that answer an unlocked phone (1 or 2)\n"
    "  --speed slow|medium|fast         how quickly each wave must be done\n"
    "  --speaker-with-headset on|off    turn the speaker on even with wired headphones\n"
    "\n"
    "The phone's files live in $XDG_DATA_HOME/orvella (~/.local/share/orvella).\n";

[[noreturn]] void usageError(const std::string& problem) {
    std::fprintf(stderr, "orvella-phoned: %s\n%s", problem.c_str(), kUsage);
    std::exit(2);
}

int waves(const char* option, const char* text, int most) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < 1 || n > most)
        usageError(std::string(option) + " needs a number of waves from 1 to " +
                   std::to_string(most) + ", not '" + text + "'");
    return static_cast<int>(n);
}

int onOff(const char* option, const char* text) {
    if (std::strcmp(text, "on") == 0) return 1;
    if (std::strcmp(text, "off") == 0) return 0;
    usageError(std::string(option) + " needs 'on' or 'off', not '" + text + "'");
}

int speed(const char* text) {
    const char* names[] = {"slow", "medium", "fast"};
    for (int i = 0; i < 3; ++i)
        if (std::strcmp(text, names[i]) == 0) return i;
    usageError(std::string("--speed needs slow, medium or fast, not '") + text + "'");
}

[[noreturn]] void help() {
    std::fputs(kUsage, stdout);
    std::exit(0);
}

int settings(int argc, char** argv) {
    enum { kOn = 1, kOff, kLocked, kUnlocked, kSpeed, kHeadset, kPackage, kHelp };
    const option longs[] = {{"on", no_argument, nullptr, kOn},
                            {"off", no_argument, nullptr, kOff},
                            {"locked", required_argument, nullptr, kLocked},
                            {"unlocked", required_argument, nullptr, kUnlocked},
                            {"speed", required_argument, nullptr, kSpeed},
                            {"speaker-with-headset", required_argument, nullptr, kHeadset},
                            {"package", required_argument, nullptr, kPackage},
                            {"help", no_argument, nullptr, kHelp},
                            {nullptr, 0, nullptr, 0}};
    phoned::SettingsOptions o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", longs, nullptr)) != -1) {
        switch (c) {
            case kOn:
            case kOff:
                if (o.enabled >= 0 && o.enabled != (c == kOn ? 1 : 0))
                    usageError("--on and --off cannot be given together");
                o.enabled = c == kOn ? 1 : 0;
                break;
            case kLocked:
                o.locked = waves("--locked", optarg, 3);
                break;
            case kUnlocked:
                o.unlocked = waves("--unlocked", optarg, 2);
                break;
            case kSpeed:
                o.speed = speed(optarg);
                break;
            case kHeadset:
                o.speakerWithHeadset = onOff("--speaker-with-headset", optarg);
                break;
            case kPackage:
                o.package = optarg;
                break;
            case 'h':
            case kHelp:
                help();
            case ':':
                usageError(std::string(argv[optind - 1]) + " needs a value");
            default:
                usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) usageError(std::string("unexpected argument '") + argv[optind] + "'");
    return phoned::runSettings(o);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "settings") == 0) return settings(argc - 1, argv + 1);
    enum { kPackage = 1, kIio, kVerbose, kHelp };
    const option longs[] = {{"package", required_argument, nullptr, kPackage},
                            {"iio", required_argument, nullptr, kIio},
                            {"verbose", no_argument, nullptr, kVerbose},
                            {"help", no_argument, nullptr, kHelp},
                            {nullptr, 0, nullptr, 0}};
    phoned::DaemonOptions o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", longs, nullptr)) != -1) {
        switch (c) {
            case kPackage:
                o.package = optarg;
                break;
            case kIio:
                o.iio = optarg;
                break;
            case kVerbose:
                o.verbose = true;
                break;
            case 'h':
            case kHelp:
                help();
            case ':':
                usageError(std::string(argv[optind - 1]) + " needs a value");
            default:
                usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc)
        usageError(std::string("unknown command '") + argv[optind] +
                   "' (the only one is 'settings')");
    return phoned::runDaemon(o);
}
