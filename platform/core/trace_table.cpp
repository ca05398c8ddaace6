// The table of trace events and everything that walks it: the fields of each kind, an event's
// values and the event made back from them, and the line of text each reads as.
#include "platform/core/trace_table.h"

#include <cstdio>
#include <tuple>
#include <type_traits>
#include <utility>

namespace platform {

namespace {

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

// --- the table ---------------------------------------------------------------------------------

// An enum field's two words, for its values 0 and 1.
template <class T>
struct Words;
template <>
struct Words<events::Sensor> {
    static constexpr std::array<const char*, 2> of = {"accelerometer", "proximity"};
};
template <>
struct Words<events::AnswerControl> {
    static constexpr std::array<const char*, 2> of = {"button", "slide"};
};
template <>
struct Words<events::CallScreen> {
    static constexpr std::array<const char*, 2> of = {"incoming", "in-call"};
};

template <class E, class T>
struct Member {
    const char* name;
    T E::*field;
};
template <class E, class T>
constexpr Member<E, T> member(const char* name, T E::*field) {
    return {name, field};
}

// One kind of event: its name, its line of text and its fields.
template <class E, class... T>
struct Row {
    using Event = E;
    const char* name;
    std::string (*text)(const E&);
    std::tuple<Member<E, T>...> members;
};
template <class E, class... T>
constexpr Row<E, T...> row(const char* name, std::string (*text)(const E&), Member<E, T>... m) {
    return {name, text, {m...}};
}

std::string recognizerText(const events::RecognizerChanged& e) {
    std::string line = "wave recognizer state " + std::to_string(e.state) + ", time limit " +
                       number(e.timeLimit) + " s";
    char since[48];
    std::snprintf(since, sizeof since, "%.3f", e.timedSince);
    return line +
           (e.timedSince < 0 ? ", no wave timed" : std::string(", wave timed since ") + since);
}

std::string sensorText(const events::SensorSwitched& e) {
    if (e.sensor == events::Sensor::Accelerometer)
        return e.on ? "accelerometer on" : "accelerometer off";
    return e.on ? "proximity sensor armed" : "proximity sensor off";
}

std::string alertText(const events::AlertShown& e) {
    std::string buttons;
    for (const auto& b : e.buttons) buttons += (buttons.empty() ? "" : ", ") + b;
    return "alert shown: " + quoted(e.title) + " " + quoted(e.message) + " buttons [" + buttons +
           "]";
}

// Every kind, in the order of TraceEvent's alternatives.
const auto& table() {
    using namespace events;
    using S = std::string;
    static const auto rows = std::make_tuple(
        row<ViewAdded>(
            "ViewAdded", [](const ViewAdded& e) { return "view added: " + describe(e.view); },
            member("view", &ViewAdded::view)),
        row<ViewRemoved>(
            "ViewRemoved", [](const ViewRemoved& e) { return "view removed: " + describe(e.view); },
            member("view", &ViewRemoved::view)),
        row<ButtonTapped>(
            "ButtonTapped",
            [](const ButtonTapped& e) { return "button tapped: " + describe(e.button); },
            member("button", &ButtonTapped::button)),
        row<SwitchFlipped>(
            "SwitchFlipped",
            [](const SwitchFlipped& e) {
                return S("switch flipped ") + (e.on ? "on" : "off") + ": tag " +
                       std::to_string(e.tag) +
                       (e.label.empty() ? "" : " beside " + quoted(e.label));
            },
            member("tag", &SwitchFlipped::tag), member("on", &SwitchFlipped::on),
            member("label", &SwitchFlipped::label)),
        row<PickerTurned>(
            "PickerTurned",
            [](const PickerTurned& e) {
                return "picker column " + std::to_string(e.column) + " turned to " +
                       quoted(e.title);
            },
            member("column", &PickerTurned::column), member("title", &PickerTurned::title)),
        row<AlertShown>("AlertShown", alertText, member("title", &AlertShown::title),
                        member("message", &AlertShown::message),
                        member("buttons", &AlertShown::buttons)),
        row<AlertClosed>(
            "AlertClosed",
            [](const AlertClosed& e) { return "alert closed with " + quoted(e.button); },
            member("button", &AlertClosed::button)),
        row<URLOpened>(
            "URLOpened", [](const URLOpened& e) { return "openURL: " + e.url; },
            member("url", &URLOpened::url)),
        row<SensorSwitched>("SensorSwitched", sensorText, member("sensor", &SensorSwitched::sensor),
                            member("on", &SensorSwitched::on)),
        row<CallAnswered>(
            "CallAnswered",
            [](const CallAnswered& e) {
                return S("call answered by the answer bar (") +
                       Words<AnswerControl>::of[static_cast<size_t>(e.by)] + ")";
            },
            member("by", &CallAnswered::by)),
        row<SlideFinished>("SlideFinished",
                           [](const SlideFinished&) { return S("answer bar slide finished"); }),
        row<InCallButtonTapped>(
            "InCallButtonTapped",
            [](const InCallButtonTapped& e) {
                return "in-call button " + std::to_string(e.position) + " tapped";
            },
            member("position", &InCallButtonTapped::position)),
        row<SpeakerButtonTapped>(
            "SpeakerButtonTapped",
            [](const SpeakerButtonTapped& e) {
                return S("in-call speaker button tapped: speaker ") + (e.speakerOn ? "on" : "off");
            },
            member("speakerOn", &SpeakerButtonTapped::speakerOn)),
        row<CallScreenChanged>(
            "CallScreenChanged",
            [](const CallScreenChanged& e) {
                return S(e.screen == CallScreen::Incoming ? "incoming call screen"
                                                          : "in-call screen") +
                       (e.shown ? " shown" : " removed");
            },
            member("screen", &CallScreenChanged::screen),
            member("shown", &CallScreenChanged::shown)),
        row<LockScreenRotated>(
            "LockScreenRotated",
            [](const LockScreenRotated& e) {
                return "lock screen rotated to orientation " + std::to_string(e.orientation);
            },
            member("orientation", &LockScreenRotated::orientation)),
        row<TweakInjected>(
            "TweakInjected", [](const TweakInjected& e) { return "injected " + e.file; },
            member("file", &TweakInjected::file)),
        row<SettingsShown>(
            "SettingsShown",
            [](const SettingsShown& e) { return "settings shows " + e.controllerClass; },
            member("class", &SettingsShown::controllerClass)),
        row<PaneOpened>(
            "PaneOpened", [](const PaneOpened& e) { return "settings opened pane " + e.entry; },
            member("entry", &PaneOpened::entry)),
        row<RecognizerChanged>("RecognizerChanged", recognizerText,
                               member("state", &RecognizerChanged::state),
                               member("timeLimit", &RecognizerChanged::timeLimit),
                               member("timedSince", &RecognizerChanged::timedSince)),
        row<WaveTimedOut>(
            "WaveTimedOut",
            [](const WaveTimedOut& e) {
                return "wave timed out: " + number(e.elapsed) +
                       " s since it began, over its time limit of " + number(e.timeLimit) + " s";
            },
            member("elapsed", &WaveTimedOut::elapsed),
            member("timeLimit", &WaveTimedOut::timeLimit)),
        row<ScreenshotWritten>(
            "ScreenshotWritten", [](const ScreenshotWritten& e) { return "screenshot " + e.file; },
            member("file", &ScreenshotWritten::file)),
        row<Bookkeeping>(
            "Bookkeeping", [](const Bookkeeping& e) { return "platform: " + e.what; },
            member("what", &Bookkeeping::what)));
    return rows;
}

using Table = std::remove_cvref_t<decltype(table())>;

// The index of E among TraceEvent's alternatives.
template <class E, class... A>
constexpr size_t indexIn(const std::variant<A...>*) {
    constexpr bool same[] = {std::is_same_v<E, A>...};
    for (size_t i = 0; i < sizeof...(A); ++i)
        if (same[i]) return i;
    return sizeof...(A);
}
template <class E>
constexpr size_t kIndex = indexIn<E>(static_cast<const TraceEvent*>(nullptr));
constexpr size_t kKinds = std::variant_size_v<TraceEvent>;
static_assert(std::tuple_size_v<Table> == kKinds, "one row for every kind of event");

template <size_t... I>
constexpr bool rowsInVariantOrder(std::index_sequence<I...>) {
    return (std::is_same_v<typename std::tuple_element_t<I, Table>::Event,
                           std::variant_alternative_t<I, TraceEvent>> &&
            ...);
}
static_assert(rowsInVariantOrder(std::make_index_sequence<kKinds>()),
              "the rows are in the order of TraceEvent's alternatives");

// --- fields and values -------------------------------------------------------------------------

template <class T>
constexpr TraceFieldType fieldType() {
    if constexpr (std::is_same_v<T, bool>) return TraceFieldType::Bool;
    if constexpr (std::is_same_v<T, int32_t>) return TraceFieldType::Int32;
    if constexpr (std::is_same_v<T, int64_t>) return TraceFieldType::Int64;
    if constexpr (std::is_same_v<T, double>) return TraceFieldType::Double;
    if constexpr (std::is_same_v<T, std::string>) return TraceFieldType::Text;
    if constexpr (std::is_same_v<T, std::vector<std::string>>) return TraceFieldType::Texts;
    if constexpr (std::is_enum_v<T>) return TraceFieldType::Word;
}

// A view's own fields, flat.
constexpr auto kViewMembers = std::make_tuple(
    member("class", &TracedView::className), member("tag", &TracedView::tag),
    member("x", &TracedView::x), member("y", &TracedView::y), member("width", &TracedView::width),
    member("height", &TracedView::height), member("text", &TracedView::text));

template <class T>
void addField(std::vector<TraceField>& out, const char* name, const char* view = nullptr);

template <class E, class T>
void addMember(std::vector<TraceField>& out, const Member<E, T>& m, const char* view = nullptr) {
    addField<T>(out, m.name, view);
}

template <class T>
void addField(std::vector<TraceField>& out, const char* name, const char* view) {
    if constexpr (std::is_same_v<T, TracedView>) {
        std::apply([&](const auto&... m) { (addMember(out, m, name), ...); }, kViewMembers);
    } else if constexpr (std::is_enum_v<T>) {
        out.push_back({name, TraceFieldType::Word, view, Words<T>::of});
    } else {
        out.push_back({name, fieldType<T>(), view});
    }
}

template <class E, class... T>
TraceEventKind kindOf(const Row<E, T...>& r) {
    TraceEventKind kind{r.name, {}};
    std::apply([&](const auto&... m) { (addMember(kind.fields, m), ...); }, r.members);
    return kind;
}

template <class T>
void put(std::vector<TraceValue>& out, const T& v) {
    if constexpr (std::is_same_v<T, TracedView>) {
        std::apply([&](const auto&... m) { (put(out, v.*m.field), ...); }, kViewMembers);
    } else if constexpr (std::is_enum_v<T>) {
        out.emplace_back(std::string(Words<T>::of[static_cast<size_t>(v)]));
    } else {
        out.emplace_back(v);
    }
}

// Takes the next value into v; false when there is none or it is not what v holds.
template <class T>
bool take(const TraceValue*& at, const TraceValue* end, T& v) {
    if constexpr (std::is_same_v<T, TracedView>) {
        return std::apply([&](const auto&... m) { return (take(at, end, v.*m.field) && ...); },
                          kViewMembers);
    } else if constexpr (std::is_enum_v<T>) {
        std::string word;
        if (!take(at, end, word)) return false;
        for (size_t i = 0; i < 2; ++i)
            if (word == Words<T>::of[i]) v = static_cast<T>(i);
        return word == Words<T>::of[0] || word == Words<T>::of[1];
    } else {
        if (at == end || !std::holds_alternative<T>(*at)) return false;
        v = std::get<T>(*at++);
        return true;
    }
}

template <size_t I>
std::optional<TraceEvent> eventFrom(const TraceValue* values, size_t count) {
    const auto& r = std::get<I>(table());
    typename std::tuple_element_t<I, Table>::Event e{};
    const TraceValue* at = values;
    const bool ok = std::apply(
        [&](const auto&... m) { return (take(at, values + count, e.*m.field) && ...); }, r.members);
    if (!ok) return std::nullopt;
    return TraceEvent(std::in_place_index<I>, std::move(e));
}

template <size_t... I>
constexpr auto eventMakers(std::index_sequence<I...>) {
    return std::array<std::optional<TraceEvent> (*)(const TraceValue*, size_t), kKinds>{
        &eventFrom<I>...};
}

}  // namespace

const std::vector<TraceEventKind>& traceEventKinds() {
    static const std::vector<TraceEventKind> kinds = std::apply(
        [](const auto&... r) { return std::vector<TraceEventKind>{kindOf(r)...}; }, table());
    return kinds;
}

std::optional<size_t> traceEventKindNamed(std::string_view name) {
    const auto& kinds = traceEventKinds();
    for (size_t i = 0; i < kinds.size(); ++i)
        if (name == kinds[i].name) return i;
    return std::nullopt;
}

std::vector<TraceValue> traceValues(const TraceEvent& event) {
    std::vector<TraceValue> out;
    out.reserve(traceEventKinds()[event.index()].fields.size());
    std::visit(
        [&](const auto& e) {
            using E = std::remove_cvref_t<decltype(e)>;
            const auto& r = std::get<kIndex<E>>(table());
            std::apply([&](const auto&... m) { (put(out, e.*m.field), ...); }, r.members);
        },
        event);
    return out;
}

std::optional<TraceEvent> traceEventFrom(size_t kind, const TraceValue* values, size_t count) {
    static constexpr auto makers = eventMakers(std::make_index_sequence<kKinds>());
    if (kind >= kKinds) return std::nullopt;
    return makers[kind](values, count);
}

std::string describe(const TracedView& v) {
    std::string out = v.className + " tag " + std::to_string(v.tag) + " frame (" + number(v.x) +
                      "," + number(v.y) + "," + number(v.width) + "," + number(v.height) + ")";
    if (!v.text.empty()) out += " text " + quoted(v.text);
    return out;
}

std::string describe(const TraceEvent& event) {
    return std::visit(
        [](const auto& e) {
            using E = std::remove_cvref_t<decltype(e)>;
            return std::get<kIndex<E>>(table()).text(e);
        },
        event);
}

}  // namespace platform
