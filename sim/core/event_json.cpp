#include "event_json.h"

#include <nlohmann/json.hpp>

#include "recognizer.h"
#include "text.h"

namespace sim {

namespace ev = platform::events;
using json = Json;

namespace {

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

}  // namespace

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

}  // namespace sim
