// A program's command line, written once as a table: getopt_long's options, the usage and
// --help text, --version, and the one-line messages for what is wrong, each followed by
// "Try 'PROGRAM --help' for the options." and exit status 2. Every program has -h/--help and
// --version without listing them. A mistyped long option is answered with the closest ones
// ("did you mean '--screenshots'?").
//
//   const program::Program kProgram{"orvella-sim", {{nullptr, "[OPTION...] [SCENARIO | -]",
//       "Runs a whole simulated phone...", {{"json", 0, nullptr, "write the run as JSON"}}}},
//       "Exit status: ..."};
//   auto line = kProgram.parse(argc, argv);
//   if (!line) return kProgram.refuse(line.error());
//   if (line->help) return kProgram.showHelp();
#pragma once

#include <string>
#include <vector>

#include "platform/core/result.h"

namespace program {

// One option of a command: `--name`, `-letter` too when it has one.
struct Option {
    const char* name;      // the long name, without "--"
    char letter;           // the short name, or 0
    const char* argument;  // the value's name in the help ("DIR"); nullptr: it takes no value
    const char* help;      // what it does, in one sentence; the help wraps it
};

// The program itself (name nullptr) or one of its commands ("settings"): what its usage line
// shows after the name, a paragraph about it, and its options.
struct Command {
    const char* name;
    std::string synopsis;  // "[OPTION...] [SCENARIO | -]"
    std::string about;     // may hold line breaks; printed as written
    std::vector<Option> options;
};

// An option as it was given, in the order given.
struct Given {
    const Option* option;
    std::string value;  // empty for an option that takes none
    bool is(const char* name) const;
};

struct CommandLine {
    std::vector<Given> options;
    std::vector<std::string> operands;  // the words that are not options, in order
    bool help = false;
    bool version = false;
};

class Program {
  public:
    // commands: the program's own first, then its commands in the order the help shows them.
    // epilogue: what the help ends with (the exit statuses), printed as written.
    Program(const char* name, std::vector<Command> commands, std::string epilogue = "");

    const char* name() const { return name_; }
    // The options given to the command (0: the program itself); argv[0] is the program's or
    // the command's name. Why not, naming the option: "--root: needs a value", "--json: takes
    // no value", "unknown option '--jsno' (did you mean '--json'?)".
    platform::Result<CommandLine> parse(int argc, const char* const* argv,
                                        size_t command = 0) const;
    // The index of the command named `word`, or why not (with the closest name, if one is).
    platform::Result<size_t> command(const std::string& word) const;

    std::string help() const;
    // Print the help or "NAME VERSION" to standard output: 0, the exit status.
    int showHelp() const;
    int showVersion() const;
    // "NAME: problem" and "Try 'NAME --help' for the options." on standard error: 2, the exit
    // status of a usage error.
    int refuse(const std::string& problem) const;

  private:
    const char* name_;
    std::vector<Command> commands_;
    std::string epilogue_;
};

// A number given to an option: finite, above `above` and at most `atMost`; otherwise why not,
// naming the option ("--speed: 'fast' is not a number").
platform::Result<double> number(const std::string& option, const std::string& text, double above,
                                double atMost);

// The exit status of a usage error.
inline constexpr int kUsageError = 2;

}  // namespace program
