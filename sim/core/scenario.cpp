#include "scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "program/suggest.h"

namespace sim {

const char* const kDefaultScenario =
    R"(# The built-in scenario: a locked phone lying screen-up answered with two waves.
title A locked phone lying screen-up, answered with two waves at medium speed
at 0     locked yes
at 0     pose up
at 0.5   call incoming
at 6     waves 2
at 12    call ended
expect hint "Wave twice to answer"
expect answered at wave 2
expect speaker on
)";

using program::closest;
using program::didYouMean;

namespace {

// The words each place of a line takes, for "did you mean" when another word is there.
const std::vector<std::string> kLineHeads = {"at",       "expect",        "title", "speed",
                                             "language", "screen-height", "end"};
const std::vector<std::string> kEvents = {"call",    "locked",    "pose",     "cover",
                                          "uncover", "wave",      "waves",    "lock-button",
                                          "headset", "bluetooth", "settings", "note"};
const std::vector<std::string> kCallStates = {"incoming", "active", "held", "ended"};
const std::vector<std::string> kSettings = {"enabled", "headset-speaker", "latest-detection",
                                            "waves", "info"};
const std::vector<std::string> kInfoButtons = {"how-it-works", "headset", "about"};
const std::vector<std::string> kSpeeds = {"slow", "medium", "fast"};

std::string joinedWith(const std::vector<std::string>& words, const char* last) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i)
        out += (i == 0                  ? ""
                : i + 1 == words.size() ? std::string(" ") + last + " "
                                        : ", ") +
               words[i];
    return out;
}

// A wrong line, thrown from deep in the line's parsing and caught once per scenario.
struct LineError {
    std::string message;
};

// Splits a line into words; "double quoted" words may hold blanks.
std::vector<std::string> words(const std::string& line, int lineNo, const std::string& file) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string::npos) {
                throw LineError{file + ":" + std::to_string(lineNo) +
                                ": a quoted text is not closed"};
            }
            out.push_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
            out.push_back(line.substr(start, i - start));
        }
    }
    return out;
}

class LineParser {
  public:
    LineParser(std::vector<std::string> w, int line, const std::string& file)
        : w_(std::move(w)), line_(line), file_(file) {}

    [[noreturn]] void fail(const std::string& problem) const {
        throw LineError{file_ + ":" + std::to_string(line_) + ": " + problem};
    }
    size_t size() const { return w_.size(); }
    const std::string& word(size_t i) const {
        if (i >= w_.size()) fail("'" + joined() + "' is missing a word at the end");
        return w_[i];
    }
    // A finite number: "inf" and "nan" read as numbers but mean no time at all.
    double number(size_t i, const char* what) const {
        const std::string& s = word(i);
        char* end = nullptr;
        double d = std::strtod(s.c_str(), &end);
        if (end == s.c_str() || *end != '\0')
            fail(std::string(what) + " must be a number, not '" + s + "'");
        if (!std::isfinite(d))
            fail(std::string(what) + " must be a finite number, not '" + s + "'");
        return d;
    }
    double within(size_t i, const char* what, double lo, double hi) const {
        double d = number(i, what);
        if (d < lo || d > hi) {
            fail(std::string(what) + " must be from " + shortNumber(lo) + " to " + shortNumber(hi) +
                 ", not " + word(i));
        }
        return d;
    }
    double nonNegative(size_t i, const char* what, double hi) const {
        double d = number(i, what);
        if (d < 0) fail(std::string(what) + " must not be negative, not " + word(i));
        if (d > hi)
            fail(std::string(what) + " must be at most " + shortNumber(hi) + ", not " + word(i));
        return d;
    }
    int whole(size_t i, const char* what, int lo, int hi) const {
        double d = number(i, what);
        // The range first: converting a number beyond int's range is undefined.
        if (d < lo || d > hi || d != std::floor(d)) {
            fail(std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                 std::to_string(hi) + ", not " + word(i));
        }
        return static_cast<int>(d);
    }
    static std::string shortNumber(double d) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", d);
        return buf;
    }
    bool choice(size_t i, const char* yes, const char* no) const {
        const std::string& s = word(i);
        if (s == yes) return true;
        if (s == no) return false;
        fail("expected '" + std::string(yes) + "' or '" + no + "', not '" + s + "'" +
             didYouMean(s, {yes, no}));
    }
    void noMoreThan(size_t n) const {
        if (w_.size() > n) fail("unexpected '" + w_[n] + "'");
    }
    std::string joined() const {
        std::string s;
        for (const auto& x : w_) s += (s.empty() ? "" : " ") + x;
        return s;
    }
    std::string rest(size_t from) const {
        std::string s;
        for (size_t i = from; i < w_.size(); ++i) s += (i == from ? "" : " ") + w_[i];
        return s;
    }

  private:
    std::vector<std::string> w_;
    int line_;
    const std::string& file_;
};

