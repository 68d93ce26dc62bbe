#include "logging/logger.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <thread>

#include <boost/filesystem/operations.hpp>

#include "logging/log_line.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

// Lines wait here between the slots and the file, so that a burst reaches the
// file in few writes.
constexpr std::size_t kPendingSize = 64 * 1024;
// A failed rotation is tried once more after this pause.
constexpr auto kRotationRetry = std::chrono::milliseconds(100);

}  // namespace

Logger::Logger()
    : slots_(std::make_unique<char[]>(kSlots * kSlotSize)),
      pending_(std::make_unique<char[]>(kPendingSize)) {
  for (std::int32_t i = 0; i < kSlots; ++i) {
    while (!free_slots_.push(i)) {
    }
  }
}

Logger::~Logger() { stop(); }

int Logger::start(const LogSettings& settings) {
  settings_ = settings;
  level_.store(settings.level, std::memory_order_relaxed);
  start_error_ = 0;
  boost::system::error_code error;
  if (fs::status(fs::path(settings_.folder), error).type() == fs::file_not_found) {
    start_error_ = platform::path_not_found_error();
    return -1;
  }
  // Opened here, so that a file that can never be written fails the start
  // with its cause instead of a thread that writes nowhere.
  path_ = log_file_path(settings_);
  if (!file_.open(path_) && !platform::is_sharing_conflict(file_.error())) {
    start_error_ = file_.error();
    return -1;
  }
  const std::uintmax_t size = fs::file_size(path_, error);
  written_ = error ? 0 : size;
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
    file_.close();
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

void Logger::hand_over(std::string_view tag, std::string_view message) {
  if (!accepting_.load()) return;
  // The time stamp before the slot: nothing may throw while a slot is held.
  char stamp[kMaxTimeStamp];
  const std::size_t stamp_size = local_time_stamp(std::chrono::system_clock::now(), stamp);
  std::int32_t index = 0;
  while (!free_slots_.pop(index)) {
    // Every slot is in flight: the thread frees one as soon as it is awake.
    if (!accepting_.load()) return;
    wake_writer();
    std::this_thread::yield();
  }
  const std::size_t length =
      compose_line(slot(index), kSlotSize, {stamp, stamp_size}, tag, message);
  while (!lines_.push(Record{index, length})) {
  }
  wake_writer();
}

// While the thread is awake a producer takes no lock. The thread raises the
// flag before it looks at the queue a last time and a producer lowers it
// after its push, each by an exchange: whichever comes second sees the
// other's work, so no line waits for a thread that sleeps on.
void Logger::wake_writer() {
  if (!writer_asleep_.exchange(false, std::memory_order_acq_rel)) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wakeup_.notify_one();
}

void Logger::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_) return;
  const std::uint64_t asked = drains_asked_.fetch_add(1, std::memory_order_acq_rel) + 1;
  woken_ = true;
  wakeup_.notify_one();
  drained_.wait_for(lock, kDrainLimit, [&] { return drains_served_ >= asked || !running_; });
}

void Logger::stop() {
  const std::lock_guard<std::mutex> one_at_a_time(stop_mutex_);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
  }
  wakeup_.notify_one();
  if (thread_.joinable()) thread_.join();
  accepting_.store(false);
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
  file_.close();
  finish();
  std::this_thread::yield();
}

void Logger::finish() noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }
  drained_.notify_all();
}

void Logger::write_lines() {
  for (;;) {
    Record record{};
    while (lines_.pop(record)) {
      take(record);
      if (drain_asked()) serve_drain();
    }
    if (drain_asked()) serve_drain();
    if (stop_.load()) break;
    pause();
  }
  retire_slots();
  flush();
}

void Logger::take(const Record& record) noexcept {
  write_guarded(record);
  while (!free_slots_.push(record.slot)) {
  }
}

bool Logger::drain_asked() const noexcept {
  return drains_asked_.load(std::memory_order_relaxed) != drains_seen_;
}

// Every line handed over before the drain was asked for is in the pending
// lines already or among the next kSlots of the queue, which is first in,
// first out: a flood of later lines does not hold the drain up.
void Logger::serve_drain() noexcept {
  drains_seen_ = drains_asked_.load(std::memory_order_acquire);
  Record record{};
  for (int i = 0; i < kSlots && lines_.pop(record); ++i) take(record);
  try {
    flush();
  } catch (...) {
    // The drain ends all the same; the lines stay pending.
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    drains_served_ = drains_seen_;
  }
  drained_.notify_all();
}

// A line that fails to be written is lost, not the thread.
void Logger::write_guarded(const Record& record) noexcept {
  try {
    write(record);
  } catch (const std::exception& e) {
    report_exception(e.what());
    lose(1, e.what());
  } catch (...) {
    report_exception("unknown error");
    lose(1, "unknown error");
  }
}

