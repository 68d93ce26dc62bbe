#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vmrsmgr {

// The hand-over between any number of producers and the logger's one
// thread: a ring of message slots, each with a sequence number that says
// whose turn it is (a bounded queue after Dmitry Vyukov's). A producer
// claims the next slot with one compare-and-swap on a counter only
// producers write, fills it and publishes it; the thread reads published
// slots in order and hands them back. Neither side writes a cache line the
// other writes on every message, and nothing is allocated after
// construction.
template <std::size_t Slots, std::size_t SlotSize>
class SlotRing {
 public:
  static constexpr std::size_t kCacheLine = 64;

  // A slot a producer holds between claim and publish.
  struct Claim {
    std::uint64_t ticket = 0;
    char* data = nullptr;  // SlotSize bytes
  };
  // A published slot the thread holds between pop and release.
  struct Record {
    std::uint64_t ticket = 0;
    std::string_view line;
  };

  SlotRing() : cells_(std::make_unique<Cell[]>(Slots)) {
    for (std::size_t i = 0; i < Slots; ++i) cells_[i].sequence.store(i, std::memory_order_relaxed);
  }

  // Producers: the next slot, or false while every slot is in flight.
  bool claim(Claim& claim) noexcept {
    std::uint64_t ticket = claimed_.load(std::memory_order_relaxed);
    for (;;) {
      Cell& cell = cells_[ticket % Slots];
      const std::uint64_t sequence = cell.sequence.load(std::memory_order_acquire);
      if (sequence == ticket) {
        if (claimed_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_relaxed)) {
          claim = {ticket, cell.data};
          return true;
        }
      } else if (sequence < ticket) {
        return false;  // the thread has not handed this slot back yet
      } else {
        ticket = claimed_.load(std::memory_order_relaxed);  // another producer took it
      }
    }
  }
  void publish(const Claim& claim, std::size_t length) noexcept {
    Cell& cell = cells_[claim.ticket % Slots];
    cell.length = length;
    cell.sequence.store(claim.ticket + 1, std::memory_order_release);
  }

  // The thread: the oldest published slot, in the order of the claims.
  bool pop(Record& record) noexcept {
    Cell& cell = cells_[next_ % Slots];
    if (cell.sequence.load(std::memory_order_acquire) != next_ + 1) return false;
    record = {next_, {cell.data, cell.length}};
    ++next_;
    return true;
  }
  void release(const Record& record) noexcept {
    cells_[record.ticket % Slots].sequence.store(record.ticket + Slots, std::memory_order_release);
  }
  // Whether the next slot in order is still unpublished; the thread's only.
  bool empty() const noexcept {
    return cells_[next_ % Slots].sequence.load(std::memory_order_acquire) != next_ + 1;
  }
  // The ticket the next claim gets: every claim made before this call has
  // a lower one.
  std::uint64_t claimed() const noexcept { return claimed_.load(std::memory_order_acquire); }
  // The ticket the thread pops next; the thread's only.
  std::uint64_t next() const noexcept { return next_; }

 private:
  struct alignas(kCacheLine) Cell {
    std::atomic<std::uint64_t> sequence{0};
    std::size_t length = 0;
    char data[SlotSize];
  };

  std::unique_ptr<Cell[]> cells_;
  alignas(kCacheLine) std::atomic<std::uint64_t> claimed_{0};  // producers'
  alignas(kCacheLine) std::uint64_t next_ = 0;                 // the thread's
};

}  // namespace vmrsmgr
