// The table of trace events: each kind's name and fields, in one place (trace_table.cpp), with the
// one line of text it reads as (describe()). Whatever writes or reads events walks it rather
// than naming fields itself: the signals that carry events between processes, their interface
// description, the simulator's JSON.
//
// A view's fields are listed flat (class, tag, x, y, width, height, text), each marked with the
// name of the view it belongs to ("view", "button"); an enum travels as one of its two words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/core/trace.h"

namespace platform {

// One field's value. A Word field's value is its word.
using TraceValue =
    std::variant<bool, int32_t, int64_t, double, std::string, std::vector<std::string>>;

enum class TraceFieldType { Bool, Int32, Int64, Double, Text, Texts, Word };

struct TraceField {
    const char* name;
    TraceFieldType type;
    const char* view = nullptr;             // the view this field is part of, if any
    std::array<const char*, 2> words = {};  // a Word's spellings, of its enum's 0 and 1
};

struct TraceEventKind {
    const char* name;  // "ViewAdded"
    std::vector<TraceField> fields;
};

// Every kind, in the order of TraceEvent's alternatives: the kind of an event is
// traceEventKinds()[event.index()].
const std::vector<TraceEventKind>& traceEventKinds();
// The index of the kind with this name, if there is one.
std::optional<size_t> traceEventKindNamed(std::string_view name);
// The event's values, one per field of its kind, in order.
std::vector<TraceValue> traceValues(const TraceEvent& event);
// The event of that kind made of count values from `values`: nullopt when there are fewer, one
// is not of its field's type, or a word is not one of its field's two.
std::optional<TraceEvent> traceEventFrom(size_t kind, const TraceValue* values, size_t count);

}  // namespace platform