int speedIndex(const LineParser& p, size_t i) {
    const std::string& s = p.word(i);
    if (s == "slow") return 0;
    if (s == "medium") return 1;
    if (s == "fast") return 2;
    p.fail("speed must be slow, medium or fast, not '" + s + "'" + didYouMean(s, kSpeeds));
}

// "settings ...": the user changes the settings pane.
template <class Add>
void parseSettings(const LineParser& p, Add& add) {
    const std::string& what = p.word(3);
    if (what == "enabled" || what == "headset-speaker" || what == "latest-detection") {
        Step& s = add(Step::Kind::SettingsSwitch);
        s.text = what == "enabled"           ? "enabled switch"
                 : what == "headset-speaker" ? "headset switch"
                                             : "detection switch";
        s.on = p.choice(4, "on", "off");
        p.noMoreThan(5);
    } else if (what == "waves") {
        // settings waves locked N unlocked M speed S
        if (p.size() != 10 || p.word(4) != "locked" || p.word(6) != "unlocked" ||
            p.word(8) != "speed") {
            std::string hint;
            for (auto [at, keyword] : {std::pair{4, "locked"}, {6, "unlocked"}, {8, "speed"}})
                if (hint.empty() && p.size() > static_cast<size_t>(at))
                    hint = didYouMean(p.word(at), {keyword});
            p.fail("write 'settings waves locked N unlocked M speed slow|medium|fast'" + hint);
        }
        Step& s = add(Step::Kind::SettingsWaves);
        s.locked = p.whole(5, "the waves for a locked phone", 1, 3);
        s.unlocked = p.whole(7, "the waves for an unlocked phone", 1, 2);
        s.speed = speedIndex(p, 9);
    } else if (what == "info") {
        const std::string& which = p.word(4);
        p.noMoreThan(5);
        Step& s = add(Step::Kind::SettingsInfo);
        if (which == "how-it-works")
            s.text = "how it works";
        else if (which == "headset")
            s.text = "headset info";
        else if (which == "about")
            s.text = "about";
        else
            p.fail("the information buttons are how-it-works, headset and about, not '" + which +
                   "'" + didYouMean(which, kInfoButtons));
    } else {
        p.fail("settings are enabled, headset-speaker, latest-detection, waves or info, not '" +
               what + "'" + didYouMean(what, kSettings));
    }
}

// "pose up", "pose down" or "pose X Y Z".
void parsePose(const LineParser& p, Step& s) {
    if (p.size() == 4 && p.word(3) == "up") {
        s.x = 0.02, s.y = -0.05, s.z = -0.99;
    } else if (p.size() == 4 && p.word(3) == "down") {
        s.x = 0.0, s.y = 0.1, s.z = 0.98;
    } else if (p.size() == 6) {
        s.x = p.within(3, "x", -kMaxAcceleration, kMaxAcceleration);
        s.y = p.within(4, "y", -kMaxAcceleration, kMaxAcceleration);
        s.z = p.within(5, "z", -kMaxAcceleration, kMaxAcceleration);
    } else {
        p.fail("pose is 'up', 'down' or three numbers x y z in g" +
               (p.size() == 4 ? didYouMean(p.word(3), {"up", "down"}) : std::string()));
    }
}

// "wave [COVER [GAP]]" or "waves N [COVER [GAP]]": a covering and an uncovering each.
void parseWaves(const LineParser& p, double at, int line, std::vector<Step>& steps) {
    size_t next = 3;
    int count = 1;
    if (p.word(2) == "waves") count = p.whole(next++, "the number of waves", 1, kMaxWavesInARow);
    const double cover =
        p.size() > next ? p.nonNegative(next++, "the covering time", kMaxWaveSeconds) : 0.25;
    const double gap =
        p.size() > next ? p.nonNegative(next++, "the pause between waves", kMaxWaveSeconds) : 0.25;
    p.noMoreThan(next);
    for (int i = 0; i < count; ++i) {
        const double start = at + i * (cover + gap);
        for (auto [t, kind] :
             {std::pair{start, Step::Kind::Cover}, std::pair{start + cover, Step::Kind::Uncover}}) {
            Step s;
            s.at = t;
            s.line = line;
            s.kind = kind;
            steps.push_back(s);
        }
    }
}

