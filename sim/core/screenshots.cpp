#include "screenshots.h"

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace sim {

using platform::Failure;

platform::Result<Screenshots> Screenshots::open(const std::string& dir) {
    std::error_code ec;
    const bool made = fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec))
        return Failure{dir + ": cannot make the screenshot folder" +
                       (ec ? ": " + ec.message() : std::string())};
    return Screenshots(dir, fs::absolute(dir, ec).lexically_normal().string(), made);
}

platform::Result<std::string> Screenshots::name(const std::string& process,
                                                const std::string& pending, double seconds) {
    const fs::path from = fs::path(pending).lexically_normal();
    const std::string file = from.filename().string();
    if (from.parent_path() != fs::path(absolute_) || file.rfind(kPendingScreenshotPrefix, 0) != 0 ||
        from.extension() != ".png")
        return Failure{pending + ": not a pending screenshot in " + absolute_};
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%08.3f", seconds < 0 ? 0.0 : seconds);
    std::string base = std::string(stamp) + "-" + process;
    std::string to = base + ".png";
    for (int n = 2; used_.count(to) != 0; ++n) to = base + "-" + std::to_string(n) + ".png";
    used_.insert(to);
    const fs::path target = fs::path(absolute_) / to;
    std::error_code ec;
    fs::rename(from, target, ec);
    if (ec) return Failure{target.string() + ": cannot name the screenshot: " + ec.message()};
    return (fs::path(dir_) / to).string();
}

void Screenshots::removeLeftovers() const {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(absolute_, ec)) {
        const std::string file = e.path().filename().string();
        if (file.rfind(kPendingScreenshotPrefix, 0) == 0 && e.path().extension() == ".png")
            fs::remove(e.path(), ec);
    }
}

void Screenshots::removeIfMade() const {
    std::error_code ec;
    if (made_ && fs::is_empty(absolute_, ec)) fs::remove(absolute_, ec);
}

}  // namespace sim
