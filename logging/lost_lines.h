#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/log_line.h"

namespace vmrsmgr {

// The name of the note beside the log file_name that keeps the count of lines
// a run could not write, for the next run: "dariri.vmrsmgr.lost" beside
// "dariri.vmrsmgr.log", a name the rotation never takes for a log.
std::string lost_lines_note(const std::string& file_name);

// The ledger of lines that could not be written: how many, the time stamps
// of the first and the last, and the latest cause.
class LostLines {
 public:
  // The longest text of record().
  static constexpr std::size_t kRecordSize = 512;

  void add(std::uint64_t lines, std::string_view first, std::string_view last,
           std::string_view reason) noexcept;
  std::uint64_t count() const noexcept { return count_; }
  std::string_view first() const noexcept { return first_.view(); }
  void clear() noexcept { count_ = 0; }
  // "<n> log lines were lost from <first> to <last>: <reason>" in out.
  std::string_view record(char (&out)[kRecordSize]) const noexcept;
  // The ledger as one line of a note kept between runs, and back.
  std::string note() const;
  // Adds the count of a note; false when it holds none.
  bool add_note(const std::string& note);

 private:
  struct Stamp {
    char text[kMaxTimeStamp] = {};
    std::size_t size = 0;
    void set(std::string_view stamp) noexcept;
    std::string_view view() const noexcept { return {text, size}; }
  };

  std::uint64_t count_ = 0;
  Stamp first_;
  Stamp last_;
  char reason_[256] = {};
};

// Lines that producers gave up on, kept for the logger's thread by the
// moments they were given up at.
class DroppedLines {
 public:
  void add(std::int64_t moment);
  bool any() const noexcept { return any_.load(std::memory_order_acquire); }
  // Takes the count when the first line is older than before: false else.
  bool take(std::int64_t before, std::uint64_t& lines, std::int64_t& first, std::int64_t& last);

 private:
  std::atomic<bool> any_{false};
  std::mutex mutex_;
  std::uint64_t lines_ = 0;  // under mutex_
  std::int64_t first_ = 0;   // under mutex_
  std::int64_t last_ = 0;    // under mutex_
};

}  // namespace vmrsmgr
