#include <algorithm>
#include <iostream>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "platform/last_error.h"
#include "platform/text.h"
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
  return report_failure(std::cout, "Cannot connect to Service", last_error());
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
  if (error == ERROR_SERVICE_NOT_ACTIVE) return StopAnswer::kNotRunning;
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
  if (waited.error != ERROR_SUCCESS) return report_failure(std::cout, failed, waited.error);
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
  DWORD error = accepted ? ERROR_SUCCESS : last_error();
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
    error = accepted ? ERROR_SUCCESS : last_error();
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
      return report_failure(std::cout, texts.failed, error);
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
  std::uint64_t progress_at = api.tick_count();
  for (bool first = true;; first = false) {
    if (!first) std::cout << '.' << std::flush;
    api.sleep(interval);
    SERVICE_STATUS queried{};
    if (!api.query_service_status(service, &queried)) return {status, last_error()};
    status = queried;
    if (status.dwCurrentState != pending) return {status, ERROR_SUCCESS};

    const std::uint64_t now = api.tick_count();
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

  if (stop_and_wait(api, opened.service.get(),
                    {"Stopping Service", "Service Stoped", "Service Stoping error", 500}) != 0) {
    return 1;
  }
  if (!api.delete_service(opened.service.get())) {
    return report_failure(std::cout, "Service Uninstalling error", last_error());
  }
  std::cout << "Dariri service uninstalled successfully." << std::endl;
  return 0;
}

int start_service(const std::string& service_name, const ServiceFiles& files, SystemApi& api) {
  const ServiceHandle manager(api.open_sc_manager(SC_MANAGER_CONNECT), {&api});
  if (!manager)
    return report_failure(std::cout, "Cannot connect to Service manager ", last_error());
  const ServiceHandle service(
      api.open_service(manager.get(), platform::to_wide(service_name).c_str(), kStartAccess),
      {&api});
  if (!service) return report_not_opened();
  if (!api.start_service(service.get())) {
    const DWORD error = last_error();
    report_failure(std::cout, "Service Starting error", error);
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
    report_exit(api, service.get(), waited.status, files);
    return 1;
  }
  std::cout << "Start Complete" << std::endl;
  return 0;
}

int stop_service(const std::string& service_name, SystemApi& api) {
  const OpenedService opened = open_service(service_name, api, kStopAccess);
  if (!opened.service) return report_not_opened();
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
