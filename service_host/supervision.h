#pragma once

#include "logging/logger.h"
#include "service_host/service_events.h"
#include "service_host/service_status.h"
#include "settings/service_settings.h"

namespace vmrsmgr {

// Runs the component's command until it ends or a stop is requested, logging
// what it prints a record a line; reports running once it was launched, and
// ends the component at a stop. Tells the event log of the component's start
// and end. Returns the exit codes to report; nothing of the component runs by
// then.
ServiceExit run_component(Logger& log, ServiceStatus& status, ServiceEvents& events,
                          const ComponentCommand& command);

}  // namespace vmrsmgr
