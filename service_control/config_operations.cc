#include "service_control/service_operations.h"
#include "service_control/system_api.h"
#include "settings/config.h"
#include "settings/keys.h"

namespace vmrsmgr {

int Config::install_service() { return vmrsmgr::install_service(tree_, real_system_api()); }
int Config::uninstall_service() { return vmrsmgr::uninstall_service(tree_, real_system_api()); }
int Config::start_service() {
  // A start that fails names the service's log file, if it has one.
  tree_.put(keys::kLogFile, service_log_file());
  return vmrsmgr::start_service(tree_, real_system_api());
}
int Config::stop_service() { return vmrsmgr::stop_service(tree_, real_system_api()); }
int Config::service_status() { return vmrsmgr::service_status(tree_, real_system_api()); }

}  // namespace vmrsmgr
