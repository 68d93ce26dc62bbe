#include "logging/log_settings.h"

namespace vmrsmgr {

std::string log_file_name(const std::string& service_name) { return service_name + ".vmrsmgr.log"; }

boost::filesystem::path log_file_path(const LogSettings& settings) {
  return boost::filesystem::path(settings.folder) / settings.file_name;
}

}  // namespace vmrsmgr
