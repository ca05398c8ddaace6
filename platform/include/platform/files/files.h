// Files as the phone's services open them: never blocking on something that is not a file, never
// reaching out of the device root, and replacing files atomically.
//
// A host path inside the device root (device_root.h) is resolved beneath the root the way the phone
// resolves its own paths: links are followed, but "/" at the start of a link's target means the
// device root and ".." never climbs above it. So a link inside the root that points at "/etc" or
// "../../.." reaches a place inside the root (usually nothing), never the host's files. Links
// that stay inside the root ("User" -> "var/mobile") work as ever. The kernel's openat2 with
// RESOLVE_IN_ROOT does this where it is available; elsewhere each component is opened in turn
// without following links and the links are resolved here by the same rules.
//
// Host paths outside the device root (test files, the simulator's own files) are opened as
// they are.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/core/result.h"

namespace platform::files {

// An open file descriptor, closed when it goes out of scope.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Descriptor& operator=(Descriptor&& o) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { close(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now; says whether closing worked (a failed close can mean lost data).
    bool close();
    // Gives the descriptor up to the caller, who closes it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// Opens a file or folder to read. Never blocks: a FIFO without a writer opens at once.
Result<Descriptor> openForReading(const std::string& hostPath);

// The whole content of a regular file of at most `limit` bytes. Anything else (a FIFO, a device,
// a socket, a folder, a larger file) is refused before a byte is read.
Result<std::string> readRegularFile(const std::string& hostPath, size_t limit);

// Whether something is at the path (links resolved as above).
bool exists(const std::string& hostPath);

// Replaces the file with `bytes` atomically: a temporary file "<name>.tmp-XXXXXX" is written
// beside it, synced, renamed over it, and the folder is synced, so a reader sees the old file or
// the whole new one, and a power cut after success keeps the new one. A link at the path is
// replaced, not written through. Temporaries of the same name left by a writer that died (no
// live writer holds their lock) are removed first. On failure the file is unchanged.
Result<void> replaceFile(const std::string& hostPath, std::string_view bytes, mode_t mode = 0644);

// Copies the folder tree at sourceDir (a host folder, trusted) into destinationDir, creating
// folders as needed and replacing files atomically. Every destination path is resolved beneath
// destinationDir by the rules above, so links in the destination never lead the copy out of it.
Result<void> copyTree(const std::string& sourceDir, const std::string& destinationDir);

}  // namespace platform::files

namespace platform::device {

// Whether something is at the device path (device_root.h resolves it; links as above).
bool fileExists(std::string_view devicePath);

}  // namespace platform::device