// "call incoming|active|held|ended".
Step::Kind callKind(const LineParser& p) {
    const std::string& what = p.word(3);
    p.noMoreThan(4);
    if (what == "incoming") return Step::Kind::CallIncoming;
    if (what == "active") return Step::Kind::CallActive;
    if (what == "ended") return Step::Kind::CallEnded;
    if (what == "held") return Step::Kind::CallHeld;
    p.fail("a call is incoming, active, held or ended, not '" + what + "'" +
           didYouMean(what, kCallStates));
}

// One "at" line may stand for several steps (waves).
void parseStep(const LineParser& p, double at, int line, std::vector<Step>& steps) {
    auto add = [&](Step::Kind kind) -> Step& {
        steps.push_back(Step{});
        Step& s = steps.back();
        s.at = at;
        s.line = line;
        s.kind = kind;
        return s;
    };
    const std::string& cmd = p.word(2);
    if (cmd == "call") {
        add(callKind(p));
    } else if (cmd == "locked") {
        add(Step::Kind::Locked).on = p.choice(3, "yes", "no");
        p.noMoreThan(4);
    } else if (cmd == "pose") {
        parsePose(p, add(Step::Kind::Pose));
    } else if (cmd == "cover" || cmd == "uncover") {
        p.noMoreThan(3);
        add(cmd == "cover" ? Step::Kind::Cover : Step::Kind::Uncover);
    } else if (cmd == "wave" || cmd == "waves") {
        parseWaves(p, at, line, steps);
    } else if (cmd == "lock-button") {
        p.noMoreThan(3);
        add(Step::Kind::LockButton);
    } else if (cmd == "headset") {
        add(Step::Kind::Headset).on = p.choice(3, "plugged", "unplugged");
        p.noMoreThan(4);
    } else if (cmd == "bluetooth") {
        add(Step::Kind::Bluetooth).on = p.choice(3, "connected", "disconnected");
        p.noMoreThan(4);
    } else if (cmd == "settings") {
        parseSettings(p, add);
    } else if (cmd == "note") {
        add(Step::Kind::Note).text = p.rest(3);
    } else {
        const std::string suggestion = didYouMean(cmd, kEvents);
        p.fail("unknown event '" + cmd + "'" +
               (suggestion.empty() ? " (the events are " + joinedWith(kEvents, "and") + ")"
                                   : suggestion));
    }
}

bool looksLikeNumber(const std::string& s) {
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return end != s.c_str() && *end == '\0';
}

// The expectation a mistyped one most likely meant (" (did you mean 'expect speaker on'?)"):
// its first words, from `from` on, against each form's keywords; a form of more keywords that
// matches wins over a shorter one. Only the forms a named call takes when `ofACall`.
std::string expectationSuggestion(const LineParser& p, size_t from, bool ofACall) {
    struct Form {
        const char* keywords;
        const char* shown;
        bool call;  // said of a named call too
    };
    static const Form forms[] = {
        {"answered", "answered", true},
        {"not answered", "not answered", true},
        {"answered at wave", "answered at wave N", true},
        {"speaker on", "speaker on", false},
        {"speaker off", "speaker off", false},
        {"hint", "hint \"TEXT\"", false},
        {"no hint", "no hint", false},
        {"event", "event \"TEXT\"", false},
        {"no event", "no event \"TEXT\"", false},
        {"call", "call N ...", false},
    };
    for (size_t k = 3; k >= 1; --k) {
        if (p.size() < from + k) continue;
        std::string typed;
        for (size_t i = from; i < from + k; ++i) typed += (i == from ? "" : " ") + p.word(i);
        std::vector<std::string> keywords;
        for (const Form& f : forms) {
            const auto n = static_cast<size_t>(
                               std::count(f.keywords, f.keywords + std::strlen(f.keywords), ' ')) +
                           1;
            if (n == k && (f.call || !ofACall)) keywords.push_back(f.keywords);
        }
        const std::vector<std::string> found = closest(typed, keywords);
        if (found.empty()) continue;
        std::string before;
        for (size_t i = 0; i < from; ++i) before += p.word(i) + " ";
        std::string said;
        for (const std::string& keyword : found) {
            for (const Form& f : forms)
                if (keyword == f.keywords)
                    said += (said.empty() ? "'" : " or '") + before + f.shown + "'";
        }
        return " (did you mean " + said + "?)";
    }
    return "";
}

