#include "logging/log_writer.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <limits>
#include <utility>

#include "platform/last_error.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

// Lines wait here between the slots and the file, so that a burst reaches the
// file in few writes.
constexpr std::size_t kPendingSize = 64 * 1024;
// The shortest line: a time stamp without fraction, the blank and the line end.
constexpr std::size_t kShortestLine = 15 + 1 + 2;
constexpr std::size_t kMostPendingLines = kPendingSize / kShortestLine;

}  // namespace

void report_log_failure(const char* what) noexcept {
  try {
    // Spelled so on purpose: scripts match it.
    std::cerr << "EXEPTION: " << what << std::endl;
  } catch (...) {
    // The log is the other place it is reported.
  }
}

LogWriter::LogWriter(std::unique_ptr<LogDisk> disk, Clock clock)
    : disk_(std::move(disk)),
      clock_(std::move(clock)),
      pending_(std::make_unique<char[]>(kPendingSize)),
      pending_ends_(std::make_unique<std::uint32_t[]>(kMostPendingLines)) {}

LogWriter::~LogWriter() = default;

std::uint32_t LogWriter::open(const LogSettings& settings) {
  settings_ = settings;
  const fs::path folder(settings.folder);
  if (disk_->folder_missing(folder)) return platform::path_not_found_error();
  path_ = log_file_path(settings);
  sized_ = false;
  if (!open_file()) {
    const std::uint32_t error = disk_->error();
    // Held by another program, or no room for now: both may pass.
    if (!platform::is_sharing_conflict(error) && !platform::is_disk_full(error)) {
      path_.clear();
      return error;
    }
  }
  note_path_ = folder / lost_lines_note(settings.file_name);
  read_lost_note();
  return 0;
}

// A log that does not end with a line end, cut by a full disk or a run
// that ended inside a line, gets one before the next line.
bool LogWriter::open_file() {
  if (!disk_->open(path_)) {
    fail(LogTrouble::kCannotOpen, disk_->error());
    return false;
  }
  if (!std::exchange(sized_, true)) counted_ = std::max<std::int64_t>(0, disk_->size());
  if (const std::optional<char> last = disk_->last_byte()) {
    line_end_due_ = *last == '\n' ? "" : *last == '\r' ? "\n" : "\r\n";
  }
  return true;
}

void LogWriter::write(std::string_view line) noexcept {
  try {
    // The line that reaches the rotation size is the first of the new file.
    if (rotation_due(line.size())) rotate_file(line);
    append(line.data(), line.size());
  } catch (const std::exception& e) {
    lose_line(line, e.what());
  } catch (...) {
    lose_line(line, "unknown error");
  }
}

void LogWriter::lose_line(std::string_view line, const char* what) noexcept {
  report_log_failure(what);
  flush();  // the older pending lines first, so that the count keeps the time order
  const std::string_view stamp = line_stamp(line);
  lost_.add(1, stamp, stamp, what);
}

void LogWriter::count_lost(std::uint64_t lines, std::string_view first, std::string_view last,
                           std::string_view reason) noexcept {
  flush();
  lost_.add(lines, first, last, reason);
}

// Only bytes that reached the file count, and nothing rotates while writes
// fail: a full disk must not turn the history into empty numbered logs. A
// rotation that failed waits for a further rotation size or a while.
bool LogWriter::rotation_due(std::size_t length) const {
  if (failing_) return false;
  const std::int64_t size = counted_ + static_cast<std::int64_t>(pending_size_ + length);
  if (size < 0 || static_cast<std::uint64_t>(size) < settings_.rotation_size) return false;
  return !move_failing_ || size >= retry_size_ || clock_() >= retry_time_;
}

// A rotation that fails leaves the lines in the current file, which then
// outgrows the rotation size until a later rotation succeeds. Either way the
// line goes into the file that is current afterwards.
void LogWriter::rotate_file(std::string_view line) {
  flush_pending();
  if (failing_) return;
  disk_->close();
  const std::string_view stamp = line_stamp(line);
  try {
    rotate(stamp);
    move_failing_ = false;
    counted_ = -static_cast<std::int64_t>(line.size());  // the new file's first line
  } catch (const std::exception& e) {
    // Once for each time the log gets stuck, not for every try.
    if (!std::exchange(move_failing_, true)) {
      report_log_failure(e.what());
      const std::string reason = platform::error_description(e);
      report(stamp, "Log " + path_.string() + " could not be rotated: " + reason +
                        "; it keeps growing until a later rotation succeeds");
      tell(LogTrouble::kCannotRotate, path_.string(), reason);
    }
    const auto growth = static_cast<std::int64_t>(std::clamp<std::uint64_t>(
        settings_.rotation_size, kLeastRetryGrowth, std::numeric_limits<std::int32_t>::max()));
    retry_size_ = counted_ + static_cast<std::int64_t>(pending_size_) + growth;
    retry_time_ = clock_() + kRotationRetry;
  }
  open_file();
}

// Removes the old logs beyond the maximum and moves the current one to its
// number. Raises the file system's errors.
void LogWriter::rotate(std::string_view stamp) {
  const fs::path folder(settings_.folder);
  const OldLogs old = remove_old_logs(folder, settings_.file_name, settings_.max_logs, *disk_);
  for (const OldLogReport& stuck : stuck_logs_.reports(old)) {
    report(stamp, stuck.text);
    if (!stuck.reason.empty()) tell(LogTrouble::kOldLogStays, stuck.path.string(), stuck.reason);
  }
  move_current_log(folder, settings_.file_name, old.next_number, *disk_);
}

