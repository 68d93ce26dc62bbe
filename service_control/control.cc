#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "platform/grow_buffer.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "service_control/event_source.h"
#include "service_control/service_operations.h"
#include "service_control/start_failure.h"

// The graphical front end and administrators' scripts match these texts as
// they are: every status names Dariri whatever the component, and "Stoped",
// "Stoping" are spelled so on purpose. Keep them exactly.

namespace vmrsmgr {
namespace {

constexpr DWORD kUninstallAccess = DELETE | WRITE_DAC | SERVICE_STOP | SERVICE_QUERY_STATUS;
constexpr DWORD kStartAccess = SERVICE_START | SERVICE_QUERY_STATUS;
constexpr DWORD kStopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS;

// A service opened with the given rights; the manager is not checked, as
// opening the service through a missing manager fails all the same.
struct OpenedService {
  ServiceHandle manager;
  ServiceHandle service;
};

OpenedService open_service(const std::string& name, SystemApi& api, DWORD access) {
  ServiceHandle manager(api.open_sc_manager(SC_MANAGER_CONNECT), {&api});
  ServiceHandle service(api.open_service(manager.get(), platform::to_wide(name).c_str(), access),
                        {&api});
  return {std::move(manager), std::move(service)};
}

int report_not_opened() {
  return platform::report_failure(std::cout, "Cannot connect to Service", platform::last_error());
}

struct RegisteredCommand {
  DWORD error;
  std::wstring command_line;
};

// The command line the manager runs for the service, read through a handle
// of its own: a caller allowed to stop a service may lack this right.
RegisteredCommand registered_command(SystemApi& api, SC_HANDLE manager, const std::string& name) {
  const ServiceHandle service(
      api.open_service(manager, platform::to_wide(name).c_str(), SERVICE_QUERY_CONFIG), {&api});
  if (!service) return {platform::last_error(), {}};
  std::vector<std::uint64_t> buffer;  // aligned for the record and its texts
  constexpr std::size_t kUnit = sizeof(std::uint64_t);
  // The record is at most 8 KB; the configuration may grow between the calls.
  const platform::Fill fill = platform::grow_to_fit(
      buffer, 0, 64 * 1024 / kUnit, [&](std::uint64_t* data, std::size_t size) {
        auto* config = size == 0 ? nullptr : reinterpret_cast<QUERY_SERVICE_CONFIGW*>(data);
        DWORD needed = 0;
        if (api.query_service_config(service.get(), config, static_cast<DWORD>(size * kUnit),
                                     &needed)) {
          return platform::Fill::fits(size);
        }
        const DWORD error = platform::last_error();
        if (error != ERROR_INSUFFICIENT_BUFFER) return platform::Fill::failed(error);
        return platform::Fill::too_small((needed + kUnit - 1) / kUnit, error);
      });
  if (fill.outcome != platform::Fill::Outcome::kFits) return {fill.error, {}};
  const auto* config =
      buffer.empty() ? nullptr : reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (config == nullptr || config->lpBinaryPathName == nullptr) return {ERROR_SUCCESS, {}};
  return {ERROR_SUCCESS, config->lpBinaryPathName};
}

// What a check that cannot read the configuration does.
enum class Unreadable { kGoesOn, kRefuses };

// Stop and uninstall act only on this program's services, so that a mistyped
// name cannot stop or delete another program's. It is no security boundary:
// where the caller may not read the configuration (every authenticated user
// may stop a service installed under an account), a stop goes on. True, with
// the refusal written, when the operation must leave the service alone.
bool refused_as_foreign(SystemApi& api, SC_HANDLE manager, const std::string& name,
                        Unreadable unreadable) {
  const RegisteredCommand registered = registered_command(api, manager, name);
  if (registered.error == ERROR_ACCESS_DENIED && unreadable == Unreadable::kGoesOn) return false;
  if (registered.error != ERROR_SUCCESS) {
    const std::string message =
        "Cannot read the configuration of the service " + name + ", so it is left as it is";
    platform::report_failure(std::cerr, message.c_str(), registered.error);
    return true;
  }
  if (runs_as_service(registered.command_line, name)) return false;
  std::cerr << "The service " << name << " is not run by vmrsmgr.exe -s " << name
            << " and is left as it is; it runs: " << platform::to_narrow(registered.command_line)
            << std::endl;
  return true;
}

// What a stop request's answer means for the operation that sent it.
enum class StopAnswer {
  kWait,          // the service is stopping: wait for it
  kWaitForStart,  // Windows refuses a stop while the service starts
  kNotRunning,    // nothing to stop
  kFailed,        // the service was not stopped
};

StopAnswer classify_stop(bool accepted, DWORD error, DWORD state) {
  if (accepted) return StopAnswer::kWait;
  // A service that has reported stopped while its process still finishes
  // answers 1061 with the state stopped, not 1062.
  if (error == ERROR_SERVICE_NOT_ACTIVE || state == SERVICE_STOPPED) return StopAnswer::kNotRunning;
  if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
    // Already stopping on another request: the stop is under way.
    if (state == SERVICE_STOP_PENDING) return StopAnswer::kWait;
    if (state == SERVICE_START_PENDING) return StopAnswer::kWaitForStart;
  }
  return StopAnswer::kFailed;
}

// The texts of the two operations that stop a service.
struct StopTexts {
  const char* progress;
  const char* done;
  const char* failed;
  DWORD interval;
};

// The report of a wait that ended in another state than the one hoped for.
int report_wait_failure(const WaitResult& waited, const char* failed) {
  if (waited.error != ERROR_SUCCESS)
    return platform::report_failure(std::cout, failed, waited.error);
  // Left the pending state for another: no error code would say which.
  std::cout << failed << std::endl
            << describe_unexpected_state(waited.status.dwCurrentState) << std::endl;
  return 1;
}

// Sends the stop control and waits for the service to stop; a service that
// is starting is let finish its start first, with the same patience. 0 when
// it has stopped or was not running; 1, with the report written, otherwise.
int stop_and_wait(SystemApi& api, SC_HANDLE service, const StopTexts& texts) {
  SERVICE_STATUS status{};
  bool accepted = api.control_service(service, SERVICE_CONTROL_STOP, &status) != FALSE;
  DWORD error = accepted ? ERROR_SUCCESS : platform::last_error();
  StopAnswer answer = classify_stop(accepted, error, status.dwCurrentState);
  if (answer == StopAnswer::kWaitForStart) {
    std::cout << texts.progress;
    const WaitResult started =
        wait_while_pending(api, service, status, SERVICE_START_PENDING, texts.interval);
    if (started.status.dwCurrentState == SERVICE_STOPPED) {
      std::cout << std::endl << texts.done << std::endl;
      return 0;
    }
    if (started.status.dwCurrentState == SERVICE_START_PENDING || started.error != ERROR_SUCCESS) {
      return report_wait_failure(started, texts.failed);
    }
    accepted = api.control_service(service, SERVICE_CONTROL_STOP, &status) != FALSE;
    error = accepted ? ERROR_SUCCESS : platform::last_error();
    answer = classify_stop(accepted, error, status.dwCurrentState);
    if (answer == StopAnswer::kNotRunning) answer = StopAnswer::kWait;  // stopped meanwhile
  } else if (answer == StopAnswer::kWait) {
    std::cout << texts.progress;
  }
  switch (answer) {
    case StopAnswer::kNotRunning:
      return 0;
    case StopAnswer::kFailed:
    case StopAnswer::kWaitForStart:
      return platform::report_failure(std::cout, texts.failed, error);
    case StopAnswer::kWait:
      break;
  }
  const WaitResult waited =
      wait_while_pending(api, service, status, SERVICE_STOP_PENDING, texts.interval);
  if (waited.status.dwCurrentState != SERVICE_STOPPED) {
    return report_wait_failure(waited, texts.failed);
  }
  std::cout << std::endl << texts.done << std::endl;
  return 0;
}

// How long a service that did not start may take to reach the stopped
// state, where its exit code can be read: one that a stop reached first
// ends its component before.
constexpr int kExitPolls = 100;
constexpr DWORD kExitPollInterval = 100;

// Why a service that did not start ended: once it has stopped, its exit code
// as the last-error report (with the service's own code for 1066), the cause
// it names, and the log file it may have written.
void report_exit(SystemApi& api, SC_HANDLE service, SERVICE_STATUS status,
                 const ServiceFiles& files) {
  for (int poll = 0; poll < kExitPolls && status.dwCurrentState != SERVICE_STOPPED; ++poll) {
    api.sleep(kExitPollInterval);
    if (!api.query_service_status(service, &status)) return;
  }
  if (status.dwCurrentState != SERVICE_STOPPED) return;
  if (status.dwWin32ExitCode != NO_ERROR) platform::print_error(status.dwWin32ExitCode);
  if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
    std::cout << "Service-specific exit code: " << status.dwServiceSpecificExitCode << std::endl;
  }
  const std::string cause =
      explain_stop(status.dwWin32ExitCode, status.dwServiceSpecificExitCode, files);
  if (!cause.empty()) std::cout << cause << std::endl;
  boost::system::error_code unknown;
  if (!files.log_file.empty() && boost::filesystem::exists(files.log_file, unknown)) {
    std::cout << "Log file: " << files.log_file << std::endl;
  }
}

}  // namespace

