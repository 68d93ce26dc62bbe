#pragma once

#include <windows.h>
#include <ntsecapi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service_control/status_code.h"
#include "service_control/system_api.h"
#include "settings/service_settings.h"

namespace vmrsmgr {

// The service operations behind Config's; each returns its result code.
int install_service(const ServiceDefinition& service, SystemApi& api);
int uninstall_service(const std::string& service_name, SystemApi& api);
// files: what the service finds when it starts, for the report when it did not.
int start_service(const std::string& service_name, const ServiceFiles& files, SystemApi& api);
int stop_service(const std::string& service_name, SystemApi& api);
int service_status(const std::string& service_name, SystemApi& api);

// Why a ZPC cannot name a configuration of the control component, whose
// command line it ends, and the service after it; empty when it can.
std::string zpc_refusal(const std::string& zpc);

// The longest service name whose log files, numbered ones included, have
// names Windows takes (255 characters).
std::size_t longest_service_name();

// The SID of an account name, as the one-element array the system allocated.
// When the name cannot be translated it prints the report and holds nothing.
LsaMemory<LSA_TRANSLATED_SID2> lookup_account_sid(SystemApi& api, LSA_HANDLE policy,
                                                  std::wstring name);

// What the manager runs for the service: "<path>" -s <name>.
std::wstring service_command_line(const std::wstring& executable, const std::string& service_name);

// A registered command line as the manager and the program read it.
struct ServiceCommand {
  std::wstring program;
  std::vector<std::wstring> arguments;
};
ServiceCommand split_service_command(std::wstring_view line);

// Whether the command line runs a vmrsmgr.exe, of any folder, as the service
// of this name; names and the program's file name compare case-insensitively.
bool runs_as_service(std::wstring_view command_line, const std::string& service_name);

// The status operation's answer for a state found.
struct StateReport {
  StatusCode code;
  std::string message;
};
StateReport describe_state(DWORD state);

// What a stop that ended in another state than stopped found instead, such
// as "the service is running again".
std::string describe_unexpected_state(DWORD state);

// A service is given up on when its check point has not moved for the
// longer of its wait hint and this.
inline constexpr std::uint64_t kMinimumPendingWait = 30000;
// and, whatever the service reports, after this long in the pending state.
inline constexpr std::uint64_t kLongestPendingWait = 180000;

struct WaitResult {
  SERVICE_STATUS status;  // the state last stored
  DWORD error;            // the last error when the wait ended
};

// Polls every interval while the service is in the pending state, writing a
// dot for each poll that still finds it there. Ends on another state, a
// failed query, a service whose check point stopped moving, or after the
// longest wait (the last two with ERROR_SERVICE_REQUEST_TIMEOUT).
WaitResult wait_while_pending(SystemApi& api, SC_HANDLE service, SERVICE_STATUS status,
                              DWORD pending, DWORD interval);

}  // namespace vmrsmgr
