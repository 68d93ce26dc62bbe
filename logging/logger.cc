#include "logging/logger.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <thread>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include "logging/log_line.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

// Lines wait here between the slots and the file, so that a burst reaches the
// file in few writes.
constexpr std::size_t kPendingSize = 64 * 1024;
// The shortest line: a time stamp without fraction, the blank and the line end.
constexpr std::size_t kShortestLine = 15 + 1 + 2;
constexpr std::size_t kMostPendingLines = kPendingSize / kShortestLine;
// A failed rotation is tried once more after this pause.
constexpr auto kRotationRetry = std::chrono::milliseconds(100);

// The system's text for an error of the file or the disk.
std::string error_reason(std::uint32_t error) {
  std::string text = platform::error_text(error);
  return text.empty() ? "system error " + std::to_string(error) : text;
}

std::string error_reason(const boost::system::error_code& error) {
  if (error.category() == boost::system::system_category()) {
    return error_reason(static_cast<std::uint32_t>(error.value()));
  }
  return error.message();
}

std::string failure_reason(const std::exception& failure) {
  const auto* file_error = dynamic_cast<const boost::filesystem::filesystem_error*>(&failure);
  return file_error ? error_reason(file_error->code()) : failure.what();
}

}  // namespace

Logger::Logger() : Logger(std::make_unique<LogDisk>()) {}

Logger::Logger(std::unique_ptr<LogDisk> disk)
    : disk_(std::move(disk)),
      line_(std::make_unique<char[]>(kSlotSize)),
      pending_(std::make_unique<char[]>(kPendingSize)),
      pending_ends_(std::make_unique<std::uint32_t[]>(kMostPendingLines)) {}

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
  failing_ = !disk_->open(path_);
  if (failing_ && !platform::is_sharing_conflict(disk_->error())) {
    start_error_ = disk_->error();
    return -1;
  }
  const std::uintmax_t size = fs::file_size(path_, error);
  counted_ = error ? 0 : static_cast<std::int64_t>(size);
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
    disk_->close();
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

