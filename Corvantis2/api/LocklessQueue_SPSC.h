// A bounded ring for exactly one producer thread and one consumer thread,
// without a lock. head is the slot written last, tail the slot read last;
// both start at 0, so one slot always stays empty and a ring of capacity n
// holds at most n - 1 entries. The producer writes only head, the consumer
// only tail.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace Vorantix::Corvantis {

template <typename T>
class LocklessQueue_SPSC {
 public:
  // The indices are 16 bits wide: the capacity is kept within 2 to 65535.
  explicit LocklessQueue_SPSC(size_t capacity)
      : capacity_(static_cast<uint16_t>(std::clamp<size_t>(capacity, 2, UINT16_MAX))),
        slots_(std::make_unique<T[]>(capacity_)) {}
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  size_t capacity() const { return capacity_; }

  // Producer only. False when full; the value is then left untouched.
  bool push(T&& value) {
    const uint16_t head = head_.load();
    const uint16_t next = Next(head);
    if (next == tail_.load()) return false;
    slots_[next] = std::move(value);
    head_.store(next);
    return true;
  }
  bool push(const T& value) {
    T copy(value);
    return push(std::move(copy));
  }

  // Consumer only. False when empty.
  bool pop(T& out) {
    const uint16_t tail = tail_.load();
    if (tail == head_.load()) return false;
    const uint16_t next = Next(tail);
    out = std::move(slots_[next]);
    slots_[next] = T();  // what the entry owned goes with out, not with the slot
    tail_.store(next);
    return true;
  }

 private:
  uint16_t Next(uint16_t index) const {
    return static_cast<uint16_t>(index + 1u == capacity_ ? 0u : index + 1u);
  }

  const uint16_t capacity_;
  std::unique_ptr<T[]> slots_;
  // Apart, so that the two threads do not share a cache line for them.
  alignas(64) std::atomic<uint16_t> head_{0};
  alignas(64) std::atomic<uint16_t> tail_{0};
};

}  // namespace Vorantix::Corvantis
