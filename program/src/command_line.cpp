#include "program/command_line.h"

#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/core/warn.h"
#include "program/suggest.h"

namespace program {

using platform::Failure;

namespace {

const Option kHelpOption{"help", 'h', nullptr, "show this help and exit"};
const Option kVersionOption{"version", 0, nullptr, "show the version and exit"};

// The help's width, and where an option's description starts at the most.
constexpr size_t kWidth = 96;
constexpr size_t kWidestLeft = 32;

// What the help shows on the left of an option: "  -h, --help", "  --speed=F".
std::string left(const Option& o) {
    std::string s = "  ";
    if (o.letter != 0) s += std::string("-") + o.letter + ", ";
    s += std::string("--") + o.name;
    if (o.argument != nullptr) s += std::string("=") + o.argument;
    return s;
}

// The description broken into lines of at most kWidth, each after `indent` blanks but the first.
std::string wrapped(const std::string& text, size_t indent) {
    std::string out, line;
    size_t i = 0;
    while (i < text.size()) {
        const size_t end = std::min(text.find(' ', i), text.size());
        const std::string word = text.substr(i, end - i);
        if (!line.empty() && indent + line.size() + 1 + word.size() > kWidth) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        i = end + 1;
    }
    return out + line;
}

// The options of one command as lines of the help, descriptions in one column.
std::string optionLines(const std::vector<Option>& options) {
    size_t column = 0;
    for (const Option& o : options) column = std::max(column, left(o).size());
    column = std::min(column, kWidestLeft) + 2;
    std::string out;
    for (const Option& o : options) {
        std::string l = left(o);
        if (l.size() + 2 > column)
            l += "\n" + std::string(column, ' ');
        else
            l.resize(column, ' ');
        out += l + wrapped(o.help, column) + "\n";
    }
    return out;
}

// getopt_long's table for the options, and the short options' string.
struct Getopt {
    std::vector<::option> longs;
    std::string shorts = ":";  // ':' first: a missing value is told apart from an unknown option
};

constexpr int kLongOnly = 256;  // getopt's value of table entry i without a letter: kLongOnly + i

Getopt getoptTable(const std::vector<const Option*>& options) {
    Getopt g;
    for (size_t i = 0; i < options.size(); ++i) {
        const Option& o = *options[i];
        const int has = o.argument != nullptr ? required_argument : no_argument;
        const int val = o.letter != 0 ? o.letter : kLongOnly + static_cast<int>(i);
        g.longs.push_back({o.name, has, nullptr, val});
        if (o.letter != 0) g.shorts += std::string(1, o.letter) + (o.argument ? ":" : "");
    }
    g.longs.push_back({nullptr, 0, nullptr, 0});
    return g;
}

// What is wrong with the word getopt_long has just refused (`c` is ':' or '?').
std::string refusal(int c, const std::string& given, const std::vector<const Option*>& options) {
    const bool isLong = given.rfind("--", 0) == 0;
    const std::string name =
        isLong ? given.substr(0, given.find('=')) : "-" + std::string(1, optopt);
    if (c == ':') return name + ": needs a value";
    if (isLong && optopt != 0) return name + ": takes no value";
    if (!isLong) return "unknown option '" + name + "'";
    std::vector<std::string> names;
    for (const Option* o : options) names.push_back(std::string("--") + o->name);
    return "unknown option '" + given + "'" + didYouMean(name, names);
}

}  // namespace

bool Given::is(const char* name) const { return std::string(option->name) == name; }

Program::Program(const char* name, std::vector<Command> commands, std::string epilogue)
    : name_(name), commands_(std::move(commands)), epilogue_(std::move(epilogue)) {}

platform::Result<CommandLine> Program::parse(int argc, const char* const* argv,
                                             size_t command) const {
    std::vector<const Option*> options;
    for (const Option& o : commands_.at(command).options) options.push_back(&o);
    options.push_back(&kHelpOption);
    options.push_back(&kVersionOption);
    const Getopt table = getoptTable(options);
    // getopt_long permutes argv; it works on a copy so the caller's stays as it was.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
    args.push_back(nullptr);
    optind = 0;  // start afresh (glibc), also when called again
    opterr = 0;  // the messages here name the option
    CommandLine line;
    for (int c; (c = getopt_long(argc, args.data(), table.shorts.c_str(), table.longs.data(),
                                 nullptr)) != -1;) {
        const std::string given = args[static_cast<size_t>(optind - 1)];
        if (c == ':' || c == '?') return Failure{refusal(c, given, options)};
        size_t i = 0;
        while (i < options.size() &&
               (c >= kLongOnly ? c - kLongOnly != static_cast<int>(i) : options[i]->letter != c))
            ++i;
        const Option* o = options.at(i);
        const std::string value = optarg != nullptr ? optarg : "";
        if (o->argument != nullptr && value.empty())
            return Failure{std::string("--") + o->name + ": needs a value"};
        if (o == &kHelpOption)
            line.help = true;
        else if (o == &kVersionOption)
            line.version = true;
        else
            line.options.push_back({o, value});
    }
    for (int i = optind; i < argc; ++i) line.operands.push_back(args[static_cast<size_t>(i)]);
    return line;
}

platform::Result<size_t> Program::command(const std::string& word) const {
    std::vector<std::string> names;
    for (size_t i = 1; i < commands_.size(); ++i) {
        if (word == commands_[i].name) return i;
        names.push_back(commands_[i].name);
    }
    std::string others;
    if (names.size() == 1) others = " (the only one is '" + names[0] + "')";
    const std::string close = didYouMean(word, names);
    return Failure{"unknown command '" + word + "'" + (close.empty() ? others : close)};
}

std::string Program::help() const {
    std::string out;
    for (const Command& c : commands_) {
        out += out.empty() ? "usage: " : "       ";
        out += std::string(name_) + (c.name ? std::string(" ") + c.name : "") + " " + c.synopsis +
               "\n";
    }
    for (const Command& c : commands_) {
        out += "\n";
        if (!c.about.empty()) out += c.about + "\n\n";
        std::vector<Option> options = c.options;
        if (&c == &commands_.front()) options.insert(options.end(), {kHelpOption, kVersionOption});
        out += optionLines(options);
    }
    if (!epilogue_.empty()) out += "\n" + epilogue_;
    return out;
}

int Program::showHelp() const {
    std::fputs(help().c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int Program::showVersion() const {
    std::printf("%s %s\n", name_, ORVELLA_VERSION);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int Program::refuse(const std::string& problem) const {
    platform::warn(name_, problem + "\nTry '" + std::string(name_) + " --help' for the options.");
    return kUsageError;
}

platform::Result<double> number(const std::string& option, const std::string& text, double above,
                                double atMost) {
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

}  // namespace program
