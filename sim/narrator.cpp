#include "narrator.h"

#include <map>

#include "OrvellaNames.h"
#include "platform/runloop.h"

namespace sim {

namespace ev = platform::events;

std::string jsonEscape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

void Timeline::heading(const std::string& text) {
    if (json_)
        std::fprintf(out_, "{\"scenario\": \"%s\"}\n", jsonEscape(text).c_str());
    else
        std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void Timeline::add(const std::string& process, const std::string& event) {
    const double t = start_ < 0 ? 0 : platform::processClock().now() - start_;
    events_.push_back(event);
    if (json_) {
        std::fprintf(out_, "{\"time\": %.3f, \"process\": \"%s\", \"event\": \"%s\"}\n", t,
                     jsonEscape(process).c_str(), jsonEscape(event).c_str());
    } else {
        std::fprintf(out_, "%8.3f  %-12s %s\n", t, process.c_str(), event.c_str());
    }
    std::fflush(out_);
}

void Timeline::result(const std::string& expectation, bool held) {
    if (json_) {
        std::fprintf(out_, "{\"expectation\": \"%s\", \"held\": %s}\n",
                     jsonEscape(expectation).c_str(), held ? "true" : "false");
    } else {
        std::fprintf(out_, "%s %s\n", held ? "  ok    " : "  FAILED", expectation.c_str());
    }
    std::fflush(out_);
}

bool Timeline::contains(const std::string& text) const {
    for (const auto& e : events_)
        if (e.find(text) != std::string::npos) return true;
    return false;
}

namespace {

bool isLogo(const platform::TracedView& v) {
    return v.tag == orvella::kLogoTag && v.className == "UIImageView";
}
bool isHint(const platform::TracedView& v) {
    return v.tag == orvella::kHintTag && v.className == "UILabel";
}

}  // namespace

void Narrator::event(const std::string& process, const platform::TraceEvent& event) {
    if (auto* e = std::get_if<ev::ViewAdded>(&event)) {
        if (isLogo(e->view)) {
            logoShown_ = true;
        } else if (isHint(e->view)) {
            hints_.push_back(e->view.text);
            say(process, std::string("answer bar shows ") + (logoShown_ ? "logo and " : "") +
                             "hint \"" + e->view.text + "\"");
            logoShown_ = false;
        }
        // the platform's own controls coming and going are not news
    } else if (auto* e = std::get_if<ev::ViewRemoved>(&event)) {
        if (isLogo(e->view)) {
            logoRemoved_ = true;
        } else if (isHint(e->view)) {
            say(process,
                std::string("answer bar removes ") + (logoRemoved_ ? "logo and " : "") + "hint");
            logoRemoved_ = false;
        }
    } else if (auto* e = std::get_if<ev::CallAnswered>(&event)) {
        if (e->by == ev::AnswerControl::Button)
            say(process, "answer bar presses its answer button");
        say(process, "answer bar answers the call");
    } else if (std::holds_alternative<ev::SlideFinished>(event)) {
        say(process, "answer bar finishes its slide");
    } else if (std::holds_alternative<ev::SpeakerButtonTapped>(event)) {
        say(process, "in-call controller taps the speaker button");
    } else if (auto* e = std::get_if<ev::ButtonTapped>(&event)) {
        say(process, "settings: tapped " + (e->button.text.empty() ? platform::describe(event)
                                                                   : "\"" + e->button.text + "\""));
    } else if (std::holds_alternative<ev::SwitchFlipped>(event) ||
               std::holds_alternative<ev::PickerTurned>(event)) {
        say(process, "settings: " + platform::describe(event));
    } else if (!std::holds_alternative<ev::Bookkeeping>(event)) {
        say(process, platform::describe(event));
    }
}

void Narrator::log(const std::string& process, const std::string& line) {
    std::string flat = line;
    for (auto& ch : flat)
        if (ch == '\r' || ch == '\n') ch = ' ';
    say(process, "log: " + flat);
}

void Narrator::posted(const std::string& process, const std::string& name) {
    static const std::map<std::string, std::string> words = {
        {orvella::kSlideOpenNotification, "slide-open posted"},
        {orvella::kRemoveActiveLabelsNotification, "remove-labels posted"},
        {orvella::kTurnOnSpeakerNotification, "speaker notification posted"}};
    auto w = words.find(name);
    say(process, w == words.end() ? "posted " + name : w->second);
}

}  // namespace sim