// After the stop, producers still holding a slot may push one more line: the
// thread takes every slot back, writing those lines, before it ends.
void Logger::retire_slots() {
  accepting_.store(false);
  int retired = 0;
  while (retired < kSlots) {
    Record record{};
    std::int32_t index = 0;
    if (lines_.pop(record)) {
      write_guarded(record);
      ++retired;
    } else if (free_slots_.pop(index)) {
      ++retired;
    } else {
      std::this_thread::yield();
    }
  }
  for (std::int32_t i = 0; i < kSlots; ++i) {
    while (!free_slots_.push(i)) {
    }
  }
}

void Logger::write(const Record& record) {
  written_ += record.length;
  // The line that reaches the rotation size is the first of the new file.
  if (written_ >= settings_.rotation_size) rotate_file();
  if (pending_size_ + record.length > kPendingSize) {
    flush();
    // Still no file: the oldest lines make room.
    if (pending_size_ + record.length > kPendingSize) drop_pending(file_.error());
  }
  std::memcpy(pending_.get() + pending_size_, slot(record.slot), record.length);
  pending_size_ += record.length;
  ++pending_lines_;
}

// A rotation that fails twice leaves the lines in the current file, which may
// then outgrow the rotation size until a later rotation succeeds.
void Logger::rotate_file() {
  flush();
  file_.close();
  try {
    try {
      rotate();
    } catch (const std::exception&) {
      std::this_thread::sleep_for(kRotationRetry);
      rotate();
    }
  } catch (const std::exception& e) {
    report_exception(e.what());
  }
  file_.open(path_);
  written_ = 0;
}

// Hands the pending lines to the file, opening it first when it is closed,
// and says first how many lines were lost before. While the file cannot be
// opened, the lines stay pending as long as there is room.
void Logger::flush() {
  if (pending_size_ == 0) return;
  if (!file_.is_open() && !file_.open(path_)) return;
  if ((lost_ == 0 || write_lost_line()) && file_.write(pending_.get(), pending_size_)) {
    pending_size_ = 0;
    pending_lines_ = 0;
    return;
  }
  drop_pending(file_.error());
  file_.close();
}

bool Logger::write_lost_line() {
  char text[64 + sizeof lost_reason_];
  std::snprintf(text, sizeof text, "%" PRIu64 " log lines were lost: %s", lost_, lost_reason_);
  char stamp[kMaxTimeStamp];
  const std::size_t stamp_size = local_time_stamp(std::chrono::system_clock::now(), stamp);
  char line[kSlotSize];
  const std::size_t length = compose_line(line, sizeof line, {stamp, stamp_size}, {}, text);
  if (!file_.write(line, length)) return false;
  written_ += length;
  lost_ = 0;
  return true;
}

void Logger::lose(std::uint64_t lines, std::string_view reason) noexcept {
  lost_ += lines;
  const std::size_t size = std::min(reason.size(), sizeof lost_reason_ - 1);
  std::memcpy(lost_reason_, reason.data(), size);
  lost_reason_[size] = '\0';
}

void Logger::drop_pending(std::uint32_t error) noexcept {
  char code[32];
  std::snprintf(code, sizeof code, "system error %" PRIu32, error);
  std::string text;
  try {
    text = platform::error_text(error);
  } catch (...) {
    // The code alone then.
  }
  lose(pending_lines_, text.empty() ? std::string_view(code) : text);
  pending_size_ = 0;
  pending_lines_ = 0;
}

void Logger::pause() {
  // Give way once first: a producer in full flow has its next line ready by
  // then, and the thread stays awake instead of costing it a wake-up.
  std::this_thread::yield();
  if (!lines_.empty()) return;
  flush();
  // Sleeps until a producer hands a line over, a drain is asked for or the
  // stop comes; lines that wait for a file that cannot be opened now are
  // tried again meanwhile.
  std::unique_lock<std::mutex> lock(mutex_);
  writer_asleep_.exchange(true, std::memory_order_acq_rel);
  const auto work = [this] { return woken_ || stop_.load() || !lines_.empty(); };
  if (pending_size_ == 0) {
    wakeup_.wait(lock, work);
  } else {
    wakeup_.wait_for(lock, std::chrono::milliseconds(kRetryMs), work);
  }
  woken_ = false;
  writer_asleep_.store(false);
}

void Logger::report_exception(const char* what) noexcept {
  try {
    // Spelled so on purpose: scripts match it.
    std::cerr << "EXEPTION: " << what << std::endl;
  } catch (...) {
    // The log is the other place it is reported.
  }
}

// A failure between lines loses none of them; the thread carries on after an
// idle pause, so that a failure that repeats does not spin.
void Logger::recover(const char* what) noexcept {
  report_exception(what);
  std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
}

}  // namespace vmrsmgr