std::string describe_unexpected_state(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING:
      return "the service is running again";
    case SERVICE_START_PENDING:
      return "the service is starting again";
    case SERVICE_PAUSED:
      return "the service is paused";
    case SERVICE_PAUSE_PENDING:
      return "the service is pausing";
    case SERVICE_CONTINUE_PENDING:
      return "the service is continuing";
    default:
      return "the service is in state " + std::to_string(state);
  }
}

namespace {

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

wchar_t fold(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool same_folded(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](wchar_t x, wchar_t y) { return fold(x) == fold(y); });
}

bool ends_folded(std::wstring_view text, std::wstring_view end) {
  return text.size() >= end.size() && same_folded(text.substr(text.size() - end.size()), end);
}

}  // namespace

ServiceCommand split_service_command(std::wstring_view line) {
  ServiceCommand command;
  std::size_t at = 0;
  while (at < line.size() && is_blank(line[at])) ++at;
  // The program: a quoted path to its closing quote; an unquoted one to the
  // first blank after ".exe", as the manager tries each blank in turn (or to
  // the first blank when no ".exe" follows).
  if (at < line.size() && line[at] == L'"') {
    const std::size_t close = line.find(L'"', at + 1);
    const std::size_t end = close == std::wstring_view::npos ? line.size() : close;
    command.program = line.substr(at + 1, end - at - 1);
    at = close == std::wstring_view::npos ? line.size() : close + 1;
  } else {
    std::size_t first_blank = line.find_first_of(L" \t", at);
    if (first_blank == std::wstring_view::npos) first_blank = line.size();
    std::size_t end = first_blank;
    for (std::size_t blank = first_blank;; blank = line.find_first_of(L" \t", blank + 1)) {
      if (blank == std::wstring_view::npos) blank = line.size();
      if (ends_folded(line.substr(at, blank - at), L".exe")) {
        end = blank;
        break;
      }
      if (blank == line.size()) break;
    }
    command.program = line.substr(at, end - at);
    at = end;
  }
  // The arguments, by the C runtime's rules: 2n backslashes before a quote
  // are n and the quote opens or closes; 2n+1 are n and a quote; "" within
  // quotes is a quote.
  while (true) {
    while (at < line.size() && is_blank(line[at])) ++at;
    if (at == line.size()) break;
    std::wstring argument;
    bool quoted = false;
    while (at < line.size() && (quoted || !is_blank(line[at]))) {
      std::size_t backslashes = 0;
      for (; at < line.size() && line[at] == L'\\'; ++at) ++backslashes;
      if (at < line.size() && line[at] == L'"') {
        argument.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          argument += L'"';
        } else if (quoted && at + 1 < line.size() && line[at + 1] == L'"') {
          argument += L'"';
          ++at;
        } else {
          quoted = !quoted;
        }
        ++at;
      } else {
        argument.append(backslashes, L'\\');
        if (at < line.size() && (quoted || !is_blank(line[at]))) argument += line[at++];
      }
    }
    command.arguments.push_back(std::move(argument));
  }
  return command;
}

