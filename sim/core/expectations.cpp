#include "expectations.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

bool anyContains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// The calls an expectation is about: the one it names, or all.
std::vector<Outcome::Call> about(const Expectation& e, const Outcome& o) {
    if (e.call == 0) return o.calls;
    if (static_cast<size_t>(e.call) <= o.calls.size()) return {o.calls[e.call - 1]};
    return {};
}

bool holds(const Expectation& e, const Outcome& o) {
    using K = Expectation::Kind;
    const auto calls = about(e, o);
    const bool answered =
        std::any_of(calls.begin(), calls.end(), [](const Outcome::Call& c) { return c.answered; });
    switch (e.kind) {
        case K::Answered:
            return answered;
        case K::NotAnswered:
            // A named call that never came in was not answered either, but the scenario
            // expected it to come: that is a failure worth seeing.
            return !answered && (e.call == 0 || !calls.empty());
        case K::AnsweredAtWave:
            return std::any_of(calls.begin(), calls.end(), [&](const Outcome::Call& c) {
                return c.answered && c.wave == e.wave;
            });
        case K::SpeakerOn:
            return o.speakerEverOn;
        case K::SpeakerOff:
            return !o.speakerEverOn;
        case K::Hint:
            return contains(o.hints, e.text);
        case K::NoHint:
            return o.hints.empty();
        case K::Event:
            return anyContains(o.events, e.text);
        case K::NoEvent:
            return !anyContains(o.events, e.text);
    }
    return false;
}

// What the calls did, in words, for the expectations about calls.
std::string callsInstead(const Expectation& e, const Outcome& o) {
    if (e.call != 0 && static_cast<size_t>(e.call) > o.calls.size()) {
        return o.calls.size() == 1 ? "only 1 call came in"
                                   : std::to_string(o.calls.size()) + " calls came in";
    }
    std::string words;
    for (size_t i = 0; i < o.calls.size(); ++i) {
        if (e.call != 0 && i + 1 != static_cast<size_t>(e.call)) continue;
        const Outcome::Call& c = o.calls[i];
        if (!words.empty()) words += ", ";
        if (e.call == 0 && o.calls.size() > 1) words += "call " + std::to_string(i + 1) + " ";
        words += c.answered ? "answered at wave " + std::to_string(c.wave) : "not answered";
    }
    return o.calls.empty() ? "no call came in" : words;
}

// A text as a report quotes it: in double quotes, a long one cut.
std::string quoted(const std::string& text) {
    constexpr size_t kLongest = 120;
    if (text.size() <= kLongest) return "\"" + text + "\"";
    size_t cut = kLongest;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
    return "\"" + text.substr(0, cut) + "...\"";
}

// The hints shown, each once, in the order they first showed: "hint \"A\" was shown".
std::string hintsShown(const std::vector<std::string>& hints) {
    if (hints.empty()) return "no hint was shown";
    std::vector<std::string> distinct;
    for (const auto& h : hints)
        if (!contains(distinct, h)) distinct.push_back(h);
    constexpr size_t kNamed = 3;
    std::string words = distinct.size() == 1 ? "hint " : "hints ";
    for (size_t i = 0; i < distinct.size() && i < kNamed; ++i)
        words += (i == 0 ? "" : i + 1 == distinct.size() ? " and " : ", ") + quoted(distinct[i]);
    if (distinct.size() > kNamed)
        words += " and " + std::to_string(distinct.size() - kNamed) + " more";
    return words + (distinct.size() == 1 ? " was shown" : " were shown");
}

std::string seconds(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", t);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s + " s";
}

// What happened instead of what a failed expectation expected, in words.
std::string instead(const Expectation& e, const Outcome& o) {
    using K = Expectation::Kind;
    switch (e.kind) {
        case K::Answered:
        case K::NotAnswered:
        case K::AnsweredAtWave:
            return callsInstead(e, o);
        case K::SpeakerOn:
            return "the speaker stayed off";
        case K::SpeakerOff:
            return o.speakerOnAt ? "the speaker went on at " + seconds(*o.speakerOnAt)
                                 : "the speaker went on";
        case K::Hint:
        case K::NoHint:
            return hintsShown(o.hints);
        case K::Event:
            return "no line of the timeline says it";
        case K::NoEvent:
            for (const auto& line : o.events)
                if (line.find(e.text) != std::string::npos)
                    return "the timeline says " + quoted(line);
            return "";
    }
    return "";
}

}  // namespace

std::vector<Verdict> check(const std::vector<Expectation>& expectations, const Outcome& outcome) {
    std::vector<Verdict> verdicts;
    for (const Expectation& e : expectations) {
        const bool held = holds(e, outcome);
        std::string report = "line " + std::to_string(e.line) + ": " + e.source;
        const std::string happened = held ? std::string() : instead(e, outcome);
        if (!happened.empty()) report += " (" + happened + ")";
        verdicts.push_back(Verdict{&e, held, report, happened});
    }
    return verdicts;
}

}  // namespace sim
