// The service host under the real service manager of the build's Wine prefix:
// each test installs a copy of vmrsmgr.exe with test components beside it,
// drives it through the tool's own commands, and removes what it installed.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "generated/version.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "tests/installation.h"

namespace vmrsmgr::testing {
namespace {

namespace fs = boost::filesystem;

// An empty account installs the service as LocalSystem.
const std::string kCredentials = " --account \"\" --password \"\"";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool eventually(const std::function<bool()>& condition, DWORD timeout_ms = 15000) {
  for (const DWORD started = ::GetTickCount(); !condition();) {
    if (::GetTickCount() - started > timeout_ms) return false;
    ::Sleep(50);
  }
  return true;
}

// The service process ends a moment after the manager reports it stopped.
bool service_processes_ended() {
  return eventually([] { return processes_named("vmrsmgr.exe").empty(); });
}

// Stops the service and ends its process the moment the manager reports it
// stopped, as Windows may at shutdown. Whether it was seen stopped.
bool stop_and_end_at_once(const std::string& name) {
  const ServiceHandle service = open_service(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS info{};
  DWORD size = 0;
  if (!service || !::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&info), sizeof info, &size)) {
    return false;
  }
  const platform::unique_handle process(::OpenProcess(PROCESS_TERMINATE, FALSE, info.dwProcessId));
  SERVICE_STATUS status{};
  if (!process || !::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return false;
  for (const DWORD started = ::GetTickCount(); ::GetTickCount() - started < 30000;) {
    if (!::QueryServiceStatus(service.get(), &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) {
      ::TerminateProcess(process.get(), 1);
      return true;
    }
  }
  return false;
}

TEST(ServiceRun, FromInstallationToStopAndUninstallation) {
  Installation installation("road");
  installation.owns_service("dariri");
  installation.add_component("dariri\\dariri.exe", "--child --tick 100");
  installation.write_config("[general]\ndebug = 5\n");
  const fs::path log = installation.bin() / "log" / "dariri.vmrsmgr.log";
  // A cmd.exe beside the program, where a bare "cmd" is looked for first.
  fs::copy_file(test_component(), installation.bin() / "cmd.exe");

  Outcome result = installation.tool("--install dariri" + kCredentials);
  ASSERT_EQ(result.exit_code, 0) << result.output;
  result = installation.tool("--start dariri");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "Start Complete\n")) << result.output;
  result = installation.tool("--status dariri --mode GUI");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output,
                       "---GUI_TAG_START_JSON---\n"
                       "{\"service\":\"installed\",\"status\":\"running\"}\n"
                       "---GUI_TAG_START_JSON---\n"))
      << result.output;
  EXPECT_TRUE(eventually([&] { return contains(Installation::read(log), "grandchild tick 2"); }))
      << Installation::read(log);
  const fs::path component_folder = installation.root() / "dariri";
  const std::uint32_t component = static_cast<std::uint32_t>(
      std::stoul("0" + Installation::read(component_folder / "pid.component")));
  std::wstring system_folder(MAX_PATH, L'\0');
  system_folder.resize(::GetSystemDirectoryW(system_folder.data(), MAX_PATH));
  EXPECT_EQ(::CompareStringOrdinal(program_of(parent_of(component)).c_str(), -1,
                                   (system_folder + L"\\cmd.exe").c_str(), -1, TRUE),
            CSTR_EQUAL)
      << platform::to_narrow(program_of(parent_of(component)));
  EXPECT_FALSE(fs::exists(installation.bin() / "args.component"));

  // Its last lines are on disk before it reports stopped.
  ASSERT_TRUE(stop_and_end_at_once("dariri"));
  EXPECT_TRUE(processes_named("dariri.exe").empty());
  ASSERT_TRUE(service_processes_ended());

  const std::string text = Installation::read(log);
  const std::string folder = installation.root().string();
  for (const std::string& line : {
           std::string(" === starting service vmrsmgr ===\r\n"),
           std::string(" [debug] ServiceMain starting\r\n"),
           " [debug] \"" + folder + "\\bin\\..\\dariri\\dariri.exe\" -i -d start\r\n",
           std::string(" [debug] Service is running\r\n"),
           std::string(" [trace] output: component "),
           std::string("args: -i -d start --child --tick 100\r\n"),
           std::string("component stderr line 3\r\n"),
           std::string("grandchild stdout line 1\r\n"),
           std::string(" [debug] Stopping service\r\n"),
           // What they print on the interrupt, logged before the end.
           std::string("component interrupted\r\n"),
           std::string("grandchild interrupted\r\n"),
           std::string(" [debug] Service stopped\r\n"),
       }) {
    EXPECT_TRUE(contains(text, line)) << line << " not in\n" << text;
  }
  EXPECT_LT(text.find("component interrupted"), text.find("Service stopped")) << text;
  // The stop step runs once, however long the drain.
  EXPECT_EQ(text.find("Stopping service"), text.rfind("Stopping service")) << text;
  // The console interrupt reaches the component and its child.
  EXPECT_EQ(Installation::read(component_folder / "interrupted.component"), "ctrl-c");
  EXPECT_EQ(Installation::read(component_folder / "interrupted.grandchild"), "ctrl-c");

  result = installation.tool("--uninstall dariri");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "uninstalled successfully")) << result.output;
}

