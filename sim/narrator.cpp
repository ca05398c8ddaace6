#include "narrator.h"

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>

#include "OrvellaNames.h"
#include "platform/loop/runloop.h"
#include "recognizer.h"

namespace sim {

namespace ev = platform::events;
using json = Json;

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a valid one.
size_t utf8Length(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xc0) != 0x80) return 0;
    // Overlong forms and surrogates are not UTF-8 either.
    if (n == 2 && c < 0xc2) return 0;
    if (n == 3 && ((c == 0xe0 && b(i + 1) < 0xa0) || (c == 0xed && b(i + 1) >= 0xa0))) return 0;
    if (n == 4 && ((c == 0xf0 && b(i + 1) < 0x90) || c > 0xf4 || (c == 0xf4 && b(i + 1) >= 0x90)))
        return 0;
    return n;
}

json viewJson(const platform::TracedView& v) {
    return {{"class", v.className},
            {"tag", v.tag},
            {"x", v.x},
            {"y", v.y},
            {"width", v.width},
            {"height", v.height},
            {"text", clipped(v.text)}};
}

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// A host's event as typed JSON: its name (as on the bus) and its fields.
json eventJson(const platform::TraceEvent& event) {
    return std::visit(
        Overloaded{
            [](const ev::ViewAdded& e) -> json {
                return {{"event", "ViewAdded"}, {"view", viewJson(e.view)}};
            },
            [](const ev::ViewRemoved& e) -> json {
                return {{"event", "ViewRemoved"}, {"view", viewJson(e.view)}};
            },
            [](const ev::ButtonTapped& e) -> json {
                return {{"event", "ButtonTapped"}, {"button", viewJson(e.button)}};
            },
            [](const ev::SwitchFlipped& e) -> json {
                return {{"event", "SwitchFlipped"},
                        {"tag", e.tag},
                        {"on", e.on},
                        {"label", clipped(e.label)}};
            },
            [](const ev::PickerTurned& e) -> json {
                return {
                    {"event", "PickerTurned"}, {"column", e.column}, {"title", clipped(e.title)}};
            },
            [](const ev::AlertShown& e) -> json {
                json buttons = json::array();
                for (const auto& b : e.buttons) buttons.push_back(clipped(b));
                return {{"event", "AlertShown"},
                        {"title", clipped(e.title)},
                        {"message", clipped(e.message)},
                        {"buttons", buttons}};
            },
            [](const ev::AlertClosed& e) -> json {
                return {{"event", "AlertClosed"}, {"button", clipped(e.button)}};
            },
            [](const ev::URLOpened& e) -> json {
                return {{"event", "URLOpened"}, {"url", clipped(e.url)}};
            },
            [](const ev::SensorSwitched& e) -> json {
                return {
                    {"event", "SensorSwitched"},
                    {"sensor", e.sensor == ev::Sensor::Proximity ? "proximity" : "accelerometer"},
                    {"on", e.on}};
            },
            [](const ev::CallAnswered& e) -> json {
                return {{"event", "CallAnswered"},
                        {"by", e.by == ev::AnswerControl::Slide ? "slide" : "button"}};
            },
            [](const ev::SlideFinished&) -> json {
                return {{"event", "SlideFinished"}};
            },
            [](const ev::InCallButtonTapped& e) -> json {
                return {{"event", "InCallButtonTapped"}, {"position", e.position}};
            },
            [](const ev::SpeakerButtonTapped& e) -> json {
                return {{"event", "SpeakerButtonTapped"}, {"speakerOn", e.speakerOn}};
            },
            [](const ev::CallScreenChanged& e) -> json {
                return {{"event", "CallScreenChanged"},
                        {"screen", e.screen == ev::CallScreen::InCall ? "in-call" : "incoming"},
                        {"shown", e.shown}};
            },
            [](const ev::LockScreenRotated& e) -> json {
                return {{"event", "LockScreenRotated"}, {"orientation", e.orientation}};
            },
            [](const ev::TweakInjected& e) -> json {
                return {{"event", "TweakInjected"}, {"file", clipped(e.file)}};
            },
            [](const ev::SettingsShown& e) -> json {
                return {{"event", "SettingsShown"}, {"class", clipped(e.controllerClass)}};
            },
            [](const ev::PaneOpened& e) -> json {
                return {{"event", "PaneOpened"}, {"entry", clipped(e.entry)}};
            },
            [](const ev::RecognizerChanged& e) -> json {
                return {{"event", "RecognizerChanged"},
                        {"state", e.state},
                        {"name", recognizerStateName(e.state)},
                        {"timeLimit", e.timeLimit},
                        {"timedSince", e.timedSince}};
            },
            [](const ev::ScreenshotWritten& e) -> json {
                return {{"event", "ScreenshotWritten"}, {"file", clipped(e.file)}};
            },
            [](const ev::Bookkeeping& e) -> json {
                return {{"event", "Bookkeeping"}, {"what", clipped(e.what)}};
            },
        },
        event);
}

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

