#include "expectations.h"

#include <algorithm>

namespace sim {

namespace {

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

bool anyContains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

bool holds(const Expectation& e, const Outcome& o) {
    using K = Expectation::Kind;
    const bool answered = !o.answeredAtWaves.empty();
    switch (e.kind) {
        case K::Answered:
            return answered;
        case K::NotAnswered:
            return !answered;
        case K::AnsweredAtWave:
            return std::find(o.answeredAtWaves.begin(), o.answeredAtWaves.end(), e.wave) !=
                   o.answeredAtWaves.end();
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

}  // namespace

std::vector<Verdict> check(const std::vector<Expectation>& expectations, const Outcome& outcome) {
    std::vector<Verdict> verdicts;
    for (const Expectation& e : expectations) {
        const bool held = holds(e, outcome);
        std::string report = "line " + std::to_string(e.line) + ": " + e.source;
        if (e.kind == Expectation::Kind::AnsweredAtWave && !held &&
            !outcome.answeredAtWaves.empty()) {
            report += " (answered at wave " + std::to_string(outcome.answeredAtWaves.front()) + ")";
        }
        verdicts.push_back(Verdict{&e, held, report});
    }
    return verdicts;
}

}  // namespace sim