TEST(ServiceRun, AComponentThatEndsStopsTheServiceWithItsExitCode) {
  struct Case {
    int component_exit;
    DWORD win32_exit;
    DWORD specific_exit;
  };
  for (const Case c : {Case{3, 1066, 3}, Case{0, 0, ERROR_PROCESS_ABORTED}}) {
    const std::string code = std::to_string(c.component_exit);
    Installation installation("ends-with-" + code);
    installation.owns_service("dariri");
    installation.add_component("dariri\\dariri.exe", "--exit " + code + " --after 1500");
    installation.write_config("[general]\ndebug = 5\n");
    ASSERT_EQ(installation.tool("--install dariri" + kCredentials).exit_code, 0);
    const Outcome result = installation.tool("--start dariri");
    EXPECT_EQ(result.exit_code, 0) << result.output;

    const SERVICE_STATUS status = wait_for_service("dariri", SERVICE_STOPPED);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, c.win32_exit) << code;
    EXPECT_EQ(status.dwServiceSpecificExitCode, c.specific_exit) << code;
    ASSERT_TRUE(service_processes_ended());

    const std::string text = Installation::read(installation.bin() / "log" / "dariri.vmrsmgr.log");
    const std::string::size_type last = text.find("output: component exiting with " + code);
    EXPECT_NE(last, std::string::npos) << text;
    EXPECT_LT(last, text.find(" [debug] Service stopped")) << text;
    EXPECT_FALSE(contains(text, "Stopping service")) << text;
    EXPECT_TRUE(contains(text, " Component ended with exit code " + code + "\r\n")) << text;
    EXPECT_TRUE(processes_named("dariri.exe").empty());
    EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);
  }
}

// A service that is stopped, or sent a stop at the worst moment, leaves no
// process of its component behind, and its next start runs one tree.
void expect_nothing_left(const char* what) {
  EXPECT_TRUE(eventually([] { return processes_named("dariri.exe").empty(); }, 5000)) << what;
}

// The test component installed as the service dariri.
void install_dariri(Installation& installation, const std::string& options) {
  installation.owns_service("dariri");
  installation.add_component("dariri\\dariri.exe", options);
  EXPECT_EQ(installation.tool("--install dariri" + kCredentials).exit_code, 0);
}

