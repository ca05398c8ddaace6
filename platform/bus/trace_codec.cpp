// Trace events as signals (bus.h): each event as a signal of its own named after it, or several
// of one process in one Events signal.
#include <iterator>
#include <optional>
#include <utility>

#include "platform/bus/bus.h"

namespace platform {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang before 17, the fuzz build's).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::vector<BusArg> viewArgs(const TracedView& v) {
    return {v.className, v.tag, v.x, v.y, v.width, v.height, v.text};
}

// Reads the arguments from index `at` on (0 is the process), each of the type asked for.
class ArgReader {
  public:
    ArgReader(const BusSignal& s, size_t at) : s_(s), i_(at) {}
    template <class T>
    T next() {
        const T* v = s_.arg<T>(i_++);
        if (v == nullptr) {
            ok_ = false;
            return T{};
        }
        return *v;
    }
    TracedView view() {
        TracedView v;
        v.className = next<std::string>();
        v.tag = next<int64_t>();
        v.x = next<double>();
        v.y = next<double>();
        v.width = next<double>();
        v.height = next<double>();
        v.text = next<std::string>();
        return v;
    }
    // One of two words: true for the first.
    bool either(const char* first, const char* second) {
        const std::string w = next<std::string>();
        if (w != first && w != second) ok_ = false;
        return w == first;
    }
    bool ok() const { return ok_ && s_.text(0) != nullptr; }
    size_t position() const { return i_; }

  private:
    const BusSignal& s_;
    size_t i_;
    bool ok_ = true;
};

// The characters an argument adds to a signal's D-Bus signature.
size_t signatureLength(const BusArg& a) {
    return std::holds_alternative<std::vector<std::string>>(a) ? 2 : 1;
}

// The signature of a D-Bus message is at most 255 characters.
constexpr size_t kMaxSignature = 255;

std::optional<TraceEvent> decodeEvent(const BusSignal& s, const std::string& m, size_t& at);

}  // namespace

BusSignal traceSignal(const std::string& process, const TraceEvent& event) {
    using namespace events;
    auto [member, args] = std::visit(
        Overloaded{
            [](const ViewAdded& e) {
                return std::pair{"ViewAdded", viewArgs(e.view)};
            },
            [](const ViewRemoved& e) {
                return std::pair{"ViewRemoved", viewArgs(e.view)};
            },
            [](const ButtonTapped& e) {
                return std::pair{"ButtonTapped", viewArgs(e.button)};
            },
            [](const SwitchFlipped& e) {
                return std::pair{"SwitchFlipped", std::vector<BusArg>{e.tag, e.on, e.label}};
            },
            [](const PickerTurned& e) {
                return std::pair{"PickerTurned", std::vector<BusArg>{e.column, e.title}};
            },
            [](const AlertShown& e) {
                return std::pair{"AlertShown", std::vector<BusArg>{e.title, e.message, e.buttons}};
            },
            [](const AlertClosed& e) {
                return std::pair{"AlertClosed", std::vector<BusArg>{e.button}};
            },
            [](const URLOpened& e) {
                return std::pair{"URLOpened", std::vector<BusArg>{e.url}};
            },
            [](const SensorSwitched& e) {
                return std::pair{"SensorSwitched",
                                 std::vector<BusArg>{
                                     std::string(e.sensor == Sensor::Accelerometer ? "accelerometer"
                                                                                   : "proximity"),
                                     e.on}};
            },
            [](const CallAnswered& e) {
                return std::pair{"CallAnswered",
                                 std::vector<BusArg>{std::string(
                                     e.by == AnswerControl::Button ? "button" : "slide")}};
            },
            [](const SlideFinished&) {
                return std::pair{"SlideFinished", std::vector<BusArg>{}};
            },
            [](const InCallButtonTapped& e) {
                return std::pair{"InCallButtonTapped", std::vector<BusArg>{e.position}};
            },
            [](const SpeakerButtonTapped& e) {
                return std::pair{"SpeakerButtonTapped", std::vector<BusArg>{e.speakerOn}};
            },
            [](const CallScreenChanged& e) {
                return std::pair{
                    "CallScreenChanged",
                    std::vector<BusArg>{
                        std::string(e.screen == CallScreen::Incoming ? "incoming" : "in-call"),
                        e.shown}};
            },
            [](const LockScreenRotated& e) {
                return std::pair{"LockScreenRotated", std::vector<BusArg>{e.orientation}};
            },
            [](const TweakInjected& e) {
                return std::pair{"TweakInjected", std::vector<BusArg>{e.file}};
            },
            [](const SettingsShown& e) {
                return std::pair{"SettingsShown", std::vector<BusArg>{e.controllerClass}};
            },
            [](const PaneOpened& e) {
                return std::pair{"PaneOpened", std::vector<BusArg>{e.entry}};
            },
            [](const RecognizerChanged& e) {
                return std::pair{"RecognizerChanged",
                                 std::vector<BusArg>{e.state, e.timeLimit, e.timedSince}};
            },
            [](const ScreenshotWritten& e) {
                return std::pair{"ScreenshotWritten", std::vector<BusArg>{e.file}};
            },
            [](const Bookkeeping& e) {
                return std::pair{"Bookkeeping", std::vector<BusArg>{e.what}};
            },
        },
        event);
    args.insert(args.begin(), process);
    return BusSignal{busnames::kTrace, member, std::move(args), {}};
}

