#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "logging/log_disk.h"

namespace vmrsmgr {

// The rotation number that a log file carries after the log's file name: an
// optional sign and decimal digits within the signed 64-bit range. Any other
// suffix, the empty one of the current log included, carries none.
std::optional<std::int64_t> rotation_number(std::string_view suffix);

// What remove_old_logs did, and the number the current log moves to next.
struct OldLogs {
  std::int64_t next_number = 1;
  std::vector<boost::filesystem::path> removed;
  // Those that could not be removed, and why.
  std::vector<std::pair<boost::filesystem::path, boost::system::error_code>> kept;
  // Every log file that is left, the current one included.
  std::set<boost::filesystem::path> left;
};

// Old logs that could not be removed: each is reported once as it stays,
// and once more as it goes at last; one that went by other hands is
// forgotten.
struct OldLogReport {
  boost::filesystem::path path;
  std::string reason;  // why it stays; empty once it is removed at last
  std::string text;    // the log's record of it
};

class StuckLogs {
 public:
  // What to report of what remove_old_logs did.
  std::vector<OldLogReport> reports(const OldLogs& old);

 private:
  std::set<boost::filesystem::path> stuck_;
};

// Makes room for the current log file_name of directory to become a numbered
// log: while the log files, the current one included, number max_logs or
// more, removes the numbered log with the lowest number; one that cannot be
// removed stays and still counts, and the next lowest goes instead. The
// current log and one numbered log always stay, whatever max_logs says. Log
// files are the regular files whose names start with file_name; those with a
// negative number, none or the highest number there is count but are never
// removed. The next number is one above the highest present (gaps are not
// filled). Raises the errors of reading the folder.
OldLogs remove_old_logs(const boost::filesystem::path& directory, const std::string& file_name,
                        std::uint64_t max_logs, LogDisk& disk);

// Moves the current log to its number, replacing a file of that name.
// Raises the file system's error when it cannot be moved.
void move_current_log(const boost::filesystem::path& directory, const std::string& file_name,
                      std::int64_t number, LogDisk& disk);

}  // namespace vmrsmgr
