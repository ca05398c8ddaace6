// orvella-phoned: answer a ringing call on a Linux phone by waving over the proximity sensor.
//
//   orvella-phoned [--package DIR] [--iio DIR] [--verbose]      the daemon
//   orvella-phoned settings [changes...]                         show or change the settings
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon.h"
#include "program/command_line.h"

namespace {

using platform::Failure;

const program::Program kPhoned{
    "orvella-phoned",
    {{nullptr,
      "[--package DIR] [--iio DIR] [--verbose]",
      "Without a command, runs the daemon: it watches the modem for ringing calls and answers one\n"
      "when you wave over the proximity sensor while the phone lies screen-up.",
      {
          {"package", 0, "DIR", "the Orvella package to install into the phone's files"},
          {"iio", 0, "DIR",
           "where to look for the accelerometer and the proximity sensor (default "
           "/sys/bus/iio/devices)"},
          {"verbose", 0, nullptr, "write the tweak's own log to standard error"},
      }},
     {"settings",
      "[--on | --off] [--locked N] [--unlocked N]\n"
      "                               [--speed slow|medium|fast] [--speaker-with-headset on|off]\n"
      "                               [--package DIR]",
      "'settings' shows the current choices in your language; with options it changes them\n"
      "through the settings pane, and a running daemon takes them up at once:",
      {
          {"on", 0, nullptr, "answering by waving on"},
          {"off", 0, nullptr, "answering by waving off"},
          {"locked", 0, "N", "waves that answer a locked phone (1 to 3)"},
          {"unlocked", 0, "N", "waves that answer an unlocked phone (1 or 2)"},
          {"speed", 0, "slow|medium|fast", "how quickly each wave must be done"},
          {"speaker-with-headset", 0, "on|off", "turn the speaker on even with wired headphones"},
          {"package", 0, "DIR", "the Orvella package whose settings pane to use"},
      }}},
    "The phone's files live in $XDG_DATA_HOME/orvella (~/.local/share/orvella).\n"};

platform::Result<int> waves(const char* option, const std::string& text, int most) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno != 0 || n < 1 || n > most)
        return Failure{std::string(option) + " needs a number of waves from 1 to " +
                       std::to_string(most) + ", not '" + text + "'"};
    return static_cast<int>(n);
}

platform::Result<int> onOff(const char* option, const std::string& text) {
    if (text == "on") return 1;
    if (text == "off") return 0;
    return Failure{std::string(option) + " needs 'on' or 'off', not '" + text + "'"};
}

platform::Result<int> speed(const std::string& text) {
    const char* names[] = {"slow", "medium", "fast"};
    for (int i = 0; i < 3; ++i)
        if (text == names[i]) return i;
    return Failure{"--speed needs slow, medium or fast, not '" + text + "'"};
}

// One option of the settings command into the options, or why not.
platform::Result<void> setting(const program::Given& g, phoned::SettingsOptions& o) {
    if (g.is("on") || g.is("off")) {
        const int on = g.is("on") ? 1 : 0;
        if (o.enabled >= 0 && o.enabled != on)
            return Failure{"--on and --off cannot be given together"};
        o.enabled = on;
        return {};
    }
    if (g.is("package")) {
        o.package = g.value;
        return {};
    }
    const bool locked = g.is("locked"), unlocked = g.is("unlocked"), pace = g.is("speed");
    const platform::Result<int> value = locked     ? waves("--locked", g.value, 3)
                                        : unlocked ? waves("--unlocked", g.value, 2)
                                        : pace     ? speed(g.value)
                                                   : onOff("--speaker-with-headset", g.value);
    if (!value) return Failure{value.error()};
    (locked ? o.locked : unlocked ? o.unlocked : pace ? o.speed : o.speakerWithHeadset) = *value;
    return {};
}

int settings(int argc, char** argv, size_t command) {
    auto line = kPhoned.parse(argc, argv, command);
    if (!line) return kPhoned.refuse(line.error());
    if (line->help) return kPhoned.showHelp();
    if (line->version) return kPhoned.showVersion();
    phoned::SettingsOptions o;
    for (const program::Given& g : line->options)
        if (auto taken = setting(g, o); !taken) return kPhoned.refuse(taken.error());
    if (!line->operands.empty())
        return kPhoned.refuse("unexpected argument '" + line->operands.front() + "'");
    return phoned::runSettings(o);
}

}  // namespace

int main(int argc, char** argv) {
    // A command is the first word, before any option.
    if (argc > 1 && argv[1][0] != '-') {
        auto command = kPhoned.command(argv[1]);
        if (!command) return kPhoned.refuse(command.error());
        return settings(argc - 1, argv + 1, *command);
    }
    auto line = kPhoned.parse(argc, argv);
    if (!line) return kPhoned.refuse(line.error());
    if (line->help) return kPhoned.showHelp();
    if (line->version) return kPhoned.showVersion();
    phoned::DaemonOptions o;
    for (const program::Given& g : line->options) {
        if (g.is("package")) o.package = g.value;
        if (g.is("iio")) o.iio = g.value;
        if (g.is("verbose")) o.verbose = true;
    }
    if (!line->operands.empty()) {
        const std::string& word = line->operands.front();
        auto command = kPhoned.command(word);
        return kPhoned.refuse(command ? "'" + word + "' comes first, before any option"
                                      : command.error());
    }
    return phoned::runDaemon(o);
}
