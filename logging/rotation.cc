#include "logging/rotation.h"

#include <algorithm>
#include <limits>

#include <boost/filesystem/operations.hpp>
#include <boost/lexical_cast/try_lexical_convert.hpp>

#include "logging/logger.h"

namespace vmrsmgr {

namespace fs = boost::filesystem;

std::optional<std::int32_t> rotation_number(std::string_view suffix) {
  std::int32_t number = 0;
  if (!boost::conversion::try_lexical_convert(suffix.data(), suffix.size(), number)) return {};
  return number;
}

void rotate_logs(const fs::path& directory, const std::string& file_name, std::uint64_t max_logs) {
  std::uint64_t count = 0;
  std::int64_t highest = 0;
  std::int64_t lowest = std::numeric_limits<std::int64_t>::max();
  fs::path oldest;
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
    if (*number < lowest) {
      lowest = *number;
      oldest = entry.path();  // by its own name: log05 is not log5
    }
  }
  if (count >= max_logs && !oldest.empty()) fs::remove(oldest);
  fs::rename(directory / file_name, directory / (file_name + std::to_string(highest + 1)));
}

void Logger::rotate() { rotate_logs(settings_.folder, settings_.file_name, settings_.max_logs); }

}  // namespace vmrsmgr