std::vector<BusSignal> traceSignals(const std::string& process,
                                    const std::vector<TraceEvent>& events) {
    std::vector<BusSignal> out;
    std::vector<size_t> counts;  // events in each signal of out
    size_t signature = 0;
    for (const TraceEvent& event : events) {
        BusSignal one = traceSignal(process, event);
        size_t length = 1;  // the member's name
        for (size_t i = 1; i < one.args.size(); ++i) length += signatureLength(one.args[i]);
        if (out.empty() || signature + length > kMaxSignature) {
            out.push_back(BusSignal{busnames::kTrace, busnames::kEvents, {process}, {}});
            counts.push_back(0);
            signature = 1;
        }
        BusSignal& batch = out.back();
        batch.args.emplace_back(std::move(one.member));
        std::move(one.args.begin() + 1, one.args.end(), std::back_inserter(batch.args));
        signature += length;
        ++counts.back();
    }
    // A lone event travels as its own signal.
    for (size_t i = 0; i < out.size(); ++i) {
        if (counts[i] != 1) continue;
        BusSignal& lone = out[i];
        lone.member = std::get<std::string>(lone.args[1]);
        lone.args.erase(lone.args.begin() + 1);
    }
    return out;
}

std::optional<TraceEvent> traceEventOf(const BusSignal& s) {
    if (s.interface != busnames::kTrace) return std::nullopt;
    size_t at = 1;
    return decodeEvent(s, s.member, at);
}

std::vector<TraceEvent> traceEventsOf(const BusSignal& s) {
    if (s.interface != busnames::kTrace) return {};
    if (s.member != busnames::kEvents) {
        std::optional<TraceEvent> e = traceEventOf(s);
        return e ? std::vector<TraceEvent>{*e} : std::vector<TraceEvent>{};
    }
    std::vector<TraceEvent> out;
    for (size_t at = 1; at < s.args.size();) {
        const std::string* member = s.text(at++);
        std::optional<TraceEvent> e;
        if (member != nullptr && *member != busnames::kEvents) e = decodeEvent(s, *member, at);
        if (!e) return {};  // one malformed event makes the whole signal untrustworthy
        out.push_back(std::move(*e));
    }
    return out;
}

namespace {

std::optional<TraceEvent> decodeEvent(const BusSignal& s, const std::string& m, size_t& at) {
    using namespace events;
    ArgReader in(s, at);
    std::optional<TraceEvent> e;
    if (m == "ViewAdded") {
        e = ViewAdded{in.view()};
    } else if (m == "ViewRemoved") {
        e = ViewRemoved{in.view()};
    } else if (m == "ButtonTapped") {
        e = ButtonTapped{in.view()};
    } else if (m == "SwitchFlipped") {
        const int64_t tag = in.next<int64_t>();
        const bool on = in.next<bool>();
        e = SwitchFlipped{tag, on, in.next<std::string>()};
    } else if (m == "PickerTurned") {
        const int64_t column = in.next<int64_t>();
        e = PickerTurned{column, in.next<std::string>()};
    } else if (m == "AlertShown") {
        std::string title = in.next<std::string>();
        std::string message = in.next<std::string>();
        e = AlertShown{title, message, in.next<std::vector<std::string>>()};
    } else if (m == "AlertClosed") {
        e = AlertClosed{in.next<std::string>()};
    } else if (m == "URLOpened") {
        e = URLOpened{in.next<std::string>()};
    } else if (m == "SensorSwitched") {
        const bool accelerometer = in.either("accelerometer", "proximity");
        e = SensorSwitched{accelerometer ? Sensor::Accelerometer : Sensor::Proximity,
                           in.next<bool>()};
    } else if (m == "CallAnswered") {
        e = CallAnswered{in.either("button", "slide") ? AnswerControl::Button
                                                      : AnswerControl::Slide};
    } else if (m == "SlideFinished") {
        e = SlideFinished{};
    } else if (m == "InCallButtonTapped") {
        e = InCallButtonTapped{in.next<int32_t>()};
    } else if (m == "SpeakerButtonTapped") {
        e = SpeakerButtonTapped{in.next<bool>()};
    } else if (m == "CallScreenChanged") {
        const bool incoming = in.either("incoming", "in-call");
        e = CallScreenChanged{incoming ? CallScreen::Incoming : CallScreen::InCall,
                              in.next<bool>()};
    } else if (m == "LockScreenRotated") {
        e = LockScreenRotated{in.next<int64_t>()};
    } else if (m == "TweakInjected") {
        e = TweakInjected{in.next<std::string>()};
    } else if (m == "SettingsShown") {
        e = SettingsShown{in.next<std::string>()};
    } else if (m == "PaneOpened") {
        e = PaneOpened{in.next<std::string>()};
    } else if (m == "RecognizerChanged") {
        const int32_t state = in.next<int32_t>();
        const double limit = in.next<double>();
        e = RecognizerChanged{state, limit, in.next<double>()};
    } else if (m == "ScreenshotWritten") {
        e = ScreenshotWritten{in.next<std::string>()};
    } else if (m == "Bookkeeping") {
        e = Bookkeeping{in.next<std::string>()};
    }
    if (!e || !in.ok()) return std::nullopt;
    at = in.position();
    return e;
}

}  // namespace

}  // namespace platform
