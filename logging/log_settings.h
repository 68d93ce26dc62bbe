#pragma once

#include <cstdint>
#include <string>

#include <boost/filesystem/path.hpp>

namespace vmrsmgr {

// The lowest level at which each kind of line is written; lines of
// Logger::log are written at any level.
enum LogLevel : int { kLevelError = 1, kLevelDebug = 4, kLevelTrace = 5 };

// Where and how a service process logs.
struct LogSettings {
  std::string folder;     // of the log files: a full path, taken as given
  std::string file_name;  // of the current log, without folder
  std::uint64_t rotation_size = 0;
  std::uint64_t max_logs = 0;  // log files kept, the current one included
  int level = 0;
};

// The name of a service's current log: "<service>.vmrsmgr.log".
std::string log_file_name(const std::string& service_name);

// The current log: the folder and the file name.
boost::filesystem::path log_file_path(const LogSettings& settings);

}  // namespace vmrsmgr