std::string dump(const json& j) {
    // Bytes that are not UTF-8 (a note, a notification name) become U+FFFD, so the document
    // stays valid JSON whatever came in.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string clipped(const std::string& text) {
    if (text.size() <= kMaxText) return text;
    size_t cut = kMaxText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = utf8Length(text, i);
        char buf[12];
        if (n == 0) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            ++i;
        } else if (n == 1 && (c < 0x20 || c == 0x7f)) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            ++i;
        } else if (n == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
            // C1 controls: U+0080 to U+009F (0x9b alone starts an escape sequence on some
            // terminals).
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
            out += buf;
            i += 2;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

const char* recordType(Record r) {
    switch (r) {
        case Record::Step:
            return "step";
        case Record::Screen:
            return "screen";
        case Record::Notification:
            return "notification";
        case Record::Modem:
            return "modem";
        case Record::Timeout:
            return "timeout";
        case Record::Log:
            return "log";
        case Record::Host:
            return "host";
        case Record::Recognizer:
            return "recognizer";
        case Record::Screenshot:
            return "screenshot";
    }
    return "";
}

// --- Timeline ----------------------------------------------------------------------------------

Timeline::~Timeline() {
    if (json_ && started_ && !finished_) finish(-1);
}

void Timeline::section(const char* name) {
    if (open_ != nullptr && open_ == name) return;
    std::fprintf(out_, "%s\"%s\": [", open_ != nullptr ? "\n],\n" : ",\n", name);
    open_ = name;
    first_ = true;
}

void Timeline::record(const json& j) {
    std::fprintf(out_, "%s\n%s", first_ ? "" : ",", dump(j).c_str());
    first_ = false;
    std::fflush(out_);
}

void Timeline::heading(const std::string& text) { heading(text, json::object()); }

void Timeline::heading(const std::string& text, const json& scenario) {
    if (json_) {
        json top = {{"type", "run"}, {"program", "orvella-sim"}, {"version", ORVELLA_VERSION}};
        top["heading"] = text;
        top["scenario"] = scenario;
        // The document stays open: the timeline is written as it happens.
        std::string head = dump(top);
        head.pop_back();  // the closing brace
        std::fputs(head.c_str(), out_);
        started_ = true;
        section("timeline");
    } else {
        std::fprintf(out_, "%s\n", printable(text).c_str());
    }
    std::fflush(out_);
}

void Timeline::add(const std::string& process, const std::string& event) {
    add(Record::Host, process, event, json::object());
}

double Timeline::now() const { return relative(platform::processClock().now()); }

void Timeline::add(Record kind, const std::string& process, const std::string& event,
                   const json& details) {
    write(now(), kind, process, event, details);
}

void Timeline::screenshot(const std::string& process, const std::string& file, double t) {
    write(t, Record::Screenshot, process, "screenshot " + file, {{"file", file}});
}

void Timeline::write(double t, Record kind, const std::string& process, const std::string& event,
                     const json& details) {
    const std::string text = clipped(event);
    if (events_.size() < kMaxKept)
        events_.push_back(text);
    else
        overflowed_ = true;
    if (json_) {
        if (!started_) heading("");
        section("timeline");
        record({{"type", recordType(kind)},
                {"time", std::round(t * 1e6) / 1e6},
                {"process", clipped(process)},
                {"what", text},
                {"details", details.is_null() ? json::object() : details}});
    } else {
        std::fprintf(out_, "%8.3f  %-12s %s\n", t, printable(clipped(process)).c_str(),
                     printable(text).c_str());
        std::fflush(out_);
    }
}

void Timeline::result(const std::string& report, bool held, int line, const std::string& happened) {
    if (!held) ++failed_;
    if (json_) {
        if (!started_) heading("");
        section("expectations");
        json r = {{"type", "expectation"}, {"line", line}, {"report", report}, {"held", held}};
        if (!happened.empty()) r["instead"] = happened;
        record(r);
    } else {
        std::fprintf(out_, "%s %s\n", held ? "  ok    " : "  FAILED", printable(report).c_str());
        std::fflush(out_);
    }
}

void Timeline::finish(int status) {
    if (!json_ || finished_) return;
    if (!started_) heading("");
    section("expectations");  // present, if empty, in every document
    json end = {{"failed", failed_}};
    end["status"] = status >= 0 ? json(status) : json(nullptr);
    std::string tail = dump(end);
    tail.front() = ',';  // the members join the open document
    std::fprintf(out_, "\n],\n%s\n", tail.c_str() + 1);
    std::fflush(out_);
    finished_ = true;
}

bool Timeline::contains(const std::string& text) const {
    for (const auto& e : events_)
        if (e.find(text) != std::string::npos) return true;
    return false;
}

// --- Narrator ----------------------------------------------------------------------------------

namespace {

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

void Narrator::event(const std::string& process, const platform::TraceEvent& event) {
    const json details = eventJson(event);
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
    } else if (auto* e = std::get_if<ev::ButtonTapped>(&event)) {
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
    } else if (auto* e = std::get_if<ev::RecognizerChanged>(&event)) {
        // Only its state is news; the time limit and the wave's timing are the plot's (and the
        // limit is named when a wave takes too long).
        if (std::isfinite(e->timeLimit)) timeLimit_ = e->timeLimit;
        if (recognizerState_ != e->state)
            say(Record::Recognizer, process, "wave recognizer: " + recognizerStateName(e->state),
                details);
        recognizerState_ = e->state;
    } else if (std::holds_alternative<ev::ScreenshotWritten>(event)) {
        // named and listed by the simulator, which moves the file (screenshots.h)
    } else if (!std::holds_alternative<ev::Bookkeeping>(event)) {
        screen(clipped(platform::describe(event)));
    }
}

void Narrator::log(const std::string& process, const std::string& line) {
    // The wave recognizer's own verdict on a wave that took too long: shown with or without
    // --log, in plain words.
    static const std::string elapsed = "isTimedOut - Time elapsed: ";
    const auto at = line.find(elapsed);
    if (at != std::string::npos && line.find("TIMED OUT", at) != std::string::npos) {
        const double seconds = std::strtod(line.c_str() + at + elapsed.size(), nullptr);
        // Six digits at most: the tweak's float 0.699999988 is the 0.7 s of the fast speed.
        char limit[48] = "";
        if (timeLimit_) std::snprintf(limit, sizeof limit, "%g s ", *timeLimit_);
        char buf[240];
        std::snprintf(buf, sizeof buf,
                      "wave too slow: %.2f s since the wave began, over the %stime limit of the "
                      "wave speed; counting starts again at the first wave",
                      seconds, limit);
        json details = {{"elapsed", std::isfinite(seconds) ? json(seconds) : json(nullptr)}};
        details["timeLimit"] = timeLimit_ ? json(*timeLimit_) : json(nullptr);
        say(Record::Timeout, process, buf, details);
    }
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
