#include "platform/files/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/core/process_state.h"
#include "platform/files/device_root.h"
#include "platform/files/testing.h"

namespace platform::files {

namespace {

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;
constexpr std::string_view kTemporaryInfix = ".tmp-";
constexpr size_t kTemporarySuffixLength = 6;

}  // namespace

// Whether to resolve beneath the root with openat2 (the testing seam can say no).
bool g_useOpenat2 = true;

namespace {

// Where the host would have been led, out of `root`, by following the links of `hostPath` as it
// follows them: the deepest part of the path the host reaches, when that lies outside the root.
// Asked only after a lookup beneath the root failed, to say why it did.
std::optional<std::string> leadsOutside(const std::string& root, const std::string& hostPath) {
    namespace fs = std::filesystem;
    char real[PATH_MAX];
    if (::realpath(root.c_str(), real) == nullptr) return std::nullopt;
    const std::string inside = real;
    std::string top = fs::path(root).lexically_normal().string();
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    for (fs::path p = fs::path(hostPath).lexically_normal();; p = p.parent_path()) {
        const std::string at = p.string();
        if (at.size() <= top.size() || at.compare(0, top.size() + 1, top + "/") != 0)
            return std::nullopt;  // back at the root: nothing on the way led out
        if (::realpath(at.c_str(), real) != nullptr) {
            const std::string reached = real;
            if (reached == inside || reached.rfind(inside + "/", 0) == 0) return std::nullopt;
            return reached;
        }
    }
}

// The refusal of a path beneath `root`: a link that leads outside is named as such (a lookup
// beneath the root finds nothing there, which the system reason would only call missing).
Failure failureBeneath(const std::string& root, const std::string& path, int error) {
    if (error == ENOENT || error == ENOTDIR || error == EXDEV) {
        if (auto outside = leadsOutside(root, path))
            return Failure{path + ": refused: a link leads outside the device root (to " +
                           *outside + ")"};
    }
    return Failure{path + ": " + std::strerror(error)};
}

Failure failure(const std::string& path, int error) {
    if (device::relativeToRoot(path)) return failureBeneath(device::root(), path, error);
    return Failure{path + ": " + std::strerror(error)};
}

std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) out.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

// Resolution beneath rootFd, one component at a time: every component is opened relative to
// the folder before it without following links; a link's target is read and its components
// are put in front of the remaining ones (from the root when the target is absolute). Mirrors
// RESOLVE_IN_ROOT, so both ways give the same answers.
int openByComponents(int rootFd, std::string_view relative, int flags, mode_t mode) {
    std::vector<Descriptor> chain;  // folders walked below the root; ".." pops one
    const auto current = [&] { return chain.empty() ? rootFd : chain.back().get(); };
    std::deque<std::string> todo;
    for (auto& c : components(relative)) todo.push_back(std::move(c));
    int links = 0;
    while (!todo.empty()) {
        const std::string name = std::move(todo.front());
        todo.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            if (!chain.empty()) chain.pop_back();
            continue;
        }
        const bool last = todo.empty();
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(current(), name.c_str(), target, sizeof target);
        if (n >= 0 && !(last && (flags & O_NOFOLLOW))) {
            if (++links > kMaxLinks) {
                errno = ELOOP;
                return -1;
            }
            if (static_cast<size_t>(n) == sizeof target) {
                errno = ENAMETOOLONG;
                return -1;
            }
            const std::string_view link(target, static_cast<size_t>(n));
            if (!link.empty() && link.front() == '/') chain.clear();
            auto parts = components(link);
            todo.insert(todo.begin(), parts.begin(), parts.end());
            continue;
        }
        if (n < 0 && errno != EINVAL && errno != ENOENT) return -1;
        if (last) return ::openat(current(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        // A component replaced by a link since readlinkat is refused here, not followed.
        const int fd =
            ::openat(current(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return -1;
        chain.emplace_back(fd);
    }
    // The path named the root itself or ended in "." or "..".
    return ::openat(current(), ".", (flags & ~O_NOFOLLOW) | O_CLOEXEC, mode);
}

int openBeneath(int rootFd, const std::string& relative, int flags, mode_t mode = 0) {
#ifdef SYS_openat2
    if (g_useOpenat2) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = mode;
        how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
        const std::string path = relative.empty() ? "." : relative;
        for (int attempt = 0; attempt < 8; ++attempt) {
            const long fd = ::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
            if (fd >= 0) return static_cast<int>(fd);
            // EAGAIN: a rename raced with a ".." step; the kernel asks for another try.
            if (errno == EAGAIN) continue;
            // ENOSYS: an older kernel; EPERM: a sandbox that filters the call.
            if (errno != ENOSYS && errno != EPERM && errno != E2BIG) return -1;
            break;
        }
    }
#endif
    return openByComponents(rootFd, relative, flags, mode);
}

// Opens hostPath with flags, beneath the device root when it lies inside it.
int openResolved(const std::string& hostPath, int flags) {
    if (auto relative = device::relativeToRoot(hostPath)) {
        Descriptor root(::open(device::root().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!root) return -1;
        return openBeneath(root.get(), *relative, flags);
    }
    return ::open(hostPath.c_str(), flags | O_CLOEXEC);
}

// The folder part and the last component of a path ("a/b/c" -> "a/b", "c").
std::pair<std::string, std::string> split(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) return {".", p};
    return {slash == 0 ? "/" : p.substr(0, slash), p.substr(slash + 1)};
}

bool isOurTemporary(std::string_view entry, std::string_view name) {
    if (entry.size() != name.size() + kTemporaryInfix.size() + kTemporarySuffixLength ||
        entry.substr(0, name.size()) != name ||
        entry.substr(name.size(), kTemporaryInfix.size()) != kTemporaryInfix) {
        return false;
    }
    for (char c : entry.substr(name.size() + kTemporaryInfix.size())) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes "<name>.tmp-XXXXXX" files that no writer holds locked: a writer keeps its temporary
// locked from creation to rename, and the lock goes with its process, so an unlocked one was
// left by a writer that died.
void removeStaleTemporaries(int dirFd, const std::string& name) {
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return;
    }
    std::vector<std::string> candidates;
    while (const dirent* e = ::readdir(dir)) {
        if (isOurTemporary(e->d_name, name)) candidates.emplace_back(e->d_name);
    }
    ::closedir(dir);
    for (const auto& entry : candidates) {
        Descriptor fd(::openat(dirFd, entry.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat held {
        }, named{};
        if (!fd || ::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a live writer's
        if (::fstatat(dirFd, entry.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(held, named)) {
            ::unlinkat(dirFd, entry.c_str(), 0);
        }
    }
}

std::string randomSuffix() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kTemporarySuffixLength];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy to be had: the name only has to be unused, which O_EXCL checks.
        static unsigned counter = 0;
        const unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u + ++counter;
        for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(seed >> i);
    }
    std::string out;
    for (unsigned char b : bytes) out += kAlphabet[b % (sizeof kAlphabet - 1)];
    return out;
}

// A new locked temporary in dirFd; its name goes to *temporary.
Result<Descriptor> createTemporary(int dirFd, const std::string& name, std::string* temporary) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = name + std::string(kTemporaryInfix) + randomSuffix();
        Descriptor fd(::openat(dirFd, temporary->c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST) continue;
            return failure(*temporary, errno);
        }
        if (::flock(fd.get(), LOCK_EX) != 0) {
            ::unlinkat(dirFd, temporary->c_str(), 0);
            return failure(*temporary, errno);
        }
        // Another writer's clean-up may have taken the file between creation and lock.
        struct stat held {
        }, named{};
        if (::fstat(fd.get(), &held) == 0 &&
            ::fstatat(dirFd, temporary->c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(held, named)) {
            return fd;
        }
    }
    return Failure{name + ": no temporary file name left to try"};
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Replaces `name` in the open folder dirFd.
Result<void> replaceIn(int dirFd, const std::string& name, std::string_view bytes, mode_t mode,
                       const std::string& shownPath) {
    if (name.empty() || name == "." || name == "..")
        return Failure{shownPath + ": not a file name"};
    removeStaleTemporaries(dirFd, name);
    std::string temporary;
    auto fd = createTemporary(dirFd, name, &temporary);
    if (!fd) return Failure{fd.error()};
    int error = 0;
    if (!writeAll(fd->get(), bytes) || ::fchmod(fd->get(), mode) != 0 || ::fsync(fd->get()) != 0 ||
        ::renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0) {
        error = errno;
        ::unlinkat(dirFd, temporary.c_str(), 0);
        return failure(shownPath, error);
    }
    // The rename is only durable once the folder is.
    if (::fsync(dirFd) != 0) return failure(shownPath, errno);
    // The data was synced before the rename, so a late close error loses nothing.
    fd->close();
    return {};
}

// Whether `name` in dirFd is a regular file (not a link) with exactly these bytes and mode.
bool holds(int dirFd, const std::string& name, std::string_view bytes, mode_t mode) {
    Descriptor fd(
        ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_mode & 07777) != mode || static_cast<uint64_t>(st.st_size) != bytes.size()) {
        return false;
    }
    std::string have(bytes.size(), '\0');
    size_t got = 0;
    while (got < have.size()) {
        const ssize_t n = ::read(fd.get(), have.data() + got, have.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return have == bytes;
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

bool Descriptor::close() {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
}

Result<Descriptor> openForReading(const std::string& hostPath) {
    Descriptor fd(openResolved(hostPath, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!fd) return failure(hostPath, errno);
    return fd;
}

Result<std::string> readRegularFile(const std::string& hostPath, size_t limit) {
    auto fd = openForReading(hostPath);
    if (!fd) return Failure{fd.error()};
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return failure(hostPath, errno);
    if (!S_ISREG(st.st_mode)) return Failure{hostPath + ": not a regular file"};
    if (static_cast<uint64_t>(st.st_size) > limit) return Failure{hostPath + ": too large"};
    std::string bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd->get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failure(hostPath, errno);
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
        // The file may grow while it is read.
        if (bytes.size() > limit) return Failure{hostPath + ": too large"};
    }
    return bytes;
}

bool exists(const std::string& hostPath) {
    return Descriptor(openResolved(hostPath, O_PATH)).get() >= 0;
}

Result<void> replaceFile(const std::string& hostPath, std::string_view bytes, mode_t mode) {
    const auto [folder, name] = split(hostPath);
    Descriptor dir(openResolved(folder, O_RDONLY | O_DIRECTORY));
    if (!dir) return failure(folder, errno);
    return replaceIn(dir.get(), name, bytes, mode, hostPath);
}

Result<void> copyTree(const std::string& sourceDir, const std::string& destinationDir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(sourceDir, ec)) return Failure{sourceDir + ": not a folder"};
    Descriptor root(::open(destinationDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) return failure(destinationDir, errno);
    fs::recursive_directory_iterator it(sourceDir, fs::directory_options::follow_directory_symlink,
                                        ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path source = it->path();
        const std::string relative = source.lexically_relative(sourceDir).string();
        const std::string shown = (fs::path(destinationDir) / relative).string();
        const auto [folder, name] = split(relative);
        Descriptor parent(openBeneath(root.get(), folder, O_RDONLY | O_DIRECTORY));
        if (!parent)
            return failureBeneath(destinationDir, (fs::path(destinationDir) / folder).string(),
                                  errno);
        if (it->is_directory(ec)) {
            if (::mkdirat(parent.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
                return failure(shown, errno);
            // Whatever is there must now be a folder reached beneath the destination.
            Descriptor made(openBeneath(root.get(), relative, O_RDONLY | O_DIRECTORY));
            if (!made) return failureBeneath(destinationDir, shown, errno);
            continue;
        }
        auto bytes = readRegularFile(source.string(), SIZE_MAX);
        if (!bytes) return Failure{bytes.error()};
        struct stat st {};
        const mode_t mode = ::stat(source.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
        // A file already as it should be is left alone (a running program may have it loaded).
        if (holds(parent.get(), name, *bytes, mode)) continue;
        if (auto r = replaceIn(parent.get(), name, *bytes, mode, shown); !r) return r;
    }
    if (ec) return Failure{sourceDir + ": " + ec.message()};
    return {};
}

}  // namespace platform::files

namespace platform {
bool device::fileExists(std::string_view devicePath) {
    return files::exists(device::resolve(devicePath));
}
void resolveBeneathRootWithOpenat2(bool use) { files::g_useOpenat2 = use; }
namespace state {
void resetFiles() { files::g_useOpenat2 = true; }
}  // namespace state
}  // namespace platform