bool runs_as_service(std::wstring_view command_line, const std::string& service_name) {
  const ServiceCommand command = split_service_command(command_line);
  const std::size_t slash = command.program.find_last_of(L"\\/");
  const std::wstring_view file = slash == std::wstring::npos
                                     ? std::wstring_view(command.program)
                                     : std::wstring_view(command.program).substr(slash + 1);
  if (!same_folded(file, L"vmrsmgr.exe")) return false;
  const std::wstring name = platform::to_wide(service_name);
  for (std::size_t i = 0; i + 1 < command.arguments.size(); ++i) {
    if (command.arguments[i] == L"-s" && same_folded(command.arguments[i + 1], name)) return true;
  }
  return false;
}

StateReport describe_state(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING:
      return {kStatusRunning, "Dariri service is running"};
    case SERVICE_STOPPED:
      return {kStatusStopped, "Dariri service is not running"};
    case SERVICE_STOP_PENDING:
      return {kStatusStopping, "Dariri service is stopping"};
    case SERVICE_START_PENDING:
      return {kStatusStarting, "Dariri service is starting"};
    default:
      return {kStatusUnknown, "Dariri service has unknown status " + std::to_string(state)};
  }
}

WaitResult wait_while_pending(SystemApi& api, SC_HANDLE service, SERVICE_STATUS status,
                              DWORD pending, DWORD interval) {
  DWORD checkpoint = status.dwCheckPoint;
  const std::uint64_t started_at = api.tick_count();
  std::uint64_t progress_at = started_at;
  for (bool first = true;; first = false) {
    if (!first) std::cout << '.' << std::flush;
    api.sleep(interval);
    SERVICE_STATUS queried{};
    if (!api.query_service_status(service, &queried)) return {status, platform::last_error()};
    status = queried;
    if (status.dwCurrentState != pending) return {status, ERROR_SUCCESS};

    const std::uint64_t now = api.tick_count();
    // Neither a moving check point nor a huge hint keeps the caller forever.
    if (now - started_at >= kLongestPendingWait) return {status, ERROR_SERVICE_REQUEST_TIMEOUT};
    if (status.dwCheckPoint != checkpoint) {
      checkpoint = status.dwCheckPoint;
      progress_at = now;
    } else if (now - progress_at >=
               std::max<std::uint64_t>(status.dwWaitHint, kMinimumPendingWait)) {
      return {status, ERROR_SERVICE_REQUEST_TIMEOUT};
    }
  }
}