// The producer takes the moment and copies the text; the thread makes the
// line of them, so that the producer spends no time on the time stamp's text.
void Logger::hand_over(std::string_view tag, std::string_view message) {
  if (!accepting_.load()) return;
  const std::int64_t moment = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  Ring::Claim claim;
  while (!ring_.claim(claim)) {
    // Every slot is in flight: the thread frees one as soon as it is awake.
    if (!accepting_.load()) return;
    wake_writer();
    std::this_thread::yield();
  }
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

std::string_view Logger::compose(const Record& record) noexcept {
  std::int64_t moment = 0;
  std::memcpy(&moment, record.line.data(), sizeof moment);
  char stamp[kMaxTimeStamp];
  const std::size_t stamp_size = local_time_stamp(
      std::chrono::system_clock::time_point(std::chrono::microseconds(moment)), stamp);
  const std::size_t length = compose_line(line_.get(), kSlotSize, {stamp, stamp_size}, {},
                                          record.line.substr(sizeof moment));
  return {line_.get(), length};
}

// While the thread is awake a producer takes no lock and writes nothing the
// thread writes. No line waits for a sleeping thread: the thread raises
// writer_asleep_ and then, under the mutex, looks at the queue a last time;
// a producer pushes its line and then looks at the flag. Between each store
// and the load that follows it stands a sequentially consistent fence, so
// of the two loads at least one sees the other side's store: either the
// thread finds the line, or the producer finds the flag raised and wakes the
// thread under the mutex, which the thread holds from its last look until it
// sleeps. The thread sanitizer does not model fences, so there both sides
// use an exchange, which it does understand, to the same effect.
#if defined(__SANITIZE_THREAD__)
#define VMRSMGR_FENCES_UNSEEN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VMRSMGR_FENCES_UNSEEN 1
#endif
#endif

void Logger::wake_writer() {
#ifdef VMRSMGR_FENCES_UNSEEN
  if (!writer_asleep_.exchange(false, std::memory_order_seq_cst)) return;
#else
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // Only a thread that sleeps costs the exchange, and one producer the
  // wake-up: the others find the flag lowered.
  if (!writer_asleep_.load(std::memory_order_relaxed) ||
      !writer_asleep_.exchange(false, std::memory_order_relaxed)) {
    return;
  }
#endif
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wakeup_.notify_one();
}

void Logger::announce_sleep() {
#ifdef VMRSMGR_FENCES_UNSEEN
  writer_asleep_.exchange(true, std::memory_order_seq_cst);
#else
  writer_asleep_.store(true, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
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
  disk_->close();
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
    Record record;
    while (ring_.pop(record)) {
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
  const std::string_view line = compose(record);
  ring_.release(record);
  write_guarded(line);
}

bool Logger::drain_asked() const noexcept {
  return drains_asked_.load(std::memory_order_relaxed) != drains_seen_;
}

// Every line handed over before the drain was asked for is in the pending
// lines already or among the next kSlots of the queue, which is first in,
// first out: a flood of later lines does not hold the drain up.
void Logger::serve_drain() noexcept {
  drains_seen_ = drains_asked_.load(std::memory_order_acquire);
  Record record;
  for (int i = 0; i < kSlots && ring_.pop(record); ++i) take(record);
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
void Logger::write_guarded(std::string_view line) noexcept {
  try {
    write(line);
  } catch (const std::exception& e) {
    lose_line(line, e.what());
  } catch (...) {
    lose_line(line, "unknown error");
  }
}

void Logger::lose_line(std::string_view line, const char* what) noexcept {
  report_exception(what);
  try {
    flush();  // the older pending lines first, so that the count keeps the time order
  } catch (...) {
    // Then they are counted with it.
  }
  const std::string_view stamp = line_stamp(line);
  lose(1, stamp, stamp, what);
}

// After the stop, producers that passed the check before it may still hand
// a line over: the thread claims every slot for itself, writing the lines of
// those claimed before, then gives the slots back empty.
void Logger::retire_slots() {
  accepting_.store(false);
  Ring::Claim held[kSlots];
  int claimed = 0;
  Record record;
  while (claimed < kSlots) {
    if (ring_.pop(record)) {
      take(record);
    } else if (ring_.claim(held[claimed])) {
      ++claimed;
    } else {
      std::this_thread::yield();
    }
  }
  for (const Ring::Claim& claim : held) {
    ring_.publish(claim, 0);
    if (ring_.pop(record)) ring_.release(record);
  }
}

void Logger::write(std::string_view line) {
  // The line that reaches the rotation size is the first of the new file.
  if (rotation_due(line.size())) rotate_file(line);
  append(line.data(), line.size());
}

// Only bytes that reached the file count, and nothing rotates while writes
// fail: a full disk must not turn the history into empty numbered logs.
bool Logger::rotation_due(std::size_t length) const noexcept {
  if (failing_) return false;
  const std::int64_t size = counted_ + static_cast<std::int64_t>(pending_size_ + length);
  return size >= 0 && static_cast<std::uint64_t>(size) >= settings_.rotation_size;
}

// A rotation that fails twice leaves the lines in the current file, which may
// then outgrow the rotation size until a later rotation succeeds. Either way
// the line goes into the file that is current afterwards and is not counted.
void Logger::rotate_file(std::string_view line) {
  flush();
  if (failing_) return;
  disk_->close();
  const std::string_view stamp = line_stamp(line);
  try {
    try {
      rotate(stamp);
    } catch (const std::exception&) {
      std::this_thread::sleep_for(kRotationRetry);
      rotate(stamp);
    }
    move_failing_ = false;
  } catch (const std::exception& e) {
    report_exception(e.what());
    if (!std::exchange(move_failing_, true)) {
      report(stamp, "Log " + path_.string() + " could not be rotated: " + failure_reason(e) +
                        "; it keeps growing until a later rotation succeeds");
    }
  }
  disk_->open(path_);
  counted_ = -static_cast<std::int64_t>(line.size());
}

// Removes the old logs beyond the maximum and moves the current one to its
// number. Raises the file system's errors.
void Logger::rotate(std::string_view stamp) {
  const fs::path folder(settings_.folder);
  const OldLogs old = remove_old_logs(folder, settings_.file_name, settings_.max_logs, *disk_);
  report_old_logs(old, stamp);
  move_current_log(folder, settings_.file_name, old.next_number);
}

// Each old log that stays is reported once, and once more when it goes.
void Logger::report_old_logs(const OldLogs& old, std::string_view stamp) {
  for (const auto& [path, error] : old.kept) {
    if (stuck_logs_.insert(path).second) {
      report(stamp, "Old log " + path.string() + " could not be removed: " + error_reason(error));
    }
  }
  for (const fs::path& path : old.removed) {
    if (stuck_logs_.erase(path) > 0) {
      report(stamp, "Old log " + path.string() + " was removed at last");
    }
  }
  // One that went by other hands is forgotten.
  for (auto at = stuck_logs_.begin(); at != stuck_logs_.end();) {
    boost::system::error_code error;
    at = fs::exists(*at, error) || error ? std::next(at) : stuck_logs_.erase(at);
  }
}

// The thread's own error lines, stamped with the time of the line they
// precede so that the time order holds.
void Logger::report(std::string_view stamp, const std::string& text) {
  if (level_.load(std::memory_order_relaxed) < kLevelError) return;
  char line[kSlotSize];
  append(line, compose_line(line, sizeof line, stamp, kErrorTag, text));
}

void Logger::append(const char* line, std::size_t length) {
  if (pending_size_ + length > kPendingSize || pending_lines_ == kMostPendingLines) {
    flush();
    // Still no file: the oldest lines make room.
    if (pending_size_ > 0) lose_pending(0, disk_->error());
  }
  std::memcpy(pending_.get() + pending_size_, line, length);
  pending_size_ += length;
  pending_ends_[pending_lines_++] = static_cast<std::uint32_t>(pending_size_);
}

// Hands the pending lines to the file, opening it first when it is closed,
// after the count of the lines lost before them. While the file cannot be
// opened, the lines stay pending as long as there is room; what a failed
// write did not write is lost, and counted.
void Logger::flush() {
  if (pending_size_ == 0 && lost_ == 0) return;
  if (!disk_->is_open() && !disk_->open(path_)) {
    failing_ = true;
    return;
  }
  std::size_t written = 0;
  if (lost_ == 0 || write_lost_line()) {
    written = write_out(pending_.get(), pending_size_);
    if (!failing_) {
      pending_size_ = 0;
      pending_lines_ = 0;
      return;
    }
  }
  lose_pending(written, disk_->error());
  disk_->close();
}

// Writes whole lines, after the end of a line that an earlier write cut off.
// Returns how many of the bytes reached the file; failing_ says whether all
// of them did.
std::size_t Logger::write_out(const char* data, std::size_t size) {
  failing_ = true;
  if (!line_end_due_.empty()) {
    const std::size_t ended = disk_->write(line_end_due_.data(), line_end_due_.size());
    counted_ += static_cast<std::int64_t>(ended);
    line_end_due_.remove_prefix(ended);
    if (!line_end_due_.empty()) return 0;
  }
  const std::size_t written = size == 0 ? 0 : disk_->write(data, size);
  counted_ += static_cast<std::int64_t>(written);
  failing_ = written < size;
  return written;
}

// Stamped with the time of the first lost line: the lines before it in the
// file are older, those after it newer.
bool Logger::write_lost_line() {
  char text[128 + sizeof lost_reason_];
  std::snprintf(text, sizeof text, "%" PRIu64 " log lines were lost from %.*s to %.*s: %s", lost_,
                static_cast<int>(lost_first_.size), lost_first_.text,
                static_cast<int>(lost_last_.size), lost_last_.text, lost_reason_);
  char line[kSlotSize];
  const std::size_t length = compose_line(line, sizeof line, lost_first_.view(), {}, text);
  const std::size_t written = write_out(line, length);
  if (failing_) {
    end_cut_line({line, written});
    return false;
  }
  lost_ = 0;
  return true;
}

// A write that stopped inside a line leaves that line open: its end goes
// first next time, so that the next line starts on a line of its own.
void Logger::end_cut_line(std::string_view written_part) noexcept {
  if (written_part.empty()) return;
  line_end_due_ = written_part.back() == '\r' ? "\n" : "\r\n";
}

// The pending lines from the first that did not reach the file whole on are
// lost.
void Logger::lose_pending(std::size_t written, std::uint32_t error) noexcept {
  const std::uint32_t* ends = pending_ends_.get();
  const auto whole =
      static_cast<std::size_t>(std::upper_bound(ends, ends + pending_lines_, written) - ends);
  if (whole < pending_lines_) {
    const char* data = pending_.get();
    const std::size_t first = whole == 0 ? 0 : ends[whole - 1];
    const std::size_t last = pending_lines_ == 1 ? 0 : ends[pending_lines_ - 2];
    end_cut_line({data + first, written - first});
    std::string reason;
    try {
      reason = error_reason(error);
    } catch (...) {
      // The count matters more than its cause.
    }
    lose(pending_lines_ - whole, line_stamp({data + first, ends[whole] - first}),
         line_stamp({data + last, pending_size_ - last}), reason);
  }
  pending_size_ = 0;
  pending_lines_ = 0;
}

void Logger::lose(std::uint64_t lines, std::string_view first, std::string_view last,
                  std::string_view reason) noexcept {
  if (lost_ == 0) lost_first_.set(first);
  lost_last_.set(last);
  lost_ += lines;
  const std::size_t size = std::min(reason.size(), sizeof lost_reason_ - 1);
  std::copy_n(reason.data(), size, lost_reason_);
  lost_reason_[size] = '\0';
}

void Logger::Stamp::set(std::string_view stamp) noexcept {
  size = std::min(stamp.size(), sizeof text);
  std::copy_n(stamp.data(), size, text);
}

void Logger::pause() {
  // Give way once first: a producer in full flow has its next line ready by
  // then, and the thread stays awake instead of costing it a wake-up.
  std::this_thread::yield();
  if (!ring_.empty()) return;
  flush();
  // Sleeps until a producer hands a line over, a drain is asked for or the
  // stop comes; lines that wait for a file that cannot be opened now are
  // tried again meanwhile.
  std::unique_lock<std::mutex> lock(mutex_);
  announce_sleep();
  const auto work = [this] { return woken_ || stop_.load() || !ring_.empty(); };
  if (pending_size_ == 0) {
    wakeup_.wait(lock, work);
  } else {
    wakeup_.wait_for(lock, std::chrono::milliseconds(kRetryMs), work);
  }
  woken_ = false;
  writer_asleep_.store(false, std::memory_order_relaxed);
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
