// Warnings for the person running a program: "who: problem" on standard error, one line, one
// write(2), so lines of several processes sharing a terminal never interleave mid-line.
// Not the system log (log.h), which is the tweak's own and silent by default.
#pragma once

#include <string_view>

namespace platform {

void warn(std::string_view who, std::string_view problem);

}  // namespace platform
