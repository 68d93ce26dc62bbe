// Figures for the service host under Wine, printed, not checked:
//  - the Runner capturing 20 MB that the test component prints as fast as it
//    can, against a plain loop reading the same kind of pipe in 64 KiB blocks;
//  - the time from a stop request to the service reporting stopped, for a
//    component alone and for one with a child, each with a component that
//    ends on the console interrupt and with one that ignores it, for a tree
//    of twenty that ignore it, and for a worker whose launcher has ended.
//  - the service at rest (processor time per second), and a component that
//    prints as fast as it can with every line logged, at the default
//    rotation and at rotation_size = 4096: the service's peak memory, the rate
//    at which output is logged and the time a stop takes.
// Run: build/windows/wine-run build/windows/runner_bench.exe [megabytes]
//      [idle seconds] [flood seconds]

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "service_host/runner.h"
#include "tests/installation.h"

namespace {

using vmrsmgr::Runner;
using vmrsmgr::ServiceHandle;
using vmrsmgr::platform::unique_handle;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string flood_command(std::uint64_t bytes) {
  return "\"" + vmrsmgr::testing::test_component() +
         "\" --no-args-file --quiet --lines 0 --flood " + std::to_string(bytes) + " --exit 0";
}

// The plain reader: blocking 64 KiB reads until the pipe breaks, the parent's
// write end closed after the launch. Bytes per second.
double plain_loop(std::uint64_t bytes) {
  const Clock::time_point start = Clock::now();
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  unique_handle read;
  unique_handle write;
  if (!::CreatePipe(read.put(), write.put(), &attributes, Runner::kPipeBuffer)) return 0;
  ::SetHandleInformation(write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write.get();
  startup.hStdError = write.get();
  std::string line = "cmd /S /C \" " + flood_command(bytes) + " \"";
  PROCESS_INFORMATION info{};
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
    return 0;
  }
  const unique_handle process(info.hProcess);
  const unique_handle thread(info.hThread);
  write.reset();
  std::vector<char> buffer(64 * 1024);
  std::uint64_t total = 0;
  DWORD got = 0;
  while (::ReadFile(read.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
         got > 0) {
    total += got;
  }
  const double rate = static_cast<double>(total) / seconds_since(start);
  return total == bytes ? rate : 0;
}

// The Runner, its output taken as it comes, the way the service takes it.
// Bytes per second.
double runner(std::uint64_t bytes) {
  const Clock::time_point start = Clock::now();
  Runner r(flood_command(bytes));
  r.start();
  std::uint64_t total = 0;
  while (!r.finished() || r.pending() != 0) {
    const std::string chunk = r.take_output();
    if (chunk.empty() && !r.finished()) ::WaitForSingleObject(r.output_ready(), INFINITE);
    total += chunk.size();
  }
  const double rate = static_cast<double>(total) / seconds_since(start);
  return total == bytes ? rate : 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Seconds from the stop request to the manager's report of stopped.
double stop_time(const std::string& component_options) {
  using namespace vmrsmgr::testing;
  Installation installation("bench-stop");
  installation.owns_service("dariri");
  installation.add_component("dariri\\dariri.exe", component_options);
  if (installation.tool("--install dariri --account \"\" --password \"\"").exit_code != 0 ||
      installation.tool("--start dariri").exit_code != 0) {
    return -1;
  }
  ::Sleep(500);  // the component and its child are up
  const ServiceHandle service = open_service("dariri", SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const Clock::time_point start = Clock::now();
  ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
         seconds_since(start) < 30) {
    ::Sleep(5);
  }
  const double elapsed = seconds_since(start);
  while (!processes_named("vmrsmgr.exe").empty()) ::Sleep(50);
  installation.tool("--uninstall dariri");
  return elapsed;
}

// The service process of the installation: the only vmrsmgr.exe running
// while no command of the tool runs.
unique_handle service_process() {
  const std::vector<std::uint32_t> ids = vmrsmgr::testing::processes_named("vmrsmgr.exe");
  if (ids.size() != 1) return {};
  return unique_handle(
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, ids.front()));
}

// Under Wine the service is a Linux process too, whose /proc shows what
// GetProcessTimes does not for another process: its processor time and how
// often its threads were woken. Its folder, empty when there is none.
std::wstring linux_service_folder() {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(L"Z:\\proc\\*", &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  std::wstring folder;
  do {
    const std::wstring name = found.cFileName;
    if (name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
    const std::wstring candidate = L"Z:\\proc\\" + name;
    std::string command_line = vmrsmgr::testing::Installation::read(candidate + L"\\cmdline");
    std::replace(command_line.begin(), command_line.end(), '\0', ' ');
    if (command_line.find("vmrsmgr.exe -s ") != std::string::npos) folder = candidate;
  } while (folder.empty() && ::FindNextFileW(search, &found));
  ::FindClose(search);
  return folder;
}

struct Activity {
  double cpu_seconds = 0;
  std::uint64_t wakeups = 0;
};

Activity linux_activity(const std::wstring& folder) {
  Activity activity;
  const std::string stat = vmrsmgr::testing::Installation::read(folder + L"\\stat");
  // After the command's name in parentheses: utime and stime are fields 14 and 15.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> words{std::istream_iterator<std::string>(fields),
                                 std::istream_iterator<std::string>()};
  if (words.size() > 12) {
    activity.cpu_seconds = (std::stod(words[11]) + std::stod(words[12])) / 100.0;
  }
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW((folder + L"\\task\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return activity;
  do {
    std::istringstream status(
        vmrsmgr::testing::Installation::read(folder + L"\\task\\" + found.cFileName + L"\\status"));
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        activity.wakeups += std::stoull(line.substr(line.find(':') + 1));
      }
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return activity;
}

double cpu_seconds(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

std::uint64_t private_bytes(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(process, &counters, sizeof(counters))) return 0;
  return std::max<std::uint64_t>(counters.PagefileUsage, counters.WorkingSetSize);
}

// An installed and started dariri service with the component's options and
// the configuration given.
struct Running {
  vmrsmgr::testing::Installation installation{"bench-host"};
  bool started = false;
  Running(const std::string& options, const std::string& config) {
    installation.owns_service("dariri");
    installation.add_component("dariri\\dariri.exe", options);
    installation.write_config(config);
    started = installation.tool("--install dariri --account \"\" --password \"\"").exit_code == 0 &&
              installation.tool("--start dariri").exit_code == 0;
  }
  ~Running() {
    installation.tool("--stop dariri");
    // A service that cannot stop in time (one with an unbounded backlog) is
    // ended, and what it leaves, so that the next measure starts clean.
    for (const char* program : {"vmrsmgr.exe", "dariri.exe"}) {
      for (const std::uint32_t id : vmrsmgr::testing::processes_named(program)) {
        const unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 5000);
      }
    }
    installation.tool("--uninstall dariri");
  }
};

struct Idle {
  double cpu_ms_per_s = -1;
  double wakeups_per_s = -1;  // where the platform shows them
};

// A service whose component prints nothing.
Idle idle(int seconds) {
  Idle result;
  Running running("--quiet --lines 0 --tick 0", "[general]\ndebug = 5\n");
  ::Sleep(1000);
  const unique_handle service = service_process();
  if (!running.started || !service) return result;
  const std::wstring folder = linux_service_folder();
  const auto measure = [&] {
    return folder.empty() ? Activity{cpu_seconds(service.get()), 0} : linux_activity(folder);
  };
  const Activity before = measure();
  ::Sleep(static_cast<DWORD>(seconds) * 1000);
  const Activity after = measure();
  result.cpu_ms_per_s = (after.cpu_seconds - before.cpu_seconds) * 1000 / seconds;
  if (!folder.empty()) {
    result.wakeups_per_s = static_cast<double>(after.wakeups - before.wakeups) / seconds;
  }
  return result;
}

struct Flood {
  double peak_mb = -1;
  double logged_mb_per_s = -1;
  double stop_s = -1;
};

// A component printing as fast as it can for a while, every line logged.
Flood flood(int seconds, const std::string& config) {
  Flood result;
  Running running("--quiet --lines 0 --flood 1000000000000 --exit 0", config);
  const unique_handle service = service_process();
  if (!running.started || !service) return result;
  std::uint64_t peak = 0;
  const Clock::time_point start = Clock::now();
  while (seconds_since(start) < seconds) {
    peak = std::max(peak, private_bytes(service.get()));
    ::Sleep(100);
  }
  const double flooded_s = seconds_since(start);
  // The component could write only as fast as the service logged.
  const std::string written = vmrsmgr::testing::Installation::read(running.installation.root() /
                                                                   "dariri" / "flooded.component");
  if (!written.empty()) result.logged_mb_per_s = std::stod(written) / 1e6 / flooded_s;
  const ServiceHandle control =
      vmrsmgr::testing::open_service("dariri", SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const Clock::time_point stop = Clock::now();
  ::ControlService(control.get(), SERVICE_CONTROL_STOP, &status);
  while (::QueryServiceStatus(control.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
         seconds_since(stop) < 60) {
    peak = std::max(peak, private_bytes(service.get()));
    ::Sleep(20);
  }
  result.stop_s = seconds_since(stop);
  result.peak_mb = static_cast<double>(peak) / 1e6;
  return result;
}

void print_flood(const char* label, const Flood& f) {
  std::cout << std::setprecision(2) << label << " peak_mb=" << f.peak_mb
            << " logged_mb_per_s=" << f.logged_mb_per_s << " stop_s=" << f.stop_s << std::endl;
}

}  // namespace

int main(int argc, char* argv[]) {
  try {
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20;
    const std::uint64_t bytes = megabytes * 1000 * 1000;
    // Each round measures both readers one after the other, so that its
    // ratio compares them under the same load of a shared machine; the
    // median of the rounds' ratios is reported.
    constexpr int kRounds = 9;
    std::vector<double> plain;
    std::vector<double> captured;
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) {
      plain.push_back(plain_loop(bytes));
      captured.push_back(runner(bytes));
      ratios.push_back(plain.back() > 0 ? captured.back() / plain.back() : 0);
    }
    const double mb = 1e6;
    std::cout << std::fixed << std::setprecision(1);
    std::cout << "capture of " << megabytes << " MB, medians of " << kRounds << " runs (MB/s)"
              << std::endl;
    std::cout << "  plain loop, 64 KiB blocking reads: " << median(plain) / mb << std::endl;
    std::cout << "  Runner:                            " << median(captured) / mb << " ("
              << std::setprecision(0) << 100 * median(ratios) << "% of the plain loop)"
              << std::endl;

    std::cout << std::setprecision(2);
    std::cout << "stop request to stopped (s)" << std::endl;
    std::cout << "  component alone, ends on the interrupt:     " << stop_time("--tick 100")
              << std::endl;
    std::cout << "  component with a child, ends on interrupt:  " << stop_time("--child --tick 100")
              << std::endl;
    std::cout << "  component alone, ignores the interrupt:     "
              << stop_time("--ignore-interrupt --tick 100") << std::endl;
    std::cout << "  component with a child, ignores interrupt:  "
              << stop_time("--child --ignore-interrupt --tick 100") << std::endl;
    std::cout << "  twenty processes that ignore the interrupt: "
              << stop_time("--children 19 --ignore-interrupt --tick 100") << std::endl;
    std::cout << "  orphaned worker that ignores the interrupt: "
              << stop_time("--worker --ignore-interrupt --tick 100") << std::endl;

    const int idle_seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    const int flood_seconds = argc > 3 ? std::atoi(argv[3]) : 20;
    const Flood by_default = flood(flood_seconds, "[general]\ndebug = 5\n");
    const Flood small = flood(flood_seconds, "[general]\ndebug = 5\nrotation_size = 4096\n");
    const Idle at_rest = idle(idle_seconds);
    std::cout << std::setprecision(2);
    print_flood("flood rotation_size=4096", small);
    std::cout << "idle host wakeups_per_s=" << at_rest.wakeups_per_s << std::endl;
    std::cout << "idle host cpu_ms_per_s=" << at_rest.cpu_ms_per_s << std::endl;
    print_flood("flood", by_default);
    std::cout << "capture runner/plain ratio=" << median(ratios) << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "runner_bench: " << e.what() << std::endl;
    return 1;
  }
}