// An expectation of the speaker, the hint or the timeline (never of a named call); false when
// the line is none of those.
bool parseSeen(const LineParser& p, Expectation& e) {
    const size_t n = p.size();
    const std::string& what = p.word(1);
    if (what == "speaker" && n == 3) {
        e.kind =
            p.choice(2, "on", "off") ? Expectation::Kind::SpeakerOn : Expectation::Kind::SpeakerOff;
    } else if (what == "hint" && n == 3) {
        e.kind = Expectation::Kind::Hint;
        e.text = p.word(2);
    } else if (what == "no" && n == 3 && p.word(2) == "hint") {
        e.kind = Expectation::Kind::NoHint;
    } else if (what == "event" && n == 3) {
        e.kind = Expectation::Kind::Event;
        e.text = p.word(2);
    } else if (what == "no" && n == 4 && p.word(2) == "event") {
        e.kind = Expectation::Kind::NoEvent;
        e.text = p.word(3);
    } else {
        return false;
    }
    return true;
}

// Why an "expect" line is none of the expectations, with what it most likely meant.
[[noreturn]] void refuseExpectation(const LineParser& p, size_t skip) {
    if (skip != 0)
        p.fail("'" + p.joined() +
               "': a call can be expected answered, not answered or answered at wave N" +
               expectationSuggestion(p, 1 + skip, true));
    // Likely mistake: a text of several words without its quotes.
    auto unquoted = [&](size_t from) {
        std::string before;
        for (size_t i = 0; i < from; ++i) before += p.word(i) + " ";
        p.fail("unknown expectation '" + p.joined() + "': put the text in double quotes, as in '" +
               before + "\"" + p.rest(from) + "\"'");
    };
    const size_t n = p.size();
    const std::string& what = p.word(1);
    if ((what == "hint" || what == "event") && n > 3) unquoted(2);
    if (what == "no" && n > 4 && p.word(2) == "event") unquoted(3);
    if (const std::string suggestion = expectationSuggestion(p, 1, false); !suggestion.empty())
        p.fail("unknown expectation '" + p.joined() + "'" + suggestion);
    p.fail("unknown expectation '" + p.joined() +
           "' (expect answered, not answered, answered at wave N, call N ..., speaker on|off, "
           "hint \"TEXT\", no hint, event \"TEXT\" or no event \"TEXT\")");
}

Expectation parseExpectation(const LineParser& p, int line, const std::string& raw) {
    Expectation e;
    e.line = line;
    const auto first = raw.find_first_not_of(" \t");
    const auto last = raw.find_last_not_of(" \t");
    e.source = raw.substr(first, last - first + 1);
    // "expect call N ..." names the Nth call that came in; the words after it are read as if
    // the expectation named none.
    size_t skip = 0;
    if (p.size() > 1 && p.word(1) == "call") {
        e.call = p.whole(2, "the call's number", 1, 1000);
        skip = 2;
    }
    const size_t n = p.size() - skip;
    auto w = [&](size_t i) -> const std::string& { return p.word(i + skip); };
    const std::string& what = w(1);
    if (what == "answered" && n == 2) {
        e.kind = Expectation::Kind::Answered;
    } else if (what == "answered" && n == 5 && w(2) == "at" && w(3) == "wave") {
        e.kind = Expectation::Kind::AnsweredAtWave;
        e.wave = p.whole(4 + skip, "the wave", 1, 100);
    } else if (what == "not" && n == 3 && w(2) == "answered") {
        e.kind = Expectation::Kind::NotAnswered;
    } else if (skip != 0 || !parseSeen(p, e)) {
        refuseExpectation(p, skip);
    }
    return e;
}

// The "at" lines' order so far: the latest time, as written, and its line.
struct TimeOrder {
    double at = 0;
    std::string text;
    int line = 0;
};

// "at TIME EVENT...": in time order, since a line out of order is more likely a slip ("at 60"
// for "at 6") than meant.
void parseEvent(const LineParser& p, int lineNo, TimeOrder& order, Scenario& sc) {
    const double at = p.nonNegative(1, "the time", kMaxTime);
    if (order.line != 0 && at < order.at)
        p.fail("an event at " + p.word(1) + " s comes before the one at " + order.text +
               " s on line " + std::to_string(order.line) + ": write the events in time order");
    order = {at, p.word(1), lineNo};
    parseStep(p, at, lineNo, sc.steps);
}

