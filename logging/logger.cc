#include "logging/logger.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

#include "platform/clock.h"

namespace vmrsmgr {
namespace {

std::int64_t now_in_microseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string_view time_stamp(std::int64_t moment, char (&out)[kMaxTimeStamp]) {
  return {out, local_time_stamp(
                   std::chrono::system_clock::time_point(std::chrono::microseconds(moment)), out)};
}

}  // namespace

Logger::Logger() : Logger(std::make_unique<LogDisk>()) {}

Logger::Logger(std::unique_ptr<LogDisk> disk)
    : writer_(std::move(disk)), line_(std::make_unique<char[]>(kSlotSize)) {}

Logger::~Logger() { stop(); }

int Logger::start(const LogSettings& settings) {
  level_.store(settings.level, std::memory_order_relaxed);
  start_error_ = writer_.open(settings);
  if (start_error_ != 0) return -1;
  accepting_.store(true);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
  }
  try {
    thread_ = std::thread(std::ref(*this));
  } catch (...) {
    accepting_.store(false);
    finish();
    writer_.close();
    throw;
  }
  return 0;
}

void Logger::log(std::string_view message) { hand_over({}, message); }

void Logger::error(std::string_view message) {
  if (level_.load(std::memory_order_relaxed) >= kLevelError) hand_over(kErrorTag, message);
}

void Logger::debug(std::string_view message) {
  if (level_.load(std::memory_order_relaxed) >= kLevelDebug) hand_over(kDebugTag, message);
}

void Logger::trace(std::string_view message) {
  if (level_.load(std::memory_order_relaxed) >= kLevelTrace) hand_over(kTraceTag, message);
}

void Logger::limit_waits(std::chrono::milliseconds limit) noexcept {
  const std::chrono::microseconds micro = limit;
  wait_limit_.store(std::max<std::int64_t>(0, micro.count()), std::memory_order_relaxed);
}

// The producer takes the moment once it holds its slot and copies the text;
// the thread makes the line of them, so that the producer spends no time on
// the time stamp's text.
void Logger::hand_over(std::string_view tag, std::string_view message) {
  if (!accepting_.load()) return;
  Ring::Claim claim;
  if (ring_.claim(claim)) {
    if (overflowing_.load(std::memory_order_relaxed)) {
      overflowing_.store(false, std::memory_order_relaxed);
    }
  } else if (!wait_for_slot(claim)) {
    return;
  }
  const std::int64_t moment = now_in_microseconds();
  std::memcpy(claim.data, &moment, sizeof moment);
  char* const text = claim.data + sizeof moment;
  const std::size_t room = kSlotSize - sizeof moment;
  const std::size_t tag_size = std::min(tag.size(), room);
  // copy_n: an empty tag or message may have no data at all.
  std::copy_n(tag.data(), tag_size, text);
  const std::size_t message_size = std::min(message.size(), room - tag_size);
  std::copy_n(message.data(), message_size, text + tag_size);
  ring_.publish(claim, sizeof moment + tag_size + message_size);
  wake_writer();
}

// Every slot is in flight: the thread frees one as soon as it is awake.
// Without a limit the producer waits for it; with one it gives up once the
// limit has passed, or at once while the slots have stayed full since a
// producer last gave up.
bool Logger::wait_for_slot(Ring::Claim& claim) {
  // The limit may come while the producer waits (a stop request sets it from
  // another thread): it counts from when the producer first sees it.
  std::optional<platform::MonotonicClock::time_point> since;
  for (;;) {
    const std::int64_t limit = wait_limit_.load(std::memory_order_relaxed);
    if (limit >= 0) {
      const auto now = platform::MonotonicClock::now();
      if (!since) {
        since = now;
        if (overflowing_.load(std::memory_order_relaxed)) break;
      }
      if (now - *since >= std::chrono::microseconds(limit)) break;
    }
    if (!accepting_.load()) return false;
    wake_writer();
    std::this_thread::yield();
    if (ring_.claim(claim)) {
      overflowing_.store(false, std::memory_order_relaxed);
      return true;
    }
  }
  overflowing_.store(true, std::memory_order_relaxed);
  dropped_.add(now_in_microseconds());
  return false;
}

void Logger::wake_writer() {
  if (!writer_asleep_.take()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wakeup_.notify_one();
}

// Every line handed over before the call holds a ticket below the ring's
// count of claims: the drain waits until the thread has written up to it,
// however the producers' publications interleave.
void Logger::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_) return;
  const std::uint64_t target = ring_.claimed();
  if (target > drain_target_.load(std::memory_order_relaxed)) {
    drain_target_.store(target, std::memory_order_release);
  }
  woken_ = true;
  wakeup_.notify_one();
  drained_.wait_for(lock, kDrainLimit, [&] { return drained_to_ >= target || !running_; });
}

