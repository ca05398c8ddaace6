#include "event_json.h"

#include <nlohmann/json.hpp>

#include "platform/core/trace_table.h"
#include "recognizer.h"
#include "text.h"

namespace sim {

using json = Json;

namespace {

// A field's value as JSON: texts cut to kMaxText, numbers and words as they are.
json valueJson(const platform::TraceValue& v) {
    if (const auto* text = std::get_if<std::string>(&v)) return clipped(*text);
    if (const auto* texts = std::get_if<std::vector<std::string>>(&v)) {
        json list = json::array();
        for (const std::string& t : *texts) list.push_back(clipped(t));
        return list;
    }
    return std::visit([](const auto& n) { return json(n); }, v);
}

}  // namespace

// Walked from the table of trace events: the kind's name, then each field by its name, a view's
// fields together under the view's name. The recognizer's state is followed by its name.
json eventJson(const platform::TraceEvent& event) {
    const platform::TraceEventKind& kind = platform::traceEventKinds()[event.index()];
    const std::vector<platform::TraceValue> values = platform::traceValues(event);
    json out = {{"event", kind.name}};
    for (size_t i = 0; i < kind.fields.size(); ++i) {
        const platform::TraceField& f = kind.fields[i];
        json& into = f.view != nullptr ? out[f.view] : out;
        into[f.name] = valueJson(values[i]);
        if (auto* r = std::get_if<platform::events::RecognizerChanged>(&event);
            r != nullptr && std::string_view(f.name) == "state")
            out["name"] = recognizerStateName(r->state);
    }
    return out;
}

}  // namespace sim
