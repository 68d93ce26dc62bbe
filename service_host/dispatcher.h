#pragma once

namespace vmrsmgr {

class Config;

// Run mode: hands the main thread to the service control dispatcher with
// ServiceMain for the service named in the settings. Returns the exit code:
// 0 once the service has stopped, 1 when the dispatcher cannot start.
int run_service_dispatcher(Config& config);

}  // namespace vmrsmgr