TEST(ServiceRun, AServiceThatIsKilledTakesItsComponentWithIt) {
  Installation installation("killed");
  install_dariri(installation, "--child --tick 100");
  ASSERT_EQ(installation.tool("--start dariri").exit_code, 0);
  // The component and its child: one tree.
  EXPECT_TRUE(eventually([] { return processes_named("dariri.exe").size() == 2; }));
  for (const std::uint32_t id : processes_named("vmrsmgr.exe")) {
    const platform::unique_handle service(::OpenProcess(PROCESS_TERMINATE, FALSE, id));
    ::TerminateProcess(service.get(), 9);
  }
  EXPECT_TRUE(eventually([] { return processes_named("dariri.exe").empty(); }, 2000));

  // Wine's manager still calls the killed service running, yet starts it.
  ASSERT_EQ(installation.tool("--start dariri").exit_code, 0);
  EXPECT_TRUE(eventually([] { return processes_named("dariri.exe").size() == 2; }));
  ::Sleep(300);
  EXPECT_EQ(processes_named("dariri.exe").size(), 2u);
  EXPECT_EQ(installation.tool("--stop dariri").exit_code, 0);
  expect_nothing_left("after the stop");
  EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);
}

TEST(ServiceRun, AWorkerWhoseLauncherEndedIsEndedToo) {
  // Once when the command ends by itself, once at a stop while the worker
  // ignores the interrupt.
  Installation installation("worker");
  install_dariri(installation, "--worker --tick 100 --exit 0 --after 1000");
  EXPECT_EQ(installation.tool("--start dariri").exit_code, 0);
  const SERVICE_STATUS ended = wait_for_service("dariri", SERVICE_STOPPED);
  EXPECT_EQ(ended.dwWin32ExitCode, 0u);
  EXPECT_TRUE(processes_named("dariri.exe").empty());
  EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);

  installation.write_config("[general]\ndebug = 4\n");
  install_dariri(installation, "--worker --ignore-interrupt --tick 100");
  EXPECT_EQ(installation.tool("--start dariri").exit_code, 0);
  const fs::path worker_args = installation.root() / "dariri" / "args.worker";
  EXPECT_TRUE(eventually([&] { return fs::exists(worker_args); }));
  const Outcome stopped = installation.tool("--stop dariri");
  EXPECT_TRUE(contains(stopped.output, "Stop Complete\n")) << stopped.output;
  EXPECT_TRUE(processes_named("dariri.exe").empty());
  const std::string worker = Installation::read(installation.root() / "dariri" / "pid.worker");
  const std::string log = Installation::read(installation.bin() / "log" / "dariri.vmrsmgr.log");
  // The worker outlived its interrupt: named among those ended by force.
  const std::string forced = "Ended by force after the interrupt: process ";
  const std::string::size_type at = log.find(forced);
  ASSERT_NE(at, std::string::npos) << log;
  const std::string ids = log.substr(at + forced.size(), log.find('\r', at) - at - forced.size());
  EXPECT_TRUE(contains(", " + ids + ",", ", " + worker + ",")) << worker << " not in " << ids;
  EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);
}

// Sends the stop as soon as the service is in the state, through the
// manager's own interface.
void stop_when(DWORD state) {
  const ServiceHandle service =
      open_service("dariri", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  ASSERT_TRUE(service);
  ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr));
  // A start that went past the state before the query saw it is stopped all
  // the same, so that the test never leaves it running.
  SERVICE_STATUS status{};
  for (const DWORD started = ::GetTickCount(); ::GetTickCount() - started < 15000;) {
    if (!::QueryServiceStatus(service.get(), &status) || status.dwCurrentState == SERVICE_STOPPED) {
      break;
    }
    if ((status.dwCurrentState == state || status.dwCurrentState == SERVICE_RUNNING) &&
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
      break;
    }
  }
}

