#pragma once

#include <string>

namespace vmrsmgr {

// Run mode: hands the main thread to the service control dispatcher with
// ServiceMain for the named service. Returns the exit code: 0 once the
// service has stopped, 1 when the dispatcher cannot start.
int run_service_dispatcher(const std::string& service_name);

}  // namespace vmrsmgr
