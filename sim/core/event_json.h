// A host's trace event as the JSON the simulator writes (docs/json.md): its name as on the bus
// and its fields, texts cut to kMaxText.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "platform/core/trace.h"

namespace sim {

// Members keep the order they are written in, so "type" comes first.
using Json = nlohmann::ordered_json;

Json eventJson(const platform::TraceEvent& event);

}  // namespace sim
