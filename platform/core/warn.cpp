#include "platform/core/warn.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {

void warn(std::string_view who, std::string_view problem) {
    std::string line;
    line.reserve(who.size() + problem.size() + 3);
    line.append(who).append(": ").append(problem);
    if (line.empty() || line.back() != '\n') line += '\n';
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report a failed report
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace platform
