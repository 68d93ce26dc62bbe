#pragma once

#include <atomic>
#include <cstddef>

namespace vmrsmgr {

// While the logger's thread is awake a producer takes no lock and writes
// nothing the thread writes. No line waits for a sleeping thread: the thread
// raises the flag and then, under its mutex, looks at the queue a last time;
// a producer pushes its line and then looks at the flag. Between each store
// and the load that follows it stands a sequentially consistent fence, so of
// the two loads at least one sees the other side's store: either the thread
// finds the line, or the producer finds the flag raised and wakes the thread
// under the mutex, which the thread holds from its last look until it
// sleeps. The thread sanitizer does not model fences, so there both sides
// use an exchange, which it does understand, to the same effect.
#if defined(__SANITIZE_THREAD__)
#define VMRSMGR_FENCES_UNSEEN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VMRSMGR_FENCES_UNSEEN 1
#endif
#endif

class SleepFlag {
 public:
  // The thread, under its mutex, before its last look at the queue.
  void raise() noexcept {
#ifdef VMRSMGR_FENCES_UNSEEN
    asleep_.exchange(true, std::memory_order_seq_cst);
#else
    asleep_.store(true, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
  }
  // The thread, awake again.
  void lower() noexcept { asleep_.store(false, std::memory_order_relaxed); }
  // A producer, after pushing its line: whether it must wake the thread.
  // Only a thread that sleeps costs the exchange, and one producer the
  // wake-up: the others find the flag lowered.
  bool take() noexcept {
#ifdef VMRSMGR_FENCES_UNSEEN
    return asleep_.exchange(false, std::memory_order_seq_cst);
#else
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return asleep_.load(std::memory_order_relaxed) &&
           asleep_.exchange(false, std::memory_order_relaxed);
#endif
  }

 private:
  static constexpr std::size_t kCacheLine = 64;
  alignas(kCacheLine) std::atomic<bool> asleep_{false};
};

}  // namespace vmrsmgr
