#include "sysfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace phoned::sysfs {

using platform::Failure;
using platform::Result;

namespace {

std::string trimmed(std::string text) {
    const char* blanks = " \t\r\n";
    text.erase(0, text.find_first_not_of(blanks));
    text.erase(text.find_last_not_of(blanks) + 1);
    return text;
}

// KEY=VALUE lines; with a prefix ("E:"), only the lines that carry it.
void addProperties(const std::string& text, const std::string& prefix,
                   std::map<std::string, std::string>& into) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        line.erase(0, prefix.size());
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        into.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
}

}  // namespace

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

Result<std::string> readText(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Failure{path + ": cannot open: " + std::strerror(errno)};
    char buf[kMaxAttribute];
    size_t size = 0;
    ssize_t n = 0;
    while (size < sizeof buf && (n = ::read(fd, buf + size, sizeof buf - size)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return Failure{path + ": cannot read: " + std::strerror(error)};
        }
        size += static_cast<size_t>(n);
    }
    ::close(fd);
    return std::string(buf, size);
}

Result<double> readNumber(const std::string& path) {
    auto text = readText(path);
    if (!text) return Failure{text.error()};
    const char* begin = text->c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    while (end != nullptr && (*end == ' ' || *end == '\n' || *end == '\t')) ++end;
    if (end == begin || end == nullptr || *end != '\0' || errno == ERANGE)
        return Failure{path + ": not a number: '" + trimmed(*text) + "'"};
    return value;
}

std::map<std::string, std::string> udevProperties(const std::string& dir,
                                                  const std::string& dataDir) {
    std::map<std::string, std::string> props;
    if (auto uevent = readText(dir + "/uevent")) addProperties(*uevent, "", props);
    std::string id;
    if (auto number = readText(dir + "/dev"); number && !trimmed(*number).empty()) {
        id = "c" + trimmed(*number);
    } else {
        std::error_code ec;
        const auto subsystem = std::filesystem::read_symlink(dir + "/subsystem", ec);
        const auto device = std::filesystem::canonical(dir, ec);
        if (!subsystem.empty() && !ec)
            id = "+" + subsystem.filename().string() + ":" + device.filename().string();
    }
    if (!id.empty())
        if (auto db = readText(dataDir + "/" + id)) addProperties(*db, "E:", props);
    return props;
}

}  // namespace phoned::sysfs
