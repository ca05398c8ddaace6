// The hosts' pictures of their screens, named for the timeline: a host writes each picture to a
// pending file in the screenshot folder and announces it (host_screen.h); the simulator moves
// it to "<phone time>-<process>.png" in the same folder, the time as the timeline shows it
// ("0006.812-springboard.png"), with "-2", "-3", ... for further pictures of one process at
// one instant.
#pragma once

#include <set>
#include <string>

#include "platform/core/result.h"

namespace sim {

// How a host names a picture it has written but not yet announced.
inline constexpr const char* kPendingScreenshotPrefix = ".orvella-pending-";

class Screenshots {
  public:
    // The folder is made when missing; the failure names it.
    static platform::Result<Screenshots> open(const std::string& dir);
    // The folder as given, and as the hosts are told it (absolute).
    const std::string& dir() const { return dir_; }
    const std::string& absoluteDir() const { return absolute_; }
    // Moves an announced pending file to its name for that time and process and gives the new
    // path, in the folder as given. Refuses a file outside the folder or not named as a pending
    // picture.
    platform::Result<std::string> name(const std::string& process, const std::string& pending,
                                       double seconds);
    // Removes pending pictures never announced (a host that stopped between writing and
    // announcing one).
    void removeLeftovers() const;
    // Removes the folder again when open() made it and it is still empty (a run refused before
    // it began leaves nothing behind).
    void removeIfMade() const;

  private:
    Screenshots(std::string dir, std::string absolute, bool made)
        : dir_(std::move(dir)), absolute_(std::move(absolute)), made_(made) {}
    std::string dir_;
    std::string absolute_;
    bool made_;
    std::set<std::string> used_;
};

}  // namespace sim
