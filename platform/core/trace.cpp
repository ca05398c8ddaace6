#include "platform/core/trace.h"

#include <cstdio>

namespace platform {

namespace {

TraceSink& lineSink() {
    static auto* s = new TraceSink();
    return *s;
}
TraceEventSink& eventSink() {
    static auto* s = new TraceEventSink();
    return *s;
}

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang before 17, the fuzz build's).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::string describe(const TracedView& v) {
    std::string out = v.className + " tag " + std::to_string(v.tag) + " frame (" + number(v.x) +
                      "," + number(v.y) + "," + number(v.width) + "," + number(v.height) + ")";
    if (!v.text.empty()) out += " text " + quoted(v.text);
    return out;
}

std::string describe(const TraceEvent& event) {
    using namespace events;
    return std::visit(
        Overloaded{
            [](const ViewAdded& e) { return "view added: " + describe(e.view); },
            [](const ViewRemoved& e) { return "view removed: " + describe(e.view); },
            [](const ButtonTapped& e) { return "button tapped: " + describe(e.button); },
            [](const SwitchFlipped& e) {
                return std::string("switch flipped ") + (e.on ? "on" : "off") + ": tag " +
                       std::to_string(e.tag) +
                       (e.label.empty() ? "" : " beside " + quoted(e.label));
            },
            [](const PickerTurned& e) {
                return "picker column " + std::to_string(e.column) + " turned to " +
                       quoted(e.title);
            },
            [](const AlertShown& e) {
                std::string buttons;
                for (const auto& b : e.buttons) buttons += (buttons.empty() ? "" : ", ") + b;
                return "alert shown: " + quoted(e.title) + " " + quoted(e.message) + " buttons [" +
                       buttons + "]";
            },
            [](const AlertClosed& e) { return "alert closed with " + quoted(e.button); },
            [](const URLOpened& e) { return "openURL: " + e.url; },
            [](const SensorSwitched& e) {
                if (e.sensor == Sensor::Accelerometer)
                    return std::string(e.on ? "accelerometer on" : "accelerometer off");
                return std::string(e.on ? "proximity sensor armed" : "proximity sensor off");
            },
            [](const CallAnswered& e) {
                return std::string("call answered by the answer bar (") +
                       (e.by == AnswerControl::Button ? "button" : "slide") + ")";
            },
            [](const SlideFinished&) { return std::string("answer bar slide finished"); },
            [](const InCallButtonTapped& e) {
                return "in-call button " + std::to_string(e.position) + " tapped";
            },
            [](const SpeakerButtonTapped& e) {
                return std::string("in-call speaker button tapped: speaker ") +
                       (e.speakerOn ? "on" : "off");
            },
            [](const CallScreenChanged& e) {
                return std::string(e.screen == CallScreen::Incoming ? "incoming call screen"
                                                                    : "in-call screen") +
                       (e.shown ? " shown" : " removed");
            },
            [](const LockScreenRotated& e) {
                return "lock screen rotated to orientation " + std::to_string(e.orientation);
            },
            [](const TweakInjected& e) { return "injected " + e.file; },
            [](const SettingsShown& e) { return "settings shows " + e.controllerClass; },
            [](const PaneOpened& e) { return "settings opened pane " + e.entry; },
            [](const RecognizerChanged& e) {
                std::string line = "wave recognizer state " + std::to_string(e.state) +
                                   ", time limit " + number(e.timeLimit) + " s";
                char since[48];
                std::snprintf(since, sizeof since, "%.3f", e.timedSince);
                return line + (e.timedSince < 0 ? ", no wave timed"
                                                : std::string(", wave timed since ") + since);
            },
            [](const ScreenshotWritten& e) { return "screenshot " + e.file; },
            [](const Bookkeeping& e) { return "platform: " + e.what; },
        },
        event);
}

void setTraceSink(TraceSink s) { lineSink() = std::move(s); }
void setTraceEventSink(TraceEventSink s) { eventSink() = std::move(s); }
bool tracing() { return lineSink() || eventSink(); }

void trace(const TraceEvent& event) {
    if (eventSink()) eventSink()(event);
    if (lineSink()) lineSink()(describe(event));
}

}  // namespace platform
