#pragma once
// AtomicMetrics: the Python face of MetricsCore.
#include "metrics/metrics_core.hpp"

namespace kestrum {

// The native state of an AtomicMetrics object. No Python references.
struct AtomicMetricsState {
  explicit AtomicMetricsState(std::uint64_t num_threads) : core(num_threads) {}
  // False when a counter array could not be allocated (MemoryError).
  explicit operator bool() const noexcept { return core.allocated(); }
  MetricsCore core;
};

}  // namespace kestrum
