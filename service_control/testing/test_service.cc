// A tiny Windows service for the tests of service control. Registered as
//   "test_service.exe" <behaviour> <service name>
// or, as a copy named vmrsmgr.exe that stop and uninstall take for theirs,
//   "vmrsmgr.exe" -s <service name> <behaviour>
// it reports its states with check points the way a real service does:
//   normal        start pending, running; on stop, stop pending, stopped
//   fail-start    start pending, then stopped with an error
//   stop-at-once  stopped with ERROR_BAD_CONFIGURATION, before any other report
//   stay-pending  start pending until it is told to stop

#include <windows.h>

#include <string>

#include "platform/handles.h"

namespace {

constexpr DWORD kStep = 200;

std::string g_behaviour;
std::wstring g_name;
vmrsmgr::platform::unique_handle g_stop_requested;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status{};

void report(DWORD state, DWORD checkpoint, DWORD accepted) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = accepted;
  g_status.dwCheckPoint = checkpoint;
  g_status.dwWaitHint = checkpoint == 0 ? 0 : 3000;
  ::SetServiceStatus(g_status_handle, &g_status);
}

DWORD WINAPI handle_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      ::SetEvent(g_stop_requested.get());
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void stop_in_steps() {
  report(SERVICE_STOP_PENDING, 1, 0);
  ::Sleep(kStep);
  report(SERVICE_STOP_PENDING, 2, 0);
  ::Sleep(kStep);
  report(SERVICE_STOPPED, 0, 0);
}

void WINAPI service_main(DWORD, wchar_t**) {
  g_status_handle = ::RegisterServiceCtrlHandlerExW(g_name.c_str(), handle_control, nullptr);
  if (g_status_handle == nullptr) return;

  if (g_behaviour == "stop-at-once") {
    g_status.dwWin32ExitCode = ERROR_BAD_CONFIGURATION;
    report(SERVICE_STOPPED, 0, 0);
    return;
  }
  if (g_behaviour == "stay-pending") {
    report(SERVICE_START_PENDING, 1, SERVICE_ACCEPT_STOP);
    ::WaitForSingleObject(g_stop_requested.get(), INFINITE);
    stop_in_steps();
    return;
  }
  report(SERVICE_START_PENDING, 1, 0);
  ::Sleep(kStep);
  if (g_behaviour == "fail-start") {
    g_status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = 1;
    report(SERVICE_STOPPED, 0, 0);
    return;
  }
  report(SERVICE_START_PENDING, 2, 0);
  ::Sleep(kStep);
  report(SERVICE_RUNNING, 0, SERVICE_ACCEPT_STOP);
  ::WaitForSingleObject(g_stop_requested.get(), INFINITE);
  stop_in_steps();
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool as_vmrsmgr = argc > 1 && std::string(argv[1]) == "-s";
  if (argc < (as_vmrsmgr ? 4 : 3)) return 2;
  g_behaviour = argv[as_vmrsmgr ? 3 : 1];
  g_name.assign(argv[2], argv[2] + std::char_traits<char>::length(argv[2]));
  g_stop_requested.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  SERVICE_TABLE_ENTRYW table[] = {{g_name.data(), service_main}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
