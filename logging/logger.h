#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "logging/log_disk.h"
#include "logging/log_line.h"
#include "logging/log_settings.h"
#include "logging/log_writer.h"
#include "logging/lost_lines.h"
#include "logging/sleep_flag.h"
#include "logging/slot_ring.h"

namespace vmrsmgr {

// Asynchronous file logger of the service process. Producers hand a message
// over through a lock-free ring of slots and return at once; the logger's own
// thread makes the time-stamped lines and gives them to its LogWriter, which
// writes and rotates the file.
class Logger {
 public:
  static constexpr int kSlots = 32;
  static constexpr std::size_t kSlotSize = kMaxLineSize;
  static constexpr std::string_view kErrorTag = "[error] ";
  static constexpr std::string_view kDebugTag = "[debug] ";
  static constexpr std::string_view kTraceTag = "[trace] ";
  // The most bytes of a message handed to trace() that one record carries
  // whole: the slot also holds the longest time stamp, a blank, the tag and
  // the line end.
  static constexpr std::size_t kTraceMessageRoom = kSlotSize - kMaxTimeStamp -
                                                   std::string_view(" ").size() - kTraceTag.size() -
                                                   std::string_view("\r\n").size();
  // Why lines that limit_waits() gave up on are lost.
  static constexpr std::string_view kNoRoomReason = "the log did not take them in time";

  Logger();
  // Writes and removes through disk: tests make it fail.
  explicit Logger(std::unique_ptr<LogDisk> disk);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Who hears of the log's troubles; set before start.
  void observe(LogObserver observer) { writer_.observe(std::move(observer)); }
  // Opens the log file and starts the thread: 0. -1, with nothing started,
  // when the file can never be written there (a missing folder, a folder
  // that is a file or a device, a folder under the file's name, a name too
  // long); start_error() then says why. A file that another program holds
  // for now, or a disk without room, does not fail: lines are counted until
  // the file can be written. The folder is taken as given.
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
  // From now on a producer that finds every slot in flight, one waiting
  // already too, waits at most limit for one, then counts its line as lost;
  // later lines are lost at once while the slots stay full.
  void limit_waits(std::chrono::milliseconds limit) noexcept;
  // Returns once every line handed over before the call is in the file (or
  // counted as lost); the thread goes on for later lines. A file that cannot
  // be opened is tried once, and no call waits longer than kDrainLimit.
  void drain();
  static constexpr std::chrono::seconds kDrainLimit{3};
  // Writes every line already handed over, then ends the thread; lines
  // handed over from then on are dropped. A second call, from any thread,
  // returns only once the first has done so. There is no start after it.
  void stop();

  void operator()();  // the thread body

 private:
  friend struct LoggerTestAccess;
  using Ring = SlotRing<static_cast<std::size_t>(kSlots), kSlotSize>;
  using Record = Ring::Record;

  void hand_over(std::string_view tag, std::string_view message);
  bool wait_for_slot(Ring::Claim& claim);
  void wake_writer();

  // The thread's side.
  void write_lines();
  void take(const Record& record) noexcept;
  void take_until(std::uint64_t ticket) noexcept;
  void count_dropped(std::int64_t before) noexcept;
  bool drain_asked() const noexcept;
  void serve_drain() noexcept;
  void pause();
  void recover(const char* what) noexcept;
  void finish() noexcept;

  // What every producer reads and the thread seldom writes, apart from what
  // the thread writes as it sleeps and wakes: a producer's load of it is
  // then never a cache miss while the thread works.
  static constexpr std::size_t kCacheLine = 64;
  alignas(kCacheLine) std::atomic<int> level_{0};
  // From start until the stop.
  std::atomic<bool> accepting_{false};
  // Written under mutex_, read by anyone.
  std::atomic<bool> stop_{false};
  // In microseconds; negative while producers wait for a slot without end.
  std::atomic<std::int64_t> wait_limit_{-1};
  // A producer gave up on a slot, and none has had one since.
  std::atomic<bool> overflowing_{false};
  SleepFlag writer_asleep_;
  Ring ring_;

  std::uint32_t start_error_ = 0;
  // How soon lines waiting for their file, or a thread that failed between
  // lines, try again.
  static constexpr std::int64_t kRetryMs = 10;

  alignas(kCacheLine) std::mutex mutex_;
  std::condition_variable wakeup_;
  bool woken_ = false;  // under mutex_
  // The ticket every line before which a drain waits for.
  std::atomic<std::uint64_t> drain_target_{0};
  std::uint64_t drained_to_ = 0;  // under mutex_: lines before it are in the file
  bool running_ = false;          // under mutex_: the thread has not ended
  std::condition_variable drained_;
  std::mutex stop_mutex_;  // one stop at a time
  std::thread thread_;

  DroppedLines dropped_;  // not yet counted
  // Used by the thread only.
  LogWriter writer_;
  std::unique_ptr<char[]> line_;  // the line being written
  std::int64_t last_moment_ = 0;  // of the last line: none goes back before it
  std::uint64_t drains_seen_ = 0;
};

}  // namespace vmrsmgr