int uninstall_service(const std::string& service_name, SystemApi& api) {
  const OpenedService opened = open_service(service_name, api, kUninstallAccess);
  if (!opened.service) return report_not_opened();
  if (refused_as_foreign(api, opened.manager.get(), service_name, Unreadable::kRefuses)) {
    return 1;
  }

  if (stop_and_wait(api, opened.service.get(),
                    {"Stopping Service", "Service Stoped", "Service Stoping error", 500}) != 0) {
    return 1;
  }
  if (!api.delete_service(opened.service.get())) {
    return platform::report_failure(std::cout, "Service Uninstalling error",
                                    platform::last_error());
  }
  std::cout << "Dariri service uninstalled successfully." << std::endl;
  remove_event_source(service_name, api);
  return 0;
}

int start_service(const std::string& service_name, const ServiceFiles& files, SystemApi& api) {
  const ServiceHandle manager(api.open_sc_manager(SC_MANAGER_CONNECT), {&api});
  if (!manager)
    return platform::report_failure(std::cout, "Cannot connect to Service manager ",
                                    platform::last_error());
  const ServiceHandle service(
      api.open_service(manager.get(), platform::to_wide(service_name).c_str(), kStartAccess),
      {&api});
  if (!service) return report_not_opened();
  if (!api.start_service(service.get())) {
    const DWORD error = platform::last_error();
    platform::report_failure(std::cout, "Service Starting error", error);
    // Wine's answer when the service stopped before its first report.
    if (error == ERROR_SERVICE_REQUEST_TIMEOUT) {
      report_exit(api, service.get(), SERVICE_STATUS{}, files);
    }
    return 1;
  }

  std::cout << "Starting Dariri service";
  const WaitResult waited =
      wait_while_pending(api, service.get(), SERVICE_STATUS{}, SERVICE_START_PENDING, 100);
  std::cout << std::endl;
  if (waited.status.dwCurrentState != SERVICE_RUNNING) {
    std::cout << "Service Starting error" << std::endl;
    if (waited.error == ERROR_SERVICE_REQUEST_TIMEOUT) platform::print_error(waited.error);
    report_exit(api, service.get(), waited.status, files);
    return 1;
  }
  std::cout << "Start Complete" << std::endl;
  return 0;
}

int stop_service(const std::string& service_name, SystemApi& api) {
  const OpenedService opened = open_service(service_name, api, kStopAccess);
  if (!opened.service) return report_not_opened();
  if (refused_as_foreign(api, opened.manager.get(), service_name, Unreadable::kGoesOn)) return 1;
  return stop_and_wait(api, opened.service.get(),
                       {"Stopping Dariri service", "Stop Complete", "Service stoping error", 100});
}

int service_status(const std::string& service_name, SystemApi& api) {
  const OpenedService opened = open_service(service_name, api, SERVICE_QUERY_STATUS);
  if (!opened.service) return report_not_opened();
  SERVICE_STATUS status{};
  const bool queried = api.query_service_status(opened.service.get(), &status) != FALSE;
  const StateReport report = describe_state(queried ? status.dwCurrentState : 0);
  std::cout << report.message << std::endl;
  return report.code;
}

}  // namespace vmrsmgr
