#include "protocol/trace.h"

#include <iterator>
#include <utility>

#include "platform/core/trace_table.h"
#include "protocol/interfaces.h"

namespace protocol {

using platform::BusArg;
using platform::BusSignal;
using platform::TraceEvent;

namespace {

// The characters an argument adds to a signal's D-Bus signature.
size_t signatureLength(const BusArg& a) {
    return std::holds_alternative<std::vector<std::string>>(a) ? 2 : 1;
}

// The signature of a D-Bus message is at most 255 characters.
constexpr size_t kMaxSignature = 255;

const char* dbusType(platform::TraceFieldType t) {
    using T = platform::TraceFieldType;
    switch (t) {
        case T::Bool:
            return "b";
        case T::Int32:
            return "i";
        case T::Int64:
            return "x";
        case T::Double:
            return "d";
        case T::Texts:
            return "as";
        case T::Text:
        case T::Word:
            return "s";
    }
    return "s";
}

// The event of the kind named `member` from the arguments at `at` on, moving past them.
std::optional<TraceEvent> decodeEvent(const BusSignal& s, const std::string& member, size_t& at) {
    const std::optional<size_t> kind = platform::traceEventKindNamed(member);
    if (!kind) return std::nullopt;
    const size_t count = platform::traceEventKinds()[*kind].fields.size();
    if (at + count > s.args.size()) return std::nullopt;
    std::optional<TraceEvent> e = platform::traceEventFrom(*kind, s.args.data() + at, count);
    if (e) at += count;
    return e;
}

}  // namespace

BusSignal traceSignal(const std::string& process, const TraceEvent& event) {
    BusSignal s{trace::kName, platform::traceEventKinds()[event.index()].name, {process}, {}};
    for (platform::TraceValue& v : platform::traceValues(event)) s.args.push_back(std::move(v));
    return s;
}

std::vector<BusSignal> traceSignals(const std::string& process,
                                    const std::vector<TraceEvent>& events) {
    std::vector<BusSignal> out;
    std::vector<size_t> counts;  // events in each signal of out
    size_t signature = 0;
    for (const TraceEvent& event : events) {
        std::vector<platform::TraceValue> values = platform::traceValues(event);
        size_t length = 1;  // the member's name
        for (const BusArg& v : values) length += signatureLength(v);
        if (out.empty() || signature + length > kMaxSignature) {
            out.push_back(BusSignal{trace::kName, trace::Events::kMember, {process}, {}});
            counts.push_back(0);
            signature = 1;
        }
        std::vector<BusArg>& args = out.back().args;
        args.emplace_back(std::string(platform::traceEventKinds()[event.index()].name));
        std::move(values.begin(), values.end(), std::back_inserter(args));
        signature += length;
        ++counts.back();
    }
    // A lone event travels as its own signal.
    for (size_t i = 0; i < out.size(); ++i) {
        if (counts[i] != 1) continue;
        BusSignal& lone = out[i];
        lone.member = std::move(std::get<std::string>(lone.args[1]));
        lone.args.erase(lone.args.begin() + 1);
    }
    return out;
}

std::optional<TraceEvent> traceEventOf(const BusSignal& s) {
    if (s.interface != trace::kName || s.text(0) == nullptr) return std::nullopt;
    size_t at = 1;
    return decodeEvent(s, s.member, at);
}

std::vector<TraceEvent> traceEventsOf(const BusSignal& s) {
    if (s.interface != trace::kName || s.text(0) == nullptr) return {};
    if (s.member != trace::Events::kMember) {
        std::optional<TraceEvent> e = traceEventOf(s);
        return e ? std::vector<TraceEvent>{*e} : std::vector<TraceEvent>{};
    }
    std::vector<TraceEvent> out;
    for (size_t at = 1; at < s.args.size();) {
        const std::string* member = s.text(at++);
        std::optional<TraceEvent> e;
        if (member != nullptr) e = decodeEvent(s, *member, at);
        if (!e) return {};  // one malformed event makes the whole signal untrustworthy
        out.push_back(std::move(*e));
    }
    return out;
}

const platform::InterfaceDescription& traceInterface() {
    static const platform::InterfaceDescription described = [] {
        platform::InterfaceDescription d = trace::description();
        for (const platform::TraceEventKind& kind : platform::traceEventKinds()) {
            platform::SignalDescription signal{kind.name, {{"process", "s"}}};
            for (const platform::TraceField& f : kind.fields)
                signal.args.push_back({f.name, dbusType(f.type)});
            d.signals.push_back(std::move(signal));
        }
        return d;
    }();
    return described;
}

std::string introspectionXml(const platform::SignalDescription& signal) {
    if (signal.args.empty()) return "    <signal name=\"" + signal.member + "\"/>\n";
    std::string xml = "    <signal name=\"" + signal.member + "\">\n";
    for (const platform::SignalArgument& a : signal.args)
        xml += "      <arg name=\"" + a.name + "\" type=\"" + a.type + "\"/>\n";
    return xml + "    </signal>\n";
}

}  // namespace protocol
