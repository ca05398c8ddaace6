#include "narrator.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "OrvellaNames.h"
#include "recognizer.h"

namespace sim {

namespace ev = platform::events;
using json = Json;

namespace {

// The picker's columns by what the settings screen calls the setup button of each.
std::string columnName(int64_t column) {
    switch (column) {
        case 0:
            return "wave speed";
        case 1:
            return "waves when locked";
        case 2:
            return "waves when unlocked";
    }
    return "column " + std::to_string(column);
}

bool isLogo(const platform::TracedView& v) {
    return v.tag == orvella::kLogoTag && v.className == "UIImageView";
}
bool isHint(const platform::TracedView& v) {
    return v.tag == orvella::kHintTag && v.className == "UILabel";
}

}  // namespace

void Narrator::say(Record kind, const std::string& process, const std::string& text,
                   const json& details) {
    timeline_.add(kind, process, text, details);
}

bool Narrator::settings(const std::string& process, const platform::TraceEvent& event,
                        const json& details) {
    auto screen = [&](const std::string& text) { say(Record::Screen, process, text, details); };
    if (auto* e = std::get_if<ev::ButtonTapped>(&event)) {
        screen("settings: tapped " + (e->button.text.empty()
                                          ? platform::describe(event)
                                          : "\"" + clipped(e->button.text) + "\""));
    } else if (auto* e = std::get_if<ev::SwitchFlipped>(&event)) {
        const std::string name = e->label.empty() ? "switch with tag " + std::to_string(e->tag)
                                                  : "switch \"" + clipped(e->label) + "\"";
        screen("settings: " + name + " turned " + (e->on ? "on" : "off"));
    } else if (auto* e = std::get_if<ev::PickerTurned>(&event)) {
        screen("settings: picker column \"" + columnName(e->column) + "\" turned to \"" +
               clipped(e->title) + "\"");
    } else {
        return false;
    }
    return true;
}

// The wave recognizer's own verdict on a wave that took too long, in plain words.
void Narrator::timedOut(const std::string& process, const ev::WaveTimedOut& e, json details) {
    // The limit as the recognizer reported it: its float's shortest decimal (0.7 s).
    char limit[48] = "";
    if (std::isfinite(e.timeLimit)) std::snprintf(limit, sizeof limit, "%g s ", e.timeLimit);
    char buf[240];
    std::snprintf(buf, sizeof buf,
                  "wave too slow: %.2f s since the wave began, over the %stime limit of the wave "
                  "speed; counting starts again at the first wave",
                  e.elapsed, limit);
    details.erase("event");
    say(Record::Timeout, process, buf, details);
}

void Narrator::event(const std::string& process, const platform::TraceEvent& event) {
    const json details = eventJson(event);
    if (settings(process, event, details)) return;
    auto screen = [&](const std::string& text) { say(Record::Screen, process, text, details); };
    if (auto* e = std::get_if<ev::ViewAdded>(&event)) {
        if (isLogo(e->view)) {
            logoShown_ = true;
        } else if (isHint(e->view)) {
            const std::string text = clipped(e->view.text);
            if (hints_.size() < kMaxKept) hints_.push_back(text);
            screen(std::string("answer bar shows ") + (logoShown_ ? "logo and " : "") + "hint \"" +
                   text + "\"");
            logoShown_ = false;
        }
        // the platform's own controls coming and going are not news
    } else if (auto* e = std::get_if<ev::ViewRemoved>(&event)) {
        if (isLogo(e->view)) {
            logoRemoved_ = true;
        } else if (isHint(e->view)) {
            screen(std::string("answer bar removes ") + (logoRemoved_ ? "logo and " : "") + "hint");
            logoRemoved_ = false;
        }
    } else if (auto* e = std::get_if<ev::CallAnswered>(&event)) {
        if (e->by == ev::AnswerControl::Button) screen("answer bar presses its answer button");
        screen("answer bar answers the call");
    } else if (std::holds_alternative<ev::SlideFinished>(event)) {
        screen("answer bar finishes its slide");
    } else if (std::holds_alternative<ev::SpeakerButtonTapped>(event)) {
        screen("in-call controller taps the speaker button");
    } else if (auto* e = std::get_if<ev::RecognizerChanged>(&event)) {
        // Only its state is news; the time limit and the wave's timing are the plot's.
        if (recognizerState_ != e->state)
            say(Record::Recognizer, process, "wave recognizer: " + recognizerStateName(e->state),
                details);
        recognizerState_ = e->state;
    } else if (auto* e = std::get_if<ev::WaveTimedOut>(&event)) {
        timedOut(process, *e, details);
    } else if (std::holds_alternative<ev::ScreenshotWritten>(event)) {
        // named and listed by the simulator, which moves the file (screenshots.h)
    } else if (!std::holds_alternative<ev::Bookkeeping>(event)) {
        screen(clipped(platform::describe(event)));
    }
}

void Narrator::log(const std::string& process, const std::string& line) {
    if (!showLog_) return;
    std::string flat = clipped(line);
    for (auto& ch : flat)
        if (ch == '\r' || ch == '\n') ch = ' ';
    say(Record::Log, process, "log: " + flat, {{"line", clipped(line)}});
}

void Narrator::posted(const std::string& process, const std::string& name) {
    static const std::map<std::string, std::string> words = {
        {orvella::kSlideOpenNotification, "slide-open posted"},
        {orvella::kRemoveActiveLabelsNotification, "remove-labels posted"},
        {orvella::kTurnOnSpeakerNotification, "speaker notification posted"}};
    auto w = words.find(name);
    say(Record::Notification, process, w == words.end() ? "posted " + clipped(name) : w->second,
        {{"name", clipped(name)}});
}

}  // namespace sim
