// What a person would see, and what the platform did, as typed events: views added and
// removed, buttons pressed, switches flipped, pickers turned, alerts, sensors switched, the
// call answered, the call screens, hooks installed; and what a host saw of its process from
// outside: the state of a tweak's wave recognizer, a wave it timed out, pictures of its screen
// written. Hosts forward them to the simulator as signals; tests read them, typed or as one line
// of text each. Every event's name, fields and text are one row of one table (trace_table.h),
// which everything that writes or reads events walks. Nothing is built while no sink is set:
// call sites test tracing() first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// A view as a person sees it: its class, tag, frame in its parent, and what it shows.
struct TracedView {
    std::string className;
    int64_t tag = 0;
    double x = 0, y = 0, width = 0, height = 0;
    std::string text;  // a label's text or a button's title; empty when it shows none
};

namespace events {

struct ViewAdded {
    TracedView view;
};
struct ViewRemoved {
    TracedView view;
};
struct ButtonTapped {
    TracedView button;
};
struct SwitchFlipped {
    int64_t tag = 0;
    bool on = false;
    std::string label;  // the text of the label beside it, as a person reads the row; or ""
};
struct PickerTurned {
    int64_t column = 0;
    std::string title;  // of the row it now shows
};
struct AlertShown {
    std::string title;
    std::string message;
    std::vector<std::string> buttons;
};
struct AlertClosed {
    std::string button;  // title of the button that closed it
};
struct URLOpened {
    std::string url;
};
enum class Sensor { Accelerometer, Proximity };
struct SensorSwitched {
    Sensor sensor = Sensor::Accelerometer;
    bool on = false;
};
enum class AnswerControl { Button, Slide };
struct CallAnswered {  // by the answer bar
    AnswerControl by = AnswerControl::Button;
};
struct SlideFinished {};  // the answer bar's slide
struct InCallButtonTapped {
    int32_t position = 0;  // not the speaker's
};
struct SpeakerButtonTapped {
    bool speakerOn = false;  // the route the tap asks for
};
enum class CallScreen { Incoming, InCall };
struct CallScreenChanged {
    CallScreen screen = CallScreen::Incoming;
    bool shown = false;
};
struct LockScreenRotated {
    int64_t orientation = 0;
};
struct TweakInjected {
    std::string file;
};
struct SettingsShown {
    std::string controllerClass;
};
struct PaneOpened {
    std::string entry;
};
// A tweak's wave recognizer as its host read it after a pass of the run loop, sent when any
// field changed: its state (the call monitor's flag), the time limit of one wave in seconds,
// and the phone time its running wave is timed from (negative: no wave is being timed).
struct RecognizerChanged {
    int32_t state = 0;
    double timeLimit = 0;
    double timedSince = -1;
};
// A tweak's wave recognizer gave up on a wave that took too long and waits for the first wave
// again, as its host saw it: the seconds since the wave began, as the recognizer measured them
// (a float, to the microsecond), and the time limit of one wave it held then.
struct WaveTimedOut {
    double elapsed = 0;
    double timeLimit = 0;
};
// A picture of what the process's screen shows was written to this file (PNG).
struct ScreenshotWritten {
    std::string file;
};
// The platform's own bookkeeping (methods added, hooks installed, observers added, files
// read): for tests; hosts keep it to themselves.
struct Bookkeeping {
    std::string what;
};

}  // namespace events

using TraceEvent = std::variant<
    events::ViewAdded, events::ViewRemoved, events::ButtonTapped, events::SwitchFlipped,
    events::PickerTurned, events::AlertShown, events::AlertClosed, events::URLOpened,
    events::SensorSwitched, events::CallAnswered, events::SlideFinished, events::InCallButtonTapped,
    events::SpeakerButtonTapped, events::CallScreenChanged, events::LockScreenRotated,
    events::TweakInjected, events::SettingsShown, events::PaneOpened, events::RecognizerChanged,
    events::WaveTimedOut, events::ScreenshotWritten, events::Bookkeeping>;

// The event as one line of text, e.g. "view added: UILabel tag 103 frame (0,0,320,20) text
// \"Wave twice to answer\"" or "proximity sensor armed".
std::string describe(const TraceEvent& event);
// "UILabel tag 103 frame (0,0,320,20) text \"...\"": the part of a line that names a view.
std::string describe(const TracedView& view);

using TraceSink = std::function<void(const std::string&)>;
using TraceEventSink = std::function<void(const TraceEvent&)>;
// Each event as a line of text (describe()).
void setTraceSink(TraceSink sink);
// Each event as it is.
void setTraceEventSink(TraceEventSink sink);
bool tracing();
void trace(const TraceEvent& event);

}  // namespace platform
