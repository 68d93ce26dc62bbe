#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include <boost/filesystem/path.hpp>

#include "logging/log_disk.h"
#include "logging/log_line.h"
#include "logging/log_settings.h"
#include "logging/slot_ring.h"
#include "logging/rotation.h"

namespace vmrsmgr {

// Asynchronous file logger of the service process. Producers hand a message
// over through a lock-free queue and return at once; the logger's own thread
// writes time-stamped lines and rotates the file by size. Time stamps never go
// back within a file, and every line stays one line of the file, even around
// lines that could not be written.
class Logger {
 public:
  static constexpr int kSlots = 32;
  static constexpr std::size_t kSlotSize = 1024;
  static constexpr std::string_view kErrorTag = "[error] ";
  static constexpr std::string_view kDebugTag = "[debug] ";
  static constexpr std::string_view kTraceTag = "[trace] ";
  // The most bytes of a message handed to trace() that one record carries
  // whole: the slot also holds the longest time stamp, a blank, the tag and
  // the line end.
  static constexpr std::size_t kTraceMessageRoom = kSlotSize - kMaxTimeStamp -
                                                   std::string_view(" ").size() - kTraceTag.size() -
                                                   std::string_view("\r\n").size();

  Logger();
  // Writes and removes through disk: tests make it fail.
  explicit Logger(std::unique_ptr<LogDisk> disk);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Opens the log file and starts the thread: 0. -1, with nothing started,
  // when the file can never be written there (a missing folder, a folder
  // that is a file or a device, a folder under the file's name, a name too
  // long); start_error() then says why. A file that another program holds
  // for now does not fail: its lines wait until it can be opened.
  int start(const LogSettings& settings);
  // Why the last start failed, as the system's error code (a Windows error
  // on Windows): ERROR_PATH_NOT_FOUND for a missing folder, else what
  // opening the file gave. 0 after a start that succeeded.
  std::uint32_t start_error() const { return start_error_; }
  // Messages are copied before these return; none of them allocates. Without
  // a running thread (not started, start failed, stopped) the message is
  // dropped.
  void log(std::string_view message);    // unconditional, no tag
  void error(std::string_view message);  // level >= kLevelError
  void debug(std::string_view message);  // level >= kLevelDebug
  void trace(std::string_view message);  // level >= kLevelTrace
  // Returns once every line handed over before the call is in the file (or
  // counted as lost); the thread goes on for later lines. A file that cannot
  // be opened is tried once, and no call waits longer than kDrainLimit.
  void drain();
  static constexpr std::chrono::seconds kDrainLimit{3};
  // Writes every line already handed over, then ends the thread. A second
  // call, from any thread, returns only once the first has done so.
  void stop();

  void operator()();  // the thread body

 private:
  using Ring = SlotRing<static_cast<std::size_t>(kSlots), kSlotSize>;
  using Record = Ring::Record;
  // A time stamp kept by the thread.
  struct Stamp {
    char text[kMaxTimeStamp] = {};
    std::size_t size = 0;
    void set(std::string_view stamp) noexcept;
    std::string_view view() const noexcept { return {text, size}; }
  };

  void hand_over(std::string_view tag, std::string_view message);
  void wake_writer();
  void announce_sleep();

  // The thread's side.
  void write_lines();
  void take(const Record& record) noexcept;
  bool drain_asked() const noexcept;
  void serve_drain() noexcept;
  // The line of a record, in line_.
  std::string_view compose(const Record& record) noexcept;
  void write_guarded(std::string_view line) noexcept;
  void write(std::string_view line);
  bool rotation_due(std::size_t length) const noexcept;
  void rotate_file(std::string_view line);
  void rotate(std::string_view stamp);
  void report_old_logs(const OldLogs& old, std::string_view stamp);
  void report(std::string_view stamp, const std::string& text);
  void append(const char* line, std::size_t length);
  void flush();
  std::size_t write_out(const char* data, std::size_t size);
  bool write_lost_line();
  void end_cut_line(std::string_view written_part) noexcept;
  void lose_pending(std::size_t written, std::uint32_t error) noexcept;
  void lose(std::uint64_t lines, std::string_view first, std::string_view last,
            std::string_view reason) noexcept;
  void lose_line(std::string_view line, const char* what) noexcept;
  void pause();
  void retire_slots();
  static void report_exception(const char* what) noexcept;
  void recover(const char* what) noexcept;
  void finish() noexcept;

  // What every producer reads and the thread seldom writes, apart from what
  // the thread writes as it sleeps and wakes: a producer's load of it is
  // then never a cache miss while the thread works.
  static constexpr std::size_t kCacheLine = 64;
  alignas(kCacheLine) std::atomic<int> level_{0};
  // From start until the thread has drained its last line.
  std::atomic<bool> accepting_{false};
  // Written under mutex_, read by anyone.
  std::atomic<bool> stop_{false};
  alignas(kCacheLine) std::atomic<bool> writer_asleep_{false};
  Ring ring_;

  LogSettings settings_;
  std::uint32_t start_error_ = 0;
  // How soon lines waiting for their file, or a thread that failed between
  // lines, try again.
  static constexpr std::int64_t kRetryMs = 10;

  alignas(kCacheLine) std::mutex mutex_;
  std::condition_variable wakeup_;
  bool woken_ = false;  // under mutex_
  // Drains asked for, counted; the thread serves the latest it has seen.
  std::atomic<std::uint64_t> drains_asked_{0};
  std::uint64_t drains_served_ = 0;  // under mutex_
  bool running_ = false;             // under mutex_: the thread has not ended
  std::condition_variable drained_;
  std::mutex stop_mutex_;  // one stop at a time
  std::thread thread_;

  // Used by the thread only.
  std::unique_ptr<LogDisk> disk_;
  std::unique_ptr<char[]> line_;  // the line being written
  boost::filesystem::path path_;
  // Bytes of the current file that count toward the rotation size: those
  // written to it, less the line that began it after a rotation.
  std::int64_t counted_ = 0;
  // The last open or write failed: nothing rotates until a write succeeds.
  bool failing_ = false;
  // What a record that a failed write cut off still needs to end its line.
  std::string_view line_end_due_;
  std::uint64_t drains_seen_ = 0;
  std::unique_ptr<char[]> pending_;  // lines not yet handed to the file
  std::size_t pending_size_ = 0;
  std::unique_ptr<std::uint32_t[]> pending_ends_;  // where each pending line ends
  std::size_t pending_lines_ = 0;
  // Lines dropped since the file was last written: how many, the time
  // stamps of the first and the last, and the latest cause.
  std::uint64_t lost_ = 0;
  Stamp lost_first_;
  Stamp lost_last_;
  char lost_reason_[256] = {};
  // Old logs reported as not removable; reported again once they go.
  std::set<boost::filesystem::path> stuck_logs_;
  // The current log could not be moved, reported once until a move succeeds.
  bool move_failing_ = false;
};

}  // namespace vmrsmgr