void Logger::stop() {
  const std::lock_guard<std::mutex> one_at_a_time(stop_mutex_);
  accepting_.store(false);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
  }
  wakeup_.notify_one();
  if (thread_.joinable()) thread_.join();
}

// The thread never ends before the stop: lines that cannot be written are
// counted and the count logged once writing works again.
void Logger::operator()() {
  for (;;) {
    try {
      write_lines();
      break;
    } catch (const std::exception& e) {
      recover(e.what());
    } catch (...) {
      recover("unknown error");
    }
  }
  writer_.close();
  finish();
}

void Logger::finish() noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }
  drained_.notify_all();
}

// After the stop the thread takes every line claimed before it saw the
// stop; a producer that claims a slot later writes into a ring that nobody
// reads any more, and one that finds no slot returns.
void Logger::write_lines() {
  for (;;) {
    Record record;
    while (ring_.pop(record)) {
      take(record);
      if (drain_asked()) serve_drain();
    }
    if (drain_asked()) serve_drain();
    if (stop_.load()) break;
    pause();
  }
  take_until(ring_.claimed());
  count_dropped(std::numeric_limits<std::int64_t>::max());
}

// No line is stamped before the line that precedes it in the file: two
// producers may take their moments in the other order than their claims.
void Logger::take(const Record& record) noexcept {
  std::int64_t moment = 0;
  std::memcpy(&moment, record.line.data(), sizeof moment);
  if (dropped_.any()) count_dropped(moment);
  moment = std::max(moment, last_moment_);
  last_moment_ = moment;
  char stamp[kMaxTimeStamp];
  const std::size_t length = compose_line(line_.get(), kSlotSize, time_stamp(moment, stamp), {},
                                          record.line.substr(sizeof moment));
  ring_.release(record);
  writer_.write({line_.get(), length});
}

// Lines of tickets below ticket are claimed already: each is published a
// moment later.
void Logger::take_until(std::uint64_t ticket) noexcept {
  Record record;
  while (ring_.next() < ticket) {
    if (ring_.pop(record)) {
      take(record);
    } else {
      std::this_thread::yield();
    }
  }
}

// Counts the lines given up on, when the first of them is older than the
// moment before, so that the count stands among the lines in time order.
void Logger::count_dropped(std::int64_t before) noexcept {
  std::uint64_t lines = 0;
  std::int64_t first = 0;
  std::int64_t last = 0;
  try {
    if (!dropped_.take(before, lines, first, last)) return;
  } catch (...) {
    return;  // counted at the next look
  }
  first = std::max(first, last_moment_);
  last = std::max(last, first);
  last_moment_ = first;
  char first_stamp[kMaxTimeStamp];
  char last_stamp[kMaxTimeStamp];
  writer_.count_lost(lines, time_stamp(first, first_stamp), time_stamp(last, last_stamp),
                     kNoRoomReason);
}

bool Logger::drain_asked() const noexcept {
  return drain_target_.load(std::memory_order_acquire) != drains_seen_;
}

void Logger::serve_drain() noexcept {
  drains_seen_ = drain_target_.load(std::memory_order_acquire);
  take_until(drains_seen_);
  count_dropped(std::numeric_limits<std::int64_t>::max());
  writer_.flush();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    drained_to_ = drains_seen_;
  }
  drained_.notify_all();
}

void Logger::pause() {
  // Give way once first: a producer in full flow has its next line ready by
  // then, and the thread stays awake instead of costing it a wake-up.
  std::this_thread::yield();
  if (!ring_.empty()) return;
  count_dropped(std::numeric_limits<std::int64_t>::max());
  writer_.flush();
  // Sleeps until a producer hands a line over, a drain is asked for or the
  // stop comes; lines that wait for a file that cannot be opened now are
  // tried again meanwhile.
  std::unique_lock<std::mutex> lock(mutex_);
  writer_asleep_.raise();
  const auto work = [this] { return woken_ || stop_.load() || !ring_.empty(); };
  if (writer_.waiting()) {
    wakeup_.wait_for(lock, std::chrono::milliseconds(kRetryMs), work);
  } else {
    wakeup_.wait(lock, work);
  }
  woken_ = false;
  writer_asleep_.lower();
}

// A failure between lines loses none of them; the thread carries on after an
// idle pause, so that a failure that repeats does not spin.
void Logger::recover(const char* what) noexcept {
  report_log_failure(what);
  std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
}

}  // namespace vmrsmgr
