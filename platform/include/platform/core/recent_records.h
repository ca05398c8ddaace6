// Records kept for tests and diagnostics keep only their most recent entries, so a host that
// runs for days does not grow.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace platform {

inline constexpr size_t kRecentRecords = 64;

template <class T>
void keepRecent(std::vector<T>& records, T entry) {
    if (records.size() >= kRecentRecords) records.erase(records.begin());
    records.push_back(std::move(entry));
}

}  // namespace platform