// The thread's own error lines, stamped with the time of the line they
// precede so that the time order holds.
void LogWriter::report(std::string_view stamp, const std::string& text) {
  if (settings_.level < kLevelError) return;
  char line[kMaxLineSize];
  append(line, compose_line(line, sizeof line, stamp, "[error] ", text));
}

void LogWriter::tell(LogTrouble trouble, const std::string& file,
                     const std::string& reason) noexcept {
  if (!observer_) return;
  try {
    observer_(trouble, file, reason);
  } catch (...) {
    // The log goes on without the observer's answer.
  }
}

// The first failure of an episode is told; the next write that succeeds
// ends it.
void LogWriter::fail(LogTrouble trouble, std::uint32_t error) noexcept {
  if (!std::exchange(failing_, true) && observer_) {
    try {
      tell(trouble, path_.string(), platform::error_description(error));
    } catch (...) {
      // Told or not, the lines are counted.
    }
  }
}

void LogWriter::append(const char* line, std::size_t length) {
  if (pending_size_ + length > kPendingSize || pending_lines_ == kMostPendingLines) {
    flush_pending();
    // Still no file: the oldest lines make room.
    if (pending_size_ > 0) lose_pending(0, disk_->error());
  }
  std::memcpy(pending_.get() + pending_size_, line, length);
  pending_size_ += length;
  pending_ends_[pending_lines_++] = static_cast<std::uint32_t>(pending_size_);
}

void LogWriter::flush() noexcept {
  try {
    flush_pending();
  } catch (...) {
    // The lines stay pending.
  }
}

// Hands the pending lines to the file, opening it first when it is closed,
// after the count of the lines lost before them. While the file cannot be
// opened, the lines stay pending as long as there is room; what a failed
// write did not write is lost, and counted.
void LogWriter::flush_pending() {
  if (pending_size_ == 0 && lost_.count() == 0) return;
  if (!disk_->is_open() && !open_file()) return;
  std::size_t written = 0;
  bool whole = lost_.count() == 0 || write_lost_line();
  if (whole) {
    written = write_out(pending_.get(), pending_size_, whole);
    if (whole) {
      failing_ = false;
      pending_size_ = 0;
      pending_lines_ = 0;
      return;
    }
  }
  const std::uint32_t error = disk_->error();
  fail(LogTrouble::kCannotWrite, error);
  lose_pending(written, error);
  disk_->close();
}

// Writes whole lines, after the end of a line that an earlier write cut off.
// Returns how many of the bytes reached the file; whole says whether all of
// them did.
std::size_t LogWriter::write_out(const char* data, std::size_t size, bool& whole) {
  whole = false;
  if (!line_end_due_.empty()) {
    const std::size_t ended = disk_->write(line_end_due_.data(), line_end_due_.size());
    counted_ += static_cast<std::int64_t>(ended);
    line_end_due_.remove_prefix(ended);
    if (!line_end_due_.empty()) return 0;
  }
  const std::size_t written = size == 0 ? 0 : disk_->write(data, size);
  counted_ += static_cast<std::int64_t>(written);
  whole = written == size;
  return written;
}

// Stamped with the time of the first lost line: the lines before it in the
// file are older, those after it newer.
bool LogWriter::write_lost_line() {
  char text[LostLines::kRecordSize];
  const std::string_view record = lost_.record(text);
  char line[kMaxLineSize];
  const std::size_t length = compose_line(line, sizeof line, lost_.first(), {}, record);
  bool whole = false;
  const std::size_t written = write_out(line, length, whole);
  if (!whole) {
    end_cut_line({line, written});
    return false;
  }
  lost_.clear();
  try {
    tell(LogTrouble::kLinesLost, path_.string(), std::string(record));
  } catch (...) {
    // The record is in the log; the observer misses it.
  }
  if (std::exchange(note_counted_, false)) disk_->remove(note_path_);
  return true;
}

// A write that stopped inside a line leaves that line open: its end goes
// first next time, so that the next line starts on a line of its own.
void LogWriter::end_cut_line(std::string_view written_part) noexcept {
  if (written_part.empty()) return;
  line_end_due_ = written_part.back() == '\r' ? "\n" : "\r\n";
}

// The pending lines from the first that did not reach the file whole on are
// lost.
void LogWriter::lose_pending(std::size_t written, std::uint32_t error) noexcept {
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
      reason = platform::error_description(error);
    } catch (...) {
      // The count matters more than its cause.
    }
    lost_.add(pending_lines_ - whole, line_stamp({data + first, ends[whole] - first}),
              line_stamp({data + last, pending_size_ - last}), reason);
  }
  pending_size_ = 0;
  pending_lines_ = 0;
}

// A note that cannot be read is left alone.
void LogWriter::read_lost_note() { note_counted_ = lost_.add_note(disk_->read_note(note_path_)); }

void LogWriter::close() noexcept {
  if (path_.empty()) return;
  flush();
  if (pending_size_ > 0) lose_pending(0, disk_->error());
  if (lost_.count() > 0) {
    bool noted = false;
    try {
      noted = disk_->write_note(note_path_, lost_.note());
    } catch (...) {
      // Reported below.
    }
    if (!noted) report_log_failure("the count of lost log lines could not be kept");
  }
  disk_->close();
  path_.clear();
}

}  // namespace vmrsmgr