// A line about the scenario as a whole: its title, speed, language, screen and end.
bool parseAbout(const LineParser& p, int lineNo, Scenario& sc) {
    const std::string& head = p.word(0);
    if (head == "title") {
        sc.title = p.rest(1);
        return true;
    }
    if (head == "speed") {
        double s = p.number(1, "the speed");
        if (!(s > 0) || s > 1000) p.fail("the speed must be above 0 and at most 1000");
        sc.speed = s;
    } else if (head == "language") {
        sc.language = p.word(1);
    } else if (head == "screen-height") {
        sc.screenHeight = p.number(1, "the screen height");
        if (sc.screenHeight != 480 && sc.screenHeight != 568)
            p.fail("the screen height is 480 or 568");
    } else if (head == "end") {
        sc.end = p.nonNegative(1, "the end time", kMaxTime);
        sc.endLine = lineNo;
    } else {
        return false;
    }
    p.noMoreThan(2);
    return true;
}

// One line of a scenario into it.
void parseLine(const LineParser& p, const std::string& raw, int lineNo, TimeOrder& order,
               Scenario& sc) {
    const std::string& head = p.word(0);
    if (head == "at") return parseEvent(p, lineNo, order, sc);
    if (head == "expect") return sc.expectations.push_back(parseExpectation(p, lineNo, raw));
    if (parseAbout(p, lineNo, sc)) return;
    if (looksLikeNumber(head))
        p.fail("unknown line '" + p.joined() + "': events start with 'at', as in 'at " +
               p.joined() + "'");
    if (const std::string suggestion = didYouMean(head, kLineHeads); !suggestion.empty())
        p.fail("unknown line '" + p.joined() + "'" + suggestion);
    p.fail("unknown line '" + p.joined() +
           "' (lines start with at, expect, title, speed, language, screen-height or end)");
}

// Steps after the end would never play: which one, first by line, says so rather than drop it.
platform::Result<void> nothingAfterTheEnd(const Scenario& sc) {
    if (!sc.end) return {};
    const Step* late = nullptr;
    for (const Step& step : sc.steps)
        if (step.at > *sc.end && (late == nullptr || step.line < late->line)) late = &step;
    if (late == nullptr) return {};
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  ": an event at %g s comes after the end of the scenario at %g s (line %d), so "
                  "it would never happen",
                  late->at, *sc.end, sc.endLine);
    return platform::Failure{sc.file + ":" + std::to_string(late->line) + buf};
}

}  // namespace

double Scenario::endTime() const {
    if (end) return *end;
    double last = 0;
    for (const auto& s : steps) last = std::max(last, s.at);
    return last + 4;
}

platform::Result<Scenario> parseScenario(const std::string& text, const std::string& file) {
    Scenario sc;
    sc.file = file;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    TimeOrder order;
    try {
        while (std::getline(in, raw)) {
            ++lineNo;
            if (!raw.empty() && raw.back() == '\r') raw.pop_back();
            LineParser p(words(raw, lineNo, file), lineNo, file);
            if (p.size() != 0) parseLine(p, raw, lineNo, order, sc);
        }
    } catch (const LineError& e) {
        return platform::Failure{e.message};
    }
    if (sc.steps.empty()) return platform::Failure{file + ": no events (lines starting with 'at')"};
    if (auto inTime = nothingAfterTheEnd(sc); !inTime) return platform::Failure{inTime.error()};
    std::stable_sort(sc.steps.begin(), sc.steps.end(),
                     [](const Step& a, const Step& b) { return a.at < b.at; });
    return sc;
}

platform::Result<Scenario> loadScenario(const std::string& path) {
    const bool standardInput = path == "-";
    const std::string name = standardInput ? "(standard input)" : path;
    int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return platform::Failure{name + ": cannot read the scenario: " + std::strerror(errno)};
    struct stat st {};
    std::string text;
    std::string problem;
    if (::fstat(fd, &st) != 0) {
        problem = std::string("cannot read the scenario: ") + std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        problem = "is a folder, not a scenario file";
    } else if (S_ISREG(st.st_mode) && static_cast<uintmax_t>(st.st_size) > kMaxScenarioBytes) {
        problem = "is larger than a scenario can be (1 MiB)";
    } else {
        // A FIFO or a terminal is read as it comes, blocking, up to the same limit.
        if (!standardInput) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        char buf[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                problem = std::string("cannot read the scenario: ") + std::strerror(errno);
                break;
            }
            if (got == 0) break;
            text.append(buf, static_cast<size_t>(got));
            if (text.size() > kMaxScenarioBytes) {
                problem = "is larger than a scenario can be (1 MiB)";
                break;
            }
        }
    }
    if (!standardInput) ::close(fd);
    if (!problem.empty()) return platform::Failure{name + ": " + problem};
    return parseScenario(text, name);
}

}  // namespace sim