TEST(ServiceRun, AStopTheMomentTheServiceStartsOrRunsIsCarriedOut) {
  Installation installation("early-stop");
  install_dariri(installation, "--child --tick 100");
  for (int round = 0; round < 3; ++round) {
    for (const DWORD state : {DWORD{SERVICE_START_PENDING}, DWORD{SERVICE_RUNNING}}) {
      SCOPED_TRACE(state);
      stop_when(state);
      EXPECT_EQ(wait_for_service("dariri", SERVICE_STOPPED).dwCurrentState,
                static_cast<DWORD>(SERVICE_STOPPED));
      expect_nothing_left("after an early stop");
      ASSERT_TRUE(service_processes_ended());
    }
  }
  EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);
}

// Whether a log line's time stamp and its blank start at position at: eight
// digits, T, six digits, optionally a dot and six digits.
bool time_stamp_at(const std::string& text, std::size_t at) {
  const auto digits = [&](std::size_t from, std::size_t count) {
    if (from + count > text.size()) return false;
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                       text.begin() + static_cast<std::ptrdiff_t>(from + count),
                       [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(at, 8) || text.compare(at + 8, 1, "T") != 0 || !digits(at + 9, 6)) return false;
  std::size_t end = at + 15;
  if (text.compare(end, 1, ".") == 0 && digits(end + 1, 6)) end += 7;
  return text.compare(end, 1, " ") == 0;
}

// The component's output as the log carries it: the "output: " records, each
// a line of it.
std::string logged_output(const std::string& log) {
  const std::string tag = " [trace] output: ";
  std::string output;
  for (std::size_t at = 0; at < log.size();) {
    std::size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    EXPECT_TRUE(time_stamp_at(log, at)) << log.substr(at, end - at);
    const std::size_t text = log.find(' ', at);
    if (log.compare(text, tag.size(), tag) == 0) {
      output.append(log, text + tag.size(), end - text - tag.size()).append("\n");
    }
    at = end + 2;
  }
  return output;
}

TEST(ServiceRun, EverythingTheComponentPrintsReachesTheLog) {
  const std::string flood = "--quiet --lines 0 --flood 1000000 --exit 0";
  const Outcome printed =
      run_command(L"\"" + platform::to_wide(test_component()) + L"\" " + platform::to_wide(flood));
  ASSERT_GT(printed.output.size(), 900000u);

  Installation installation("flood");
  installation.owns_service("dariri");
  installation.add_component("dariri\\dariri.exe", flood + " --after 1000");
  installation.write_config("[general]\ndebug = 5\n");
  ASSERT_EQ(installation.tool("--install dariri" + kCredentials).exit_code, 0);
  EXPECT_EQ(installation.tool("--start dariri").exit_code, 0);
  wait_for_service("dariri", SERVICE_STOPPED);
  ASSERT_TRUE(service_processes_ended());

  const std::string text = Installation::read(installation.bin() / "log" / "dariri.vmrsmgr.log");
  // Every line once, in order, each its own record; the last one is cut.
  const std::string logged = logged_output(text);
  EXPECT_EQ(logged.size(), printed.output.size() + 1);
  EXPECT_TRUE(logged == printed.output + "\n");
  EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);
}

