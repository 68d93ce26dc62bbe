#pragma once

#include <cstdint>
#include <string>

#include <boost/filesystem/path.hpp>

namespace vmrsmgr {

struct LogSettings {
  std::string folder;
  std::string file_name;
  std::uint64_t rotation_size;
  std::uint64_t max_logs;
  int level;
};

inline std::string log_file_name(const std::string& service_name) {
  return service_name + ".vmrsmgr.log";
}

inline boost::filesystem::path log_file_path(const LogSettings& settings) {
  return boost::filesystem::path(settings.folder) / settings.file_name;
}

}  // namespace vmrsmgr
