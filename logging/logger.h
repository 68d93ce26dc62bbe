#pragma once

#include <cstdint>
#include <string>

namespace vmrsmgr {

// Asynchronous file logger of the service process. Producers hand a message
// over through a lock-free queue and return at once; the logger's own thread
// writes time-stamped lines and rotates the file by size.
class Logger {
 public:
  Logger();
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // -1 when the directory does not exist (no thread started), else 0.
  int start(std::string file_name, std::string directory, std::uint64_t rotation_size,
            std::uint64_t max_logs, int level);
  void log(std::string message);    // unconditional, no tag
  void error(std::string message);  // level >= 1
  void debug(std::string message);  // level >= 4
  void trace(std::string message);  // level >= 5
  // Writes every line already handed over, then ends the thread.
  void stop();

  void operator()();  // the thread body
};

}  // namespace vmrsmgr
