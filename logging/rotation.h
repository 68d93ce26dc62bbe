#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/filesystem/path.hpp>

namespace vmrsmgr {

// The rotation number that a log file carries after the log's file name: an
// optional sign and decimal digits within the signed 32-bit range. Any other
// suffix, the empty one of the current log included, carries none.
std::optional<std::int32_t> rotation_number(std::string_view suffix);

// Moves the current log file_name of directory to one above the highest
// rotation number present (gaps are not filled). When the log files, the
// current one included, already number max_logs or more, the numbered log with
// the lowest number is removed first. Log files are the regular files whose
// names start with file_name. Raises the file system's errors.
void rotate_logs(const boost::filesystem::path& directory, const std::string& file_name,
                 std::uint64_t max_logs);

}  // namespace vmrsmgr
