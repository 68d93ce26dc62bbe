#include "service_host/supervision.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "service_control/start_failure.h"
#include "service_host/component_job.h"
#include "service_host/output_lines.h"
#include "service_host/process_tree.h"
#include "service_host/runner.h"
#include "generated/version.h"

namespace vmrsmgr {
namespace {

// The component's folder and program must be there, and its path within
// what the command interpreter takes, before its command runs: the
// interpreter would only say so on the component's output.
std::optional<ServiceExit> find_missing_part(Logger& log, const ComponentCommand& command) {
  const std::optional<StartFailure> failure = check_component(command);
  if (!failure) return std::nullopt;
  if (*failure == StartFailure::kComponentPathTooLong) {
    log.log("Component could not be started: " + command.program +
            " is too long for the command interpreter (" +
            std::to_string(path_length(command.program)) + " characters)");
  } else {
    const std::string& path =
        *failure == StartFailure::kComponentFolder ? command.folder : command.program;
    log.log("Component could not be started: " + platform::readable_path(path) + " was not found");
  }
  return stopped_by(exit_code_of(*failure));
}

// How long the launch looks for the component's own process in its job: the
// interpreter starts it at once.
constexpr std::uint64_t kFindComponentMs = 1000;

// The component's own process, not the interpreter that started it; 0 when it
// did not show in time.
std::uint32_t component_process(const ComponentJob& job) {
  const std::wstring interpreter = command_interpreter();
  const std::uint64_t until = platform::monotonic_ms() + kFindComponentMs;
  for (;;) {
    if (const std::uint32_t id = job.first_process_except(interpreter)) return id;
    if (platform::monotonic_ms() >= until) return 0;
    ::Sleep(10);
  }
}

// The lifecycle lines after the command was launched, or why it was not;
// the exit codes when it was not.
std::optional<ServiceExit> report_launch(Logger& log, ServiceEvents& events, Runner& runner,
                                         const ComponentCommand& command, const ComponentJob* job) {
  if (runner.process_id() != 0) {
    const std::uint32_t own = job != nullptr ? component_process(*job) : 0;
    log.log(own != 0 ? "Component started, process ID " + std::to_string(own)
                     : "Component started, process ID " + std::to_string(runner.process_id()) +
                           " (the command interpreter)");
    events.started(command.program, own != 0 ? own : runner.process_id(), kVersion);
    if (runner.job_error() != 0) {
      log.error("The component runs outside its job object: " +
                platform::system_message(runner.job_error()));
    }
    return std::nullopt;
  }
  const std::uint32_t error = runner.launch_error();
  log.log("Component could not be started: " + platform::readable_path(command.program) + ": " +
          (error != 0 ? platform::system_message(error) : runner.failure()));
  log.error(runner.failure());
  return error != 0 ? stopped_by(error) : kStoppedOnError;
}

// How long a stop goes on reading the component's pipe from the request on:
// the ending of its processes, then a few seconds for their last words. Only
// a process that could not be ended keeps the pipe that long.
constexpr std::chrono::milliseconds kStopReadingLimit{8000};
// How long the job's backstop waits for its processes to be gone.
constexpr std::uint32_t kJobEndMs = 2000;
// While a stop waits, it moves the check point on at least this often, each
// time with a wait hint that outlasts the wait to the next one.
constexpr std::uint64_t kStopProgressMs = 1000;
constexpr std::uint32_t kStopHintMs = 3000;
// Windows takes a service whose check point stands still past its wait hint
// for hung, which Wine never does: the pace holds by construction.
static_assert(kStopProgressMs < kStopHintMs, "a stop's report outlives the wait to the next");

// The processes that outlived their interrupt and its grace, or that the job
// still held after the walk, ended by force.
void ended_by_force(Logger& log, const std::vector<std::uint32_t>& ids) {
  if (ids.empty()) return;
  std::string list;
  for (const std::uint32_t id : ids) list += (list.empty() ? "" : ", ") + std::to_string(id);
  log.debug("Ended by force after the interrupt: process " + list);
}

// Ends everything the component left, gently, with progress reports: the
// tree below the service, the job's processes that the walk missed, and
// last whatever the job still holds, started after the walk or not. Without
// a job, the tree below the service. The processes ended by force.
std::vector<std::uint32_t> end_component(Logger& log, ServiceStatus& status,
                                         const ComponentJob* job) {
  const StopProgress progress = [&status](std::uint32_t hint) {
    status.report(SERVICE_STOP_PENDING, hint);
  };
  const std::unique_ptr<ProcessSystem> processes = system_processes(job);
  TreeEnd end = end_process_tree(::GetCurrentProcessId(), *processes, progress);
  for (const std::uint32_t id : end.spared) {
    log.debug("Process " + std::to_string(id) + " left alone: it is not in the component's job");
  }
  if (job != nullptr && !job->empty()) {
    progress(kJobEndMs + kStopHintMs);
    // Those the walk ended may still be on their way out.
    for (const std::uint32_t id : job->members()) {
      if (std::find(end.forced.begin(), end.forced.end(), id) == end.forced.end()) {
        end.forced.push_back(id);
      }
    }
    job->terminate(kJobEndMs);
  }
  ended_by_force(log, end.forced);
  return end.forced;
}

// The stop on request, or at the system's shutdown: the component is ended
// while what it prints meanwhile is still read.
void stop_on_request(Logger& log, ServiceStatus& status, ServiceEvents& events, Runner& runner,
                     const ComponentJob* job) {
  log.log("Stop requested");
  log.debug("Stopping service");
  status.report(SERVICE_STOP_PENDING);
  runner.stop_reading(kStopReadingLimit);
  // Only a stop's forced ends are news to monitoring; after the component's
  // own end they are what it left behind.
  events.ended_by_force(end_component(log, status, job));
}

// Logs the component's output, a record a line, until it has ended and all of
// it is logged; at a stop request ends the component while its last words are
// still read. Sleeps while nothing happens. Whether a stop was requested.
bool supervise(Logger& log, ServiceStatus& status, ServiceEvents& events, Runner& runner,
               const ComponentJob* job) {
  bool stop_requested = false;
  std::uint64_t next_progress = 0;
  std::string record;
  const OutputLines::Emit emit = [&](std::string_view line) {
    record.assign(kOutputPrefix).append(line);
    log.trace(record);
  };
  OutputLines lines;
  const auto take = [&](std::uint64_t now) {
    const std::string output = runner.take_output();
    if (!output.empty()) lines.add(output, emit, now);
    return !output.empty();
  };
  while (!runner.finished() || runner.pending() != 0) {
    if (!stop_requested && status.stop_requested()) {
      stop_requested = true;
      stop_on_request(log, status, events, runner, job);
    }
    const std::uint64_t now = platform::monotonic_ms();
    if (stop_requested && now >= next_progress) {
      status.report(SERVICE_STOP_PENDING, kStopHintMs);
      next_progress = now + kStopProgressMs;
    }
    const bool took = take(now);
    if (lines.due(now)) lines.flush(emit);
    if (took || runner.finished()) continue;
    std::uint64_t timeout = lines.waiting() ? lines.deadline() - now : INFINITE;
    if (stop_requested) timeout = std::min(timeout, next_progress - now);
    const HANDLE waits[] = {runner.output_ready(), status.stop_event()};
    // The stop event stays signalled once a stop was requested.
    ::WaitForMultipleObjects(stop_requested ? 1 : 2, waits, FALSE, static_cast<DWORD>(timeout));
  }
  // The reader is gone: nothing can come after this last take.
  runner.wait();
  while (take(platform::monotonic_ms())) {
  }
  lines.flush(emit);
  return stop_requested;
}

}  // namespace

ServiceExit run_component(Logger& log, ServiceStatus& status, ServiceEvents& events,
                          const ComponentCommand& command) {
  if (const std::optional<ServiceExit> missing = find_missing_part(log, command)) return *missing;
  const ComponentJob job;
  if (!job) {
    log.error("Cannot make a job object for the component: " +
              platform::system_message(job.error()));
  }
  Runner runner(command.command_line(), command.folder, job ? &job : nullptr);
  // Only a job that holds the command proves which processes are the
  // component's; without one the stop goes by the tree below the service.
  const auto held = [&]() -> const ComponentJob* {
    return job && runner.job_error() == 0 ? &job : nullptr;
  };
  try {
    runner.start();
    if (const std::optional<ServiceExit> failed =
            report_launch(log, events, runner, command, held()))
      return *failed;
    if (!status.report(SERVICE_RUNNING)) {
      log.error("Setting service status running");
      end_component(log, status, held());
      return kStoppedOnError;
    }
    log.debug("Service is running");
    const bool stop_requested = supervise(log, status, events, runner, held());
    // What the command left behind when it ended, or a runner that failed
    // while the component lives; a stop has ended everything already.
    if (!stop_requested) end_component(log, status, held());
    const std::uint32_t exit_code = runner.wait();
    const std::string failure = runner.failure();
    if (!failure.empty()) {
      log.error(failure);
    } else if (!stop_requested) {
      log.log("Component ended with exit code " + std::to_string(exit_code));
      events.component_ended(exit_code);
    }
    if (stop_requested) events.stopped_on_request();
    log.debug("Service stopped");
    return exit_after_component(stop_requested, exit_code);
  } catch (...) {
    // The component must not outlive the service that cannot watch it.
    runner.stop_reading(std::chrono::milliseconds(0));
    end_component(log, status, held());
    throw;
  }
}

}  // namespace vmrsmgr
