#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/filesystem/path.hpp>

#include "logging/log_disk.h"
#include "logging/log_line.h"
#include "logging/log_settings.h"
#include "logging/lost_lines.h"
#include "logging/rotation.h"
#include "platform/clock.h"

namespace vmrsmgr {

// What can go wrong with the log, as the event log hears of it.
enum class LogTrouble {
  kCannotOpen,    // the current log cannot be opened or created
  kCannotWrite,   // a write to it failed
  kCannotRotate,  // it cannot be moved to its number
  kLinesLost,     // lines were lost, now counted in the log
  kOldLogStays,   // an old log cannot be removed
};
// Called on the logger's thread with the file the trouble is about (the
// current log, or an old one) and why: the system's text, or for lost lines
// the record the log gets. It must not throw.
using LogObserver =
    std::function<void(LogTrouble, const std::string& file, const std::string& reason)>;

// Writes "EXEPTION: " and what on standard error.
void report_log_failure(const char* what) noexcept;

// The file side of the logger, owned by its thread: gathers lines, hands
// them to the file in few writes, rotates the file by size, and keeps the
// ledger of lines that could not be written, whose count goes into the log
// once it can be written again - in the next run's log when this run ends
// first. Time stamps never go back within a file, and every line stays one
// line of the file, even around lines that could not be written.
class LogWriter {
 public:
  using Clock = std::function<platform::MonotonicClock::time_point()>;

  // Writes, moves and removes through disk; clock paces the retries of a
  // rotation that failed.
  explicit LogWriter(std::unique_ptr<LogDisk> disk, Clock clock = platform::MonotonicClock::now);
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  void observe(LogObserver observer) { observer_ = std::move(observer); }

  // Opens the current log: 0, or the system's error code when the log can
  // never be written there (a missing folder, a folder that is a file or a
  // device, a name too long). A file that another program holds, or a disk
  // without room, does not fail: lines are counted until the file can be
  // written. Counts the lines a run before could not write.
  std::uint32_t open(const LogSettings& settings);
  // A line of compose_line, time stamp first.
  void write(std::string_view line) noexcept;
  // Lines that never reached the writer: how many, the time stamps of the
  // first and the last, and why. Older lines already given come first.
  void count_lost(std::uint64_t lines, std::string_view first, std::string_view last,
                  std::string_view reason) noexcept;
  // Hands what waits to the file, opening it first when needed.
  void flush() noexcept;
  // Whether lines or a count of lost lines wait for the file.
  bool waiting() const noexcept { return pending_size_ > 0 || lost_.count() > 0; }
  // Writes what it can and closes the file. The count of what could not be
  // written is noted beside the log for the next run.
  void close() noexcept;

  // How often a rotation that failed is tried again, at the latest, and the
  // least growth that has it tried sooner: with a tiny rotation size, a held
  // log would otherwise be tried on every line.
  static constexpr std::chrono::seconds kRotationRetry{1};
  static constexpr std::uint64_t kLeastRetryGrowth = 64 * 1024;

 private:
  bool open_file();
  bool rotation_due(std::size_t length) const;
  void rotate_file(std::string_view line);
  void rotate(std::string_view stamp);
  void report(std::string_view stamp, const std::string& text);
  void tell(LogTrouble trouble, const std::string& file, const std::string& reason) noexcept;
  void fail(LogTrouble trouble, std::uint32_t error) noexcept;
  void append(const char* line, std::size_t length);
  void flush_pending();
  std::size_t write_out(const char* data, std::size_t size, bool& whole);
  bool write_lost_line();
  void end_cut_line(std::string_view written_part) noexcept;
  void lose_pending(std::size_t written, std::uint32_t error) noexcept;
  void lose_line(std::string_view line, const char* what) noexcept;
  void read_lost_note();

  std::unique_ptr<LogDisk> disk_;
  Clock clock_;
  LogObserver observer_;
  LogSettings settings_;
  boost::filesystem::path path_;
  // The note of lines lost at the end of a run, beside the log: for
  // "dariri.vmrsmgr.log" it is "dariri.vmrsmgr.lost", which the rotation
  // never counts.
  boost::filesystem::path note_path_;
  // Bytes of the current file that count toward the rotation size: those
  // written to it, less the line that began it after a rotation.
  std::int64_t counted_ = 0;
  bool sized_ = false;  // counted_ starts at the size an earlier run left
  // The last open or write failed: nothing rotates until a write succeeds.
  bool failing_ = false;
  // What a line that a failed write cut off still needs to end.
  std::string_view line_end_due_;
  std::unique_ptr<char[]> pending_;  // lines not yet handed to the file
  std::size_t pending_size_ = 0;
  std::unique_ptr<std::uint32_t[]> pending_ends_;  // where each pending line ends
  std::size_t pending_lines_ = 0;
  // Lines dropped since the file was last written.
  LostLines lost_;
  // The note of an earlier run was counted: it goes once the count is in
  // the log.
  bool note_counted_ = false;
  StuckLogs stuck_logs_;
  // The current log could not be moved: reported once until a move
  // succeeds, and tried again after a further rotation size or a while.
  bool move_failing_ = false;
  std::int64_t retry_size_ = 0;
  platform::MonotonicClock::time_point retry_time_;
};

}  // namespace vmrsmgr
