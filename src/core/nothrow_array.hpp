#pragma once
// new T[n] that reports every failure as nullptr, an impossible size too.
// For a huge n the compiler's size computation (n * sizeof(T), plus room for
// the element count it may store ahead of the array) overflows, and the
// runtime we build with then hands out a small block instead of failing:
// the constructors would write far past its end.
#include <cstddef>
#include <cstdint>
#include <new>

namespace kestrum {

template <class T>
T* new_array_nothrow(std::size_t n) noexcept {
  // The stored count takes at most a few alignments of T; keep well clear.
  constexpr std::size_t kLimit = static_cast<std::size_t>(PTRDIFF_MAX) - 4 * alignof(T) - 64;
  if (n > kLimit / sizeof(T)) return nullptr;
  return new (std::nothrow) T[n];
}

}  // namespace kestrum
