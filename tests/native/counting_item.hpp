#pragma once
// A move-only stand-in for an owned Python reference. A non-empty item owns a
// heap block, so under the address sanitizer a bitwise copy released twice
// is a double free and a lost item is a leak; live items are also counted,
// so every test can end by proving that nothing it queued outlived it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestrum::test {

inline std::atomic<std::int64_t> g_live_items{0};
// Release order, for single-threaded tests; see ReleaseLog.
inline std::vector<std::uint64_t>* g_release_log = nullptr;

class Item {
 public:
  Item() noexcept = default;  // the empty state: owns nothing
  explicit Item(std::uint64_t id) : id_(new std::uint64_t(id)) { ++g_live_items; }
  Item(Item&& other) noexcept : id_(std::exchange(other.id_, nullptr)) {}
  Item& operator=(Item&& other) noexcept {
    Item old(std::move(*this));
    id_ = std::exchange(other.id_, nullptr);
    return *this;
  }
  ~Item() { reset(); }

  void reset() noexcept {
    if (id_ == nullptr) return;
    if (g_release_log != nullptr) g_release_log->push_back(*id_);
    delete std::exchange(id_, nullptr);
    --g_live_items;
  }
  // Tests number items from 1; 0 means empty.
  std::uint64_t id() const noexcept { return id_ == nullptr ? 0 : *id_; }

 private:
  std::uint64_t* id_ = nullptr;
};

struct ReleaseLog {
  std::vector<std::uint64_t> ids;
  ReleaseLog() { g_release_log = &ids; }
  ~ReleaseLog() { g_release_log = nullptr; }
};

class CountingTest : public ::testing::Test {
 protected:
  void SetUp() override { g_live_items = 0; }
  void TearDown() override { EXPECT_EQ(g_live_items.load(), 0) << "items leaked or released twice"; }
};

template <class Param>
class CountingTestP : public CountingTest, public ::testing::WithParamInterface<Param> {};

// Busy-waits about `n` short steps: a delay that, unlike yielding, does not
// hand the CPU to other processes of a loaded machine.
inline void spin_for(int n) {
  for (int i = 0; i < n; ++i) std::atomic_signal_fence(std::memory_order_seq_cst);
}

inline std::vector<std::uint64_t> ids(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint64_t> v;
  for (std::uint64_t id = first; id <= last; ++id) v.push_back(id);
  return v;
}

}  // namespace kestrum::test
