#include "logging/rotation.h"

#include <algorithm>
#include <limits>

#include <boost/filesystem/exception.hpp>
#include <boost/lexical_cast/try_lexical_convert.hpp>

#include "platform/last_error.h"

namespace vmrsmgr {

namespace fs = boost::filesystem;

std::optional<std::int64_t> rotation_number(std::string_view suffix) {
  std::int64_t number = 0;
  if (!boost::conversion::try_lexical_convert(suffix.data(), suffix.size(), number)) return {};
  return number;
}

OldLogs remove_old_logs(const fs::path& directory, const std::string& file_name,
                        std::uint64_t max_logs, LogDisk& disk) {
  std::uint64_t count = 0;
  std::int64_t highest = 0;
  OldLogs old;
  std::vector<std::pair<std::int64_t, fs::path>> numbered;
  for (const std::string& name : disk.files(directory)) {
    // A prefix, not a substring: reduze-dariri.vmrsmgr.log is no log of dariri.
    if (std::string_view(name).substr(0, file_name.size()) != file_name) continue;
    ++count;
    old.left.insert(directory / name);
    const std::optional<std::int64_t> number =
        rotation_number(std::string_view(name).substr(file_name.size()));
    // The highest number has no next one: such a log is left alone.
    if (!number || *number < 0 || *number == std::numeric_limits<std::int64_t>::max()) continue;
    highest = std::max(highest, *number);
    numbered.emplace_back(*number, directory / name);  // by its own name: log05 is not log5
  }
  std::sort(numbered.begin(), numbered.end());

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
      old.left.erase(path);
      --count;
    }
  }
  return old;
}

std::vector<OldLogReport> StuckLogs::reports(const OldLogs& old) {
  std::vector<OldLogReport> texts;
  for (const auto& [path, error] : old.kept) {
    if (stuck_.insert(path).second) {
      std::string reason = platform::error_description(error);
      std::string text = "Old log " + path.string() + " could not be removed: " + reason;
      texts.push_back({path, std::move(reason), std::move(text)});
    }
  }
  for (const fs::path& path : old.removed) {
    if (stuck_.erase(path) > 0) {
      texts.push_back({path, {}, "Old log " + path.string() + " was removed at last"});
    }
  }
  for (auto at = stuck_.begin(); at != stuck_.end();) {
    at = old.left.count(*at) > 0 ? std::next(at) : stuck_.erase(at);
  }
  return texts;
}

void move_current_log(const fs::path& directory, const std::string& file_name, std::int64_t number,
                      LogDisk& disk) {
  const fs::path from = directory / file_name;
  const fs::path to = directory / (file_name + std::to_string(number));
  if (const boost::system::error_code error = disk.rename(from, to)) {
    throw fs::filesystem_error("boost::filesystem::rename", from, to, error);
  }
}

}  // namespace vmrsmgr
