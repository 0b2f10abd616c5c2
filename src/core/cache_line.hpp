#pragma once
// One pinned cache-line size for padding. std::hardware_destructive_interference_size
// is avoided on purpose: g++ warns that its value can change with tuning flags,
// which would make the layout of our objects depend on how they were compiled.
#include <cstddef>

namespace kestrum {

inline constexpr std::size_t kCacheLine = 64;

}  // namespace kestrum
