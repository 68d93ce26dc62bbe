#pragma once

// What the Windows tests need of the real system: programs run with their
// output captured, services of the build's Wine prefix, running processes.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service_control/system_api.h"

namespace vmrsmgr::testing {

// The tests talk to the service manager directly, through the product's
// owner of its handles.
inline ServiceHandle owned(SC_HANDLE handle) { return ServiceHandle(handle, {&real_system_api()}); }

// The same text without its carriage returns: the C runtime writes \r\n for
// \n to files and pipes.
std::string without_carriage_returns(std::string text);

// What the last-error report prints for a code, line ends as \n.
std::string error_report(DWORD code);

// The folder of the running program, with its trailing backslash: the build
// puts the test programs beside the tests.
std::string program_folder();

// The program that stands in for the components; the build puts it beside
// vmrsmgr.exe and the tests.
inline std::string test_component() { return program_folder() + "test_component.exe"; }

// What a program printed, and how it ended.
struct Outcome {
  int exit_code = -1;
  std::string output;  // standard output, with standard error unless apart
  std::string errors;  // standard error when apart
};

enum class Streams { merged, apart };

// Runs a command line and waits for it, at most timeout_ms; a program that
// cannot be started, or still runs then and is ended, has exit code -1. Line
// ends of the output are normalised to \n.
Outcome run_command(const std::wstring& command_line, DWORD timeout_ms = 60000,
                    Streams streams = Streams::merged);

ServiceHandle open_manager(DWORD rights = SC_MANAGER_CONNECT);
ServiceHandle open_service(const std::string& name, DWORD rights);

// A service's state as the service manager reports it; state 0 when it
// cannot be queried.
SERVICE_STATUS query_service(const std::string& name);
// Polls until the service is in the state or timeout_ms have passed.
SERVICE_STATUS wait_for_service(const std::string& name, DWORD state, DWORD timeout_ms = 30000);
// Stops the service if it runs and deletes it; nothing when there is none.
void remove_service(const std::string& name);

// Processes running one of these program files, e.g. dariri.exe.
std::vector<std::uint32_t> processes_named(const std::string& exe_name);
// The id of the process that started it; 0 when it does not run.
std::uint32_t parent_of(std::uint32_t id);
// The full path of its program; empty when it cannot be read.
std::wstring program_of(std::uint32_t id);

}  // namespace vmrsmgr::testing
