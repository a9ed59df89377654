#pragma once

#include <cstdint>

// Heap allocations made through operator new by this process so far. The
// benchmark executable replaces the global operator new to count them; take
// the difference around a measured loop.
uint64_t AllocationCount();
