// Counts heap allocations made by the whole program (alloc_counter.cpp replaces the global
// operator new and delete).
#pragma once

#include <atomic>

extern std::atomic<long> gAllocations;
