// Text that came from the bus, where any process can say anything, made safe to keep and to
// show: cut to kMaxText bytes when it arrives, and written for a terminal with its control
// characters and broken UTF-8 as visible escapes.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

inline constexpr size_t kMaxText = 1024;

// The text cut to kMaxText bytes (at a character boundary), marked with "..." when cut.
std::string clipped(const std::string& text);
// The text as a terminal may show it: control characters, escape sequences and bytes that are
// not UTF-8 become visible escapes ("\x1b", "\u009b").
std::string printable(const std::string& text);

}  // namespace sim
