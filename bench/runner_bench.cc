// Figures for the service host under Wine, printed, not checked:
//  - the Runner capturing 20 MB that the test component prints as fast as it
//    can, against a plain loop reading the same kind of pipe in 64 KiB blocks;
//  - the time from a stop request to the service reporting stopped, for a
//    component alone and for one with a child, each with a component that
//    ends on the console interrupt and with one that ignores it, for a tree
//    of twenty that ignore it, and for a worker whose launcher has ended.
// Run: build/windows/wine-run build/windows/runner_bench.exe [megabytes]

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "service_host/runner.h"
#include "tests/installation.h"

namespace {

using vmrsmgr::Runner;
using vmrsmgr::platform::unique_handle;
using vmrsmgr::platform::unique_schandle;
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

// The Runner, its output taken as it comes (the service takes it every 100 ms,
// which would only measure that pause at these rates). Bytes per second.
double runner(std::uint64_t bytes) {
  const Clock::time_point start = Clock::now();
  Runner r(flood_command(bytes));
  r.start();
  std::uint64_t total = 0;
  while (!r.finished() || r.pending() != 0) {
    const std::string chunk = r.take_output();
    if (chunk.empty()) ::Sleep(10);
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
  const unique_schandle service = open_service("dariri", SERVICE_STOP | SERVICE_QUERY_STATUS);
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

}  // namespace

int main(int argc, char* argv[]) {
  try {
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20;
    const std::uint64_t bytes = megabytes * 1000 * 1000;
    std::vector<double> plain;
    std::vector<double> captured;
    for (int round = 0; round < 5; ++round) {
      plain.push_back(plain_loop(bytes));
      captured.push_back(runner(bytes));
    }
    const double mb = 1e6;
    std::cout << std::fixed << std::setprecision(1);
    std::cout << "capture of " << megabytes << " MB, median of 5 runs (MB/s)" << std::endl;
    std::cout << "  plain loop, 64 KiB blocking reads: " << median(plain) / mb << std::endl;
    std::cout << "  Runner:                            " << median(captured) / mb << " ("
              << std::setprecision(0) << 100 * median(captured) / median(plain)
              << "% of the plain loop)" << std::endl;

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
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "runner_bench: " << e.what() << std::endl;
    return 1;
  }
}
