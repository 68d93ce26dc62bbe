#include "logging/rotation.h"

#include <algorithm>

#include <boost/filesystem/operations.hpp>
#include <boost/lexical_cast/try_lexical_convert.hpp>

namespace vmrsmgr {

namespace fs = boost::filesystem;

std::optional<std::int32_t> rotation_number(std::string_view suffix) {
  std::int32_t number = 0;
  if (!boost::conversion::try_lexical_convert(suffix.data(), suffix.size(), number)) return {};
  return number;
}

OldLogs remove_old_logs(const fs::path& directory, const std::string& file_name,
                        std::uint64_t max_logs, LogDisk& disk) {
  std::uint64_t count = 0;
  std::int64_t highest = 0;
  std::vector<std::pair<std::int32_t, fs::path>> numbered;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    if (!fs::is_regular_file(entry.status())) continue;
    const std::string name = entry.path().filename().string();
    // A prefix, not a substring: reduze-dariri.vmrsmgr.log is no log of dariri.
    if (std::string_view(name).substr(0, file_name.size()) != file_name) continue;
    ++count;
    const std::optional<std::int32_t> number =
        rotation_number(std::string_view(name).substr(file_name.size()));
    if (!number || *number < 0) continue;
    highest = std::max<std::int64_t>(highest, *number);
    numbered.emplace_back(*number, entry.path());  // by its own name: log05 is not log5
  }
  std::sort(numbered.begin(), numbered.end());

  OldLogs old;
  old.next_number = highest + 1;
  // After the move the new current log makes the count one more again.
  const std::uint64_t limit = std::max<std::uint64_t>(max_logs, 2);
  for (const auto& candidate : numbered) {
    if (count < limit) break;
    const fs::path& path = candidate.second;
    if (const boost::system::error_code error = disk.remove(path)) {
      old.kept.emplace_back(path, error);
    } else {
      old.removed.push_back(path);
      --count;
    }
  }
  return old;
}

void move_current_log(const fs::path& directory, const std::string& file_name,
                      std::int64_t number) {
  fs::rename(directory / file_name, directory / (file_name + std::to_string(number)));
}

}  // namespace vmrsmgr
