#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <boost/filesystem/path.hpp>
#include <boost/lockfree/queue.hpp>

#include "platform/log_file.h"

namespace boost {
class thread;
}

namespace vmrsmgr {

// Asynchronous file logger of the service process. Producers hand a message
// over through a lock-free queue and return at once; the logger's own thread
// writes time-stamped lines and rotates the file by size.
class Logger {
 public:
  static constexpr int kSlots = 32;
  static constexpr std::size_t kSlotSize = 1024;

  Logger();
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // -1 when the directory does not exist (no thread started), else 0.
  int start(std::string file_name, std::string directory, std::uint64_t rotation_size,
            std::uint64_t max_logs, int level);
  // Messages are copied before these return; none of them allocates. Without
  // a running thread (not started, failed, stopped) the message is dropped.
  void log(std::string_view message);    // unconditional, no tag
  void error(std::string_view message);  // level >= 1
  void debug(std::string_view message);  // level >= 4
  void trace(std::string_view message);  // level >= 5
  // Writes every line already handed over, then ends the thread.
  void stop();

  void operator()();  // the thread body
  // Moves the closed current file to the next rotation number, removing the
  // oldest numbered log beyond the maximum. Raises the file system's errors.
  void rotate();

 private:
  struct Record {
    std::int32_t slot;
    std::uint64_t length;
  };

  void hand_over(std::string_view tag, std::string_view message);
  void wake_writer();
  char* slot(std::int32_t index) const {
    return slots_.get() + static_cast<std::size_t>(index) * kSlotSize;
  }

  // The thread's side.
  void write_lines();
  void write(const Record& record);
  void rotate_file();
  void flush();
  void pause();
  void retire_slots();
  void fail(const char* what);

  std::atomic<int> level_{0};
  std::unique_ptr<char[]> slots_;
  boost::lockfree::queue<Record, boost::lockfree::capacity<kSlots>> lines_;
  boost::lockfree::queue<std::int32_t, boost::lockfree::capacity<kSlots>> free_slots_;
  // Written under mutex_, read by anyone.
  std::atomic<bool> dead_{false};
  std::atomic<bool> stop_{false};
  // From start until the thread has drained its last line.
  std::atomic<bool> accepting_{false};

  std::string file_name_;
  std::string directory_;
  std::uint64_t rotation_size_ = 0;
  std::uint64_t max_logs_ = 0;
  const std::int64_t idle_pause_ms_ = 10;

  std::mutex mutex_;
  std::condition_variable wakeup_;
  std::atomic<bool> writer_asleep_{false};
  std::unique_ptr<boost::thread> thread_;

  // Used by the thread only.
  std::uint64_t written_ = 0;
  boost::filesystem::path path_;
  platform::LogFile file_;
  std::unique_ptr<char[]> pending_;  // lines not yet handed to the file
  std::size_t pending_size_ = 0;
};

}  // namespace vmrsmgr
