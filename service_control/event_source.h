#pragma once

#include <string>

#include "service_control/system_api.h"

namespace vmrsmgr {

// Where the event log finds a source's messages.
std::wstring event_source_key(const std::string& service_name);

// Registers the service's event source with the program (its full path) as
// its message file. A source that cannot be registered is reported on
// standard output; the service runs without it, so the answer is only the
// error code (0 when registered).
DWORD register_event_source(const std::string& service_name, const std::wstring& program,
                            SystemApi& api);

// Removes the service's event source; one that is not there is no failure
// (a service installed by an older release has none). Reported like the
// registration.
DWORD remove_event_source(const std::string& service_name, SystemApi& api);

}  // namespace vmrsmgr
