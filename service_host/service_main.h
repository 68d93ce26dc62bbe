#pragma once

#include <windows.h>

namespace vmrsmgr {

// The service's entry: the dispatcher runs it on a thread of its own with the
// service's name as the first argument. Returns once the service has stopped.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// The handler the service registers for control requests; its context is
// the service's status.
DWORD WINAPI service_control_handler(DWORD control, DWORD event_type, LPVOID event_data,
                                     LPVOID context);

}  // namespace vmrsmgr
