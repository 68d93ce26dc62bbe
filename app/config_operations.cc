#include <iostream>
#include <string>

#include "service_control/service_operations.h"
#include "service_control/system_api.h"
#include "settings/config.h"
#include "settings/read_settings.h"

// Config's service operations: each turns the settings into the typed values
// of its operation and runs it against the real system.
namespace vmrsmgr {

int Config::install_service() {
  return vmrsmgr::install_service(service_definition(tree_), real_system_api());
}
int Config::uninstall_service() {
  return vmrsmgr::uninstall_service(service_name(tree_), real_system_api());
}
int Config::start_service() {
  // A start that fails names what is at fault, as the service finds it; a
  // setting the service ignores is named whatever the start's result.
  const int result =
      vmrsmgr::start_service(service_name(tree_), service_files(), real_system_api());
  for (const std::string& notice : config_notices_) std::cerr << notice << std::endl;
  return result;
}
int Config::stop_service() { return vmrsmgr::stop_service(service_name(tree_), real_system_api()); }
int Config::service_status() {
  return vmrsmgr::service_status(service_name(tree_), real_system_api());
}

}  // namespace vmrsmgr