TEST(ServiceRun, TheConfigurationFileSetsFolderLevelAndRotation) {
  Installation installation("config");
  installation.owns_service("dariri");
  installation.add_component("dariri\\dariri.exe", "--tick 10");
  fs::create_directories(installation.bin() / "elsewhere");
  // As Notepad saves "Unicode", with a folder in quotes and two entries
  // nobody reads, which --start names after its own lines.
  const std::string text =
      "; logging of the service process\r\n"
      "[general]\r\n"
      "logdir = \"elsewhere\"\r\n"
      "rotation_size = 2000\r\n"
      "max_logs = 3\r\n"
      "debug = 5\r\n"
      "debgu = 5\r\n"
      "[General]\r\n"
      "debug = 4\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) utf16 += std::string{c, '\0'};
  installation.write_config(utf16);
  ASSERT_EQ(installation.tool("--install dariri" + kCredentials).exit_code, 0);
  const Outcome started = installation.tool("--start dariri");
  ASSERT_EQ(started.exit_code, 0) << started.output;
  EXPECT_TRUE(contains(started.output,
                       "Start Complete\n"
                       "Unknown setting general.debgu in conf\\vmrsmgr.conf is ignored\n"
                       "Unknown setting General.debug in conf\\vmrsmgr.conf is ignored\n"))
      << started.output;

  // Rotation while the component runs: the numbering goes past the maximum.
  const fs::path folder = installation.bin() / "elsewhere";
  EXPECT_TRUE(eventually([&] { return fs::exists(folder / "dariri.vmrsmgr.log4"); }));
  EXPECT_EQ(installation.tool("--stop dariri").exit_code, 0);
  ASSERT_TRUE(service_processes_ended());

  int logs = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    ++logs;
    EXPECT_EQ(entry.path().filename().string().rfind("dariri.vmrsmgr.log", 0), 0u);
    // The line that starts a file is not counted against it.
    EXPECT_LE(fs::file_size(entry.path()), 2000u + 1024u);
  }
  EXPECT_EQ(logs, 3);
  EXPECT_TRUE(
      contains(Installation::read(folder / "dariri.vmrsmgr.log"), " [debug] Service stopped"));
  EXPECT_FALSE(fs::exists(installation.bin() / "log" / "dariri.vmrsmgr.log"));
  EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);
}

// How many bytes the flooding component got out so far, as it reports them
// now and then; it rewrites the report, which reads empty meanwhile.
std::uint64_t flooded(const Installation& installation) {
  std::string count;
  eventually([&] {
    count = Installation::read(installation.root() / "dariri" / "flooded.component");
    return !count.empty();
  });
  return std::stoull("0" + count);
}

double megabytes_per_second(std::uint64_t bytes, std::chrono::steady_clock::duration time) {
  return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(time).count();
}

