#include "settings/config.h"

// Placeholder until service control lands: every operation fails.
namespace vmrsmgr {
int Config::install_service() { return 1; }
int Config::uninstall_service() { return 1; }
int Config::start_service() { return 1; }
int Config::stop_service() { return 1; }
int Config::service_status() { return 1; }
}  // namespace vmrsmgr
