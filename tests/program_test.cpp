// The programs' command line, from one table: what a command line becomes, how each kind of
// mistake is named, and the help the table gives.
#include <gtest/gtest.h>

#include <sstream>

#include "program/command_line.h"

namespace {

const program::Program kTool{
    "tool",
    {{nullptr,
      "[OPTION...] [FILE]",
      "Does what a tool does.",
      {{"json", 0, nullptr, "write JSON"},
       {"root", 0, "DIR", "the root"},
       {"speed", 's', "F",
        "how fast, in a sentence long enough that the help has to break it over two lines or "
        "more to stay narrow"}}},
     {"settings", "[--on | --off]", "'settings' changes them:", {{"on", 0, nullptr, "on"}}}}};

// "name=value" for each option given, then each operand, or the refusal.
std::string parsed(std::vector<const char*> args, size_t command = 0) {
    args.insert(args.begin(), "tool");
    auto line = kTool.parse(static_cast<int>(args.size()), args.data(), command);
    if (!line) return "refused: " + line.error();
    std::string out = std::string(line->help ? "help " : "") + (line->version ? "version " : "");
    for (const auto& g : line->options) out += std::string(g.option->name) + "=" + g.value + " ";
    for (const auto& o : line->operands) out += "[" + o + "] ";
    return out;
}

}  // namespace

TEST(ProgramTable, OptionsOperandsAndEveryKindOfMistake) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"--root=/x", "a.scn", "--json"}, "root=/x json= [a.scn] "},
        {{"--root", "/x", "-s", "3", "--speed=4"}, "root=/x speed=3 speed=4 "},
        {{"-h", "--version"}, "help version "},
        {{"--ro=/y"}, "root=/y "},  // a prefix that names one option is that option
        {{"--root"}, "refused: --root: needs a value"},
        {{"--root="}, "refused: --root: needs a value"},
        {{"-s"}, "refused: -s: needs a value"},
        {{"--json=yes"}, "refused: --json: takes no value"},
        {{"--jsno"}, "refused: unknown option '--jsno' (did you mean '--json'?)"},
        {{"--rot=/x"}, "refused: unknown option '--rot=/x' (did you mean '--root'?)"},
        {{"--frobnicate"}, "refused: unknown option '--frobnicate'"},
        {{"-x"}, "refused: unknown option '-x'"},
        {{"--off"}, "refused: unknown option '--off'"},  // the settings command's, not the tool's
    };
    for (const auto& [args, expected] : cases) EXPECT_EQ(parsed(args), expected) << args[0];
    EXPECT_EQ(parsed({"--on", "--version"}, 1), "version on= ");
    EXPECT_EQ(*kTool.command("settings"), 1u);
    EXPECT_EQ(kTool.command("setings").error(),
              "unknown command 'setings' (did you mean 'settings'?)");
    EXPECT_EQ(kTool.command("answer").error(),
              "unknown command 'answer' (the only one is 'settings')");
}

TEST(ProgramTable, TheHelpListsEveryOptionInOneNarrowColumn) {
    const std::string help = kTool.help();
    EXPECT_EQ(
        help.rfind("usage: tool [OPTION...] [FILE]\n       tool settings [--on | --off]\n", 0), 0u)
        << help;
    std::istringstream lines(help);
    size_t column = 0;
    for (std::string line; std::getline(lines, line) && line.rfind("'settings'", 0) != 0;) {
        EXPECT_LE(line.size(), 96u) << line;
        if (line.rfind("  -", 0) != 0) continue;
        // Every description of a command starts in one column, after its widest option.
        const size_t at = line.find_first_not_of(' ', line.find("  ", 2));
        if (column == 0) column = at;
        EXPECT_EQ(at, column) << line;
    }
    for (const char* shown : {"  --json ", "  --root=DIR ", "  -s, --speed=F ", "  -h, --help ",
                              "  --version ", "  --on ", "'settings' changes them:"})
        EXPECT_NE(help.find(shown), std::string::npos) << shown << "\n" << help;
    EXPECT_NE(help.find("\n" + std::string(column, ' ') + "lines or more to stay narrow"),
              std::string::npos)
        << "a long description goes on under itself\n"
        << help;
}