TEST(ServiceRun, AHeldLogTakesAFloodAndHoldsUpNoStop) {
  using clock = std::chrono::steady_clock;
  Installation installation("held-log");
  installation.write_config("[general]\ndebug = 5\nrotation_size = 4096\n");
  install_dariri(installation, "--quiet --lines 0 --flood 1000000000000");
  const fs::path log = installation.bin() / "log" / "dariri.vmrsmgr.log";
  ASSERT_EQ(installation.tool("--start dariri").exit_code, 0);

  // As a log viewer holds it: the log cannot be moved while it is open.
  platform::unique_hfile reader;
  ASSERT_TRUE(eventually([&] {
    reader.reset(::CreateFileW(log.wstring().c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(reader);
  }));
  const auto held_size = [&] {
    LARGE_INTEGER size{};
    EXPECT_TRUE(::GetFileSizeEx(reader.get(), &size));
    return static_cast<std::uint64_t>(size.QuadPart);
  };
  const clock::time_point held = clock::now();
  const std::uint64_t log_before = held_size();
  const std::uint64_t printed_before = flooded(installation);
  ::Sleep(3000);
  const clock::duration held_for = clock::now() - held;
  const std::uint64_t log_after = held_size();
  const std::uint64_t printed_after = flooded(installation);
  // It keeps taking lines past its rotation size, however long it is held.
  EXPECT_GT(log_after, log_before);
  EXPECT_GT(log_after, 4096u);
  std::cout << "log while held: " << megabytes_per_second(log_after - log_before, held_for)
            << " MB/s, component output: "
            << megabytes_per_second(printed_after - printed_before, held_for) << " MB/s\n";

  const clock::time_point stopping = clock::now();
  const Outcome stopped = installation.tool("--stop dariri");
  const double stop_seconds = std::chrono::duration<double>(clock::now() - stopping).count();
  std::cout << "stop with the log held: " << stop_seconds << " s\n";
  EXPECT_EQ(stopped.exit_code, 0) << stopped.output;
  EXPECT_TRUE(contains(stopped.output, "Stop Complete\n")) << stopped.output;
  expect_nothing_left("after a stop with the log held");
  ASSERT_TRUE(service_processes_ended());
  // Its last words went into the held log too.
  const std::string text = Installation::read(log);
  EXPECT_EQ(text.rfind(" [debug] Service stopped\r\n"), text.size() - 26)
      << text.substr(text.size() - std::min<std::size_t>(text.size(), 2000));

  // Once let go, the next run moves it aside and rotates as before.
  reader.reset();
  fs::remove(installation.root() / "dariri" / "flooded.component");
  ASSERT_EQ(installation.tool("--start dariri").exit_code, 0);
  const std::uint64_t big = log_after;
  EXPECT_TRUE(eventually([&] {
    boost::system::error_code error;
    const std::uintmax_t size = fs::file_size(log, error);
    return !error && size <= 4096u + 1024u && size < big;
  }));
  const std::uint64_t free_before = flooded(installation);
  const clock::time_point free_from = clock::now();
  ::Sleep(3000);
  std::cout << "component output, log not held: "
            << megabytes_per_second(flooded(installation) - free_before, clock::now() - free_from)
            << " MB/s\n";
  EXPECT_EQ(installation.tool("--stop dariri").exit_code, 0);
  expect_nothing_left("after a stop with the log free");
  ASSERT_TRUE(service_processes_ended());
  EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);
}

TEST(ServiceRun, AStartThatCannotGoOnStopsWithItsCause) {
  const std::string bad_file = "Error in Config::read_config: conf\\vmrsmgr.conf";
  const std::string syntax_error = bad_file + "(2): '=' character not found in line";
  const std::string negative_level =
      bad_file + ": general.debug = -1 is not a whole number from 0 to 2147483647";
  // A folder of 242 characters: the component's path, 267, is more than
  // the command interpreter takes, while the program's own is not.
  const std::string long_name(242 - std::string("C:\\vmrsmgr-e2e\\").size(), 'n');
  const std::string long_program =
      "C:\\vmrsmgr-e2e\\" + long_name + "\\bin\\..\\dariri\\dariri.exe";
  const std::string length = std::to_string(long_program.size());
  const std::string long_log = "Component could not be started: " + long_program +
                               " is too long for the command interpreter (" + length +
                               " characters)";
  const struct {
    const char* name;
    const char* config;     // of bin\\conf\\vmrsmgr.conf; none when null
    const char* component;  // what stands in dariri\\ (a folder or a program)
    DWORD exit_code;
    std::string cause;     // what --start prints after the exit code
    const char* log_line;  // in bin\\log\\dariri.vmrsmgr.log; no log when null
  } cases[] = {
      {"no folder", nullptr, nullptr, ERROR_PATH_NOT_FOUND,
       "Component folder not found: C:\\vmrsmgr-e2e\\no folder\\dariri",
       "Component could not be started: C:\\vmrsmgr-e2e\\no folder\\dariri was not found"},
      {"no program", nullptr, "folder", ERROR_FILE_NOT_FOUND,
       "Component program not found: C:\\vmrsmgr-e2e\\no program\\dariri\\dariri.exe",
       "Component could not be started: C:\\vmrsmgr-e2e\\no program\\dariri\\dariri.exe was not "
       "found"},
      // A rejected file leaves the default log, which says why too.
      {"syntax error", "[general]\nthis line has no equals sign\n", "program",
       ERROR_BAD_CONFIGURATION, syntax_error, syntax_error.c_str()},
      {"negative level", "[general]\ndebug = -1\n", "program", ERROR_BAD_CONFIGURATION,
       negative_level, negative_level.c_str()},
      {"no log folder", "[general]\nlogdir = nosuch\n", "program", ERROR_PATH_NOT_FOUND,
       "Log folder not found: C:\\vmrsmgr-e2e\\no log folder\\bin\\nosuch", nullptr},
      {"log folder is a file", "[general]\nlogdir = conf\\vmrsmgr.conf\n", "program",
       ERROR_PATH_NOT_FOUND,
       "Log folder not found: C:\\vmrsmgr-e2e\\log folder is a file\\bin\\conf\\vmrsmgr.conf",
       nullptr},
      {long_name.c_str(), nullptr, "program", ERROR_FILENAME_EXCED_RANGE,
       "Component path too long: " + long_program + " (" + length + " characters, at most 259)",
       long_log.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installation installation(c.name);
    installation.owns_service("dariri");
    if (c.component != nullptr && std::string(c.component) == "program") {
      installation.add_component("dariri\\dariri.exe");
    } else if (c.component != nullptr) {
      fs::create_directories(installation.root() / "dariri");
    }
    if (c.config != nullptr) installation.write_config(c.config);
    ASSERT_EQ(installation.tool("--install dariri" + kCredentials).exit_code, 0);

    const Outcome result = installation.tool("--start dariri");
    EXPECT_EQ(result.exit_code, 1) << result.output;
    EXPECT_TRUE(contains(result.output, "Service Starting error\n")) << result.output;
    // The tool names the cause: the service's exit code and what is at fault.
    EXPECT_TRUE(contains(result.output, error_report(c.exit_code) + c.cause + "\n"))
        << result.output;
    const SERVICE_STATUS status = wait_for_service("dariri", SERVICE_STOPPED);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, c.exit_code);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    ASSERT_TRUE(service_processes_ended());
    // Never launched.
    EXPECT_FALSE(fs::exists(installation.root() / "dariri" / "args.component"));
    const std::string log = Installation::read(installation.bin() / "log" / "dariri.vmrsmgr.log");
    if (c.log_line != nullptr) {
      EXPECT_TRUE(contains(log, std::string(" ") + c.log_line + "\r\n")) << log;
    } else {
      EXPECT_EQ(log, "");
    }
    EXPECT_EQ(installation.tool("--uninstall dariri").exit_code, 0);
  }
}

TEST(ServiceRun, TheControlComponentRunsForItsZpc) {
  Installation installation("control");
  installation.owns_service("reduze-PROD");
  installation.add_component("tavrin\\reduze.exe");
  ASSERT_EQ(installation.tool("--install reduze --zpc PROD" + kCredentials).exit_code, 0);
  Outcome result = installation.tool("--start reduze-PROD");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  result = installation.tool("--status reduze --zpc PROD --mode GUI");
  EXPECT_TRUE(contains(result.output, "{\"service\":\"installed\",\"status\":\"running\"}"))
      << result.output;
  const fs::path args = installation.root() / "tavrin" / "args.component";
  EXPECT_TRUE(eventually([&] { return fs::exists(args); }));
  EXPECT_EQ(Installation::read(args), " -D start -d PROD");
  EXPECT_EQ(installation.tool("--stop reduze-PROD").exit_code, 0);
  ASSERT_TRUE(service_processes_ended());
  EXPECT_TRUE(processes_named("reduze.exe").empty());

  // Without a configuration file the level is 0: the lifecycle lines only.
  const std::string text =
      Installation::read(installation.bin() / "log" / "reduze-PROD.vmrsmgr.log");
  // The component's own process, not the interpreter's.
  const std::string pid = Installation::read(installation.root() / "tavrin" / "pid.component");
  for (const std::string& line :
       {std::string(" === starting service vmrsmgr ===\r\n"),
        std::string(" ") + kVersionText + ", " + (installation.bin() / "vmrsmgr.exe").string() +
            "\r\n",
        " Component started, process ID " + pid + "\r\n", std::string(" Stop requested\r\n")}) {
    EXPECT_TRUE(contains(text, line)) << line << " not in\n" << text;
  }
  EXPECT_FALSE(contains(text, "[debug]")) << text;
  EXPECT_FALSE(contains(text, "Component ended")) << text;
  EXPECT_EQ(installation.tool("--uninstall reduze --zpc PROD").exit_code, 0);
}

}  // namespace
}  // namespace vmrsmgr::testing
