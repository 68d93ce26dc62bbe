#pragma once

#include <windows.h>

namespace vmrsmgr {

// The service's entry: the dispatcher runs it on a thread of its own with the
// service's name as the first argument. Returns once the service has stopped.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// The handler the service registers for control requests.
void WINAPI service_control_handler(DWORD control);

}  // namespace vmrsmgr
