// The program against the real service manager: runs vmrsmgr.exe as a person
// would and reads back what the manager registered. Start and stop act on a
// small test service, so these tests do not depend on the service host.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/handles.h"
#include "platform/text.h"
#include "tests/installation.h"
#include "service_host/service_events.h"
#include "service_host/testing/fake_event_sink.h"
#include "tests/windows_support.h"

namespace vmrsmgr {
namespace {

using platform::to_narrow;
using platform::to_wide;
using testing::error_report;
using testing::open_manager;
using testing::open_service;
using testing::Outcome;

std::wstring full_path(const char* path) {
  const std::wstring given = L"Z:" + to_wide(path);
  std::wstring full(32768, L'\0');
  full.resize(
      ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
  return full;
}

const std::wstring& program() {
  static const std::wstring path = full_path(VMRSMGR_EXE);
  return path;
}

std::string gui_answer(const char* json) {
  return std::string("---GUI_TAG_START_JSON---\n") + json + "\n---GUI_TAG_START_JSON---\n";
}

constexpr const char* kNotInstalledJson =
    R"({"service":"not installed or error during checking","status":"stopped"})";

// Runs vmrsmgr.exe with the arguments; line ends are compared as "\n".
Outcome run(const std::string& arguments) {
  const Outcome outcome = testing::run_command(L"\"" + program() + L"\" " + to_wide(arguments),
                                               120000, testing::Streams::apart);
  EXPECT_NE(outcome.exit_code, -1) << "did not run to its end: " << arguments;
  return outcome;
}

// Stops and deletes a service the test registered, whatever happened.
class Cleanup {
 public:
  explicit Cleanup(std::string name) : name_(std::move(name)) {}
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;
  ~Cleanup() { testing::remove_service(name_); }

 private:
  std::string name_;
};

std::string unique_name(const char* stem) {
  static int count = 0;
  return std::string(stem) + std::to_string(::GetCurrentProcessId()) + "x" +
         std::to_string(++count);
}

// Whether the test service is registered as a vmrsmgr.exe of another
// installation or as a program of its own.
enum class Program { kVmrsmgr, kForeign };

std::wstring test_service_command(const std::string& name, const char* behaviour, Program program) {
  if (program == Program::kForeign) {
    return L"\"" + full_path(TEST_SERVICE_EXE) + L"\" " + to_wide(behaviour) + L" " + to_wide(name);
  }
  return L"\"" + full_path(TEST_SERVICE_AS_VMRSMGR_EXE) + L"\" -s " + to_wide(name) + L" " +
         to_wide(behaviour);
}

// A test service with a behaviour of test_service.exe.
std::string register_test_service(const char* behaviour, Program program = Program::kVmrsmgr) {
  const std::string name = unique_name("vmrsmgr-test-");
  const std::wstring command = test_service_command(name, behaviour, program);
  const ServiceHandle manager = open_manager(SC_MANAGER_ALL_ACCESS);
  const ServiceHandle service = testing::owned(::CreateServiceW(
      manager.get(), to_wide(name).c_str(), to_wide(name).c_str(), SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
      nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_TRUE(service) << "cannot register " << name << ": " << ::GetLastError();
  return name;
}

struct Registration {
  DWORD service_type, start_type, error_control;
  std::wstring command_line, display_name, start_name, description;
};

std::vector<std::uint64_t> query(SC_HANDLE service, DWORD level) {
  DWORD needed = 0;
  if (level == 0) {
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
  } else {
    ::QueryServiceConfig2W(service, level, nullptr, 0, &needed);
  }
  std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
  const auto size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
  auto* bytes = reinterpret_cast<BYTE*>(buffer.data());
  const BOOL read =
      level == 0 ? ::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(bytes),
                                         size, &needed)
                 : ::QueryServiceConfig2W(service, level, bytes, size, &needed);
  EXPECT_TRUE(read) << ::GetLastError();
  return buffer;
}

std::optional<Registration> registration(const std::string& name) {
  const ServiceHandle service = open_service(name, SERVICE_QUERY_CONFIG);
  if (!service) return std::nullopt;
  const std::vector<std::uint64_t> config = query(service.get(), 0);
  const std::vector<std::uint64_t> description = query(service.get(), SERVICE_CONFIG_DESCRIPTION);
  const auto* c = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
  const auto* d = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(description.data());
  const auto text = [](const wchar_t* t) { return std::wstring(t == nullptr ? L"" : t); };
  return Registration{c->dwServiceType,       c->dwStartType,
                      c->dwErrorControl,      text(c->lpBinaryPathName),
                      text(c->lpDisplayName), text(c->lpServiceStartName),
                      text(d->lpDescription)};
}

void expect_outcome(const Outcome& actual, const Outcome& expected, const std::string& what) {
  EXPECT_EQ(actual.exit_code, expected.exit_code) << what;
  EXPECT_EQ(actual.output, expected.output) << what;
  EXPECT_EQ(actual.errors, expected.errors) << what;
}

// For the waits, whose number of dots depends on the machine's pace.
void expect_outcome_like(const Outcome& actual, int code, const char* out_pattern,
                         const std::string& what) {
  EXPECT_EQ(actual.exit_code, code) << what;
  EXPECT_TRUE(std::regex_match(actual.output, std::regex(out_pattern))) << what << ":\n"
                                                                        << actual.output;
  EXPECT_EQ(actual.errors, "") << what;
}

TEST(ServiceManager, InstallsEachComponentAsLocalSystem) {
  const std::string zpc = "T" + std::to_string(::GetCurrentProcessId());
  const struct {
    std::string install, name, display_name, description;
  } components[] = {
      {"dariri", "dariri", "Dariri", "Verimor Tavrin Dariri Service"},
      {"devidori", "devidori", "Devidori", "Verimor Tavrin Devidori Service"},
      {"zavadedad", "zavadedad", "Zavadedad", "Verimor Tavrin Zavadedad Service"},
      {"reduze --zpc " + zpc, "reduze-" + zpc, "Reduze-" + zpc,
       "Verimor Tavrin Viradozir Service for " + zpc},
  };
  for (const auto& c : components) {
    SCOPED_TRACE(c.name);
    const Cleanup cleanup(c.name);
    const std::string install = "--install " + c.install + " --account \"\" --password \"\"";
    expect_outcome(run(install), {0, "Service has been installed\n", ""}, "install");

    const std::optional<Registration> registered = registration(c.name);
    ASSERT_TRUE(registered);
    EXPECT_EQ(registered->service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(registered->start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(registered->error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(registered->command_line, L"\"" + program() + L"\" -s " + to_wide(c.name));
    EXPECT_EQ(registered->display_name, to_wide(c.display_name));
    EXPECT_EQ(registered->description, to_wide(c.description));
    EXPECT_EQ(registered->start_name, L"LocalSystem");

    expect_outcome(run("--status " + c.name + " --mode GUI"),
                   {10,
                    "Dariri service is not running\n" +
                        gui_answer(R"({"service":"installed","status":"stopped"})"),
                    ""},
                   "status");
    expect_outcome(run(install), {1, error_report(ERROR_SERVICE_EXISTS), "Create Service failed\n"},
                   "second install");
    expect_outcome(run("--uninstall " + c.name),
                   {0, "Dariri service uninstalled successfully.\n", ""}, "uninstall");
    EXPECT_FALSE(registration(c.name)) << "still registered";
  }
}

// A value of the service's event source; nullopt when the key or the value is
// missing.
struct RegistryValue {
  DWORD type;
  std::vector<BYTE> data;
};
std::optional<RegistryValue> event_source_value(const std::string& service, const wchar_t* name) {
  const std::wstring key =
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + to_wide(service);
  RegistryValue value{0, std::vector<BYTE>(4096)};
  auto size = static_cast<DWORD>(value.data.size());
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type,
                     value.data.data(), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.data.resize(size);
  return value;
}

TEST(ServiceManager, InstallRegistersTheEventSourceAndUninstallRemovesIt) {
  const Cleanup cleanup("reduze-PROD");
  expect_outcome(run("--install reduze --zpc PROD --account \"\" --password \"\""),
                 {0, "Service has been installed\n", ""}, "install");
  const std::optional<RegistryValue> file = event_source_value("reduze-PROD", L"EventMessageFile");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(file->data.data())), program());
  const std::optional<RegistryValue> types = event_source_value("reduze-PROD", L"TypesSupported");
  ASSERT_TRUE(types);
  EXPECT_EQ(types->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(types->data, (std::vector<BYTE>{7, 0, 0, 0}));

  expect_outcome(run("--uninstall reduze-PROD"),
                 {0, "Dariri service uninstalled successfully.\n", ""}, "uninstall");
  EXPECT_FALSE(event_source_value("reduze-PROD", L"TypesSupported"));
}

// Every event the service can write, formatted from the program's own message
// table as the event log does: each insert the code gives has its place.
TEST(ServiceManager, TheProgramCarriesTheMessageOfEveryEvent) {
  testing::FakeEventSink sink;
  ServiceEvents events(sink);
  events.started("dariri.exe", 1660, "1.0.0");
  events.log_not_opened("C:\\log\\dariri.vmrsmgr.log", "Access is denied.");
  events.log_not_written("C:\\log\\dariri.vmrsmgr.log", "The disk is full.");
  events.log_lines_lost("C:\\log\\dariri.vmrsmgr.log", "12 lines");
  events.log_not_rotated("C:\\log\\dariri.vmrsmgr.log", "In use.");
  events.old_log_not_removed("C:\\log\\dariri.vmrsmgr.log1", "Held.");
  events.ended_by_force({1660, 1702});
  events.stopped_on_request();
  // The end of a run is told once: each other end in a run of its own.
  ServiceEvents(sink).component_ended(0);
  ServiceEvents(sink).component_ended(3);
  ServiceEvents(sink).start_failed(3, "Log folder not found: C:\\log", "C:\\log",
                                   "C:\\log\\dariri.vmrsmgr.log");

  const platform::unique_hmodule module(::LoadLibraryExW(
      program().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(module) << ::GetLastError();
  std::vector<std::uint32_t> ids;
  for (const testing::Event& event : sink.events) {
    SCOPED_TRACE(event.id);
    ids.push_back(event.id);
    std::vector<std::wstring> inserts;
    for (const std::string& insert : event.inserts) inserts.push_back(to_wide(insert));
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& insert : inserts) {
      arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
    }
    // A message that takes more inserts than the code gives shows these.
    arguments.resize(arguments.size() + 8, reinterpret_cast<DWORD_PTR>(L"<missing>"));
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
            FORMAT_MESSAGE_ARGUMENT_ARRAY,
        module.get(), event.id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<wchar_t*>(&buffer), 0, reinterpret_cast<va_list*>(arguments.data()));
    const platform::unique_hlocal<wchar_t*> owner(buffer);
    ASSERT_NE(length, 0u) << "no message: " << ::GetLastError();
    const std::string text = to_narrow(std::wstring(buffer, length));
    for (const std::string& insert : event.inserts) {
      EXPECT_NE(text.find(insert), std::string::npos) << insert << " not in " << text;
    }
    EXPECT_EQ(text.find("<missing>"), std::string::npos) << text;
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008,
                                             1009, 1010}));
}

TEST(ServiceManager, InstallsUnderTheWineUserWithAccessListAndLogonRight) {
  wchar_t user[256];
  DWORD length = 256;
  ASSERT_TRUE(::GetUserNameW(user, &length));
  const std::string account = to_narrow(user);
  const Cleanup cleanup("devidori");
  expect_outcome(run("--install devidori --account " + account + " --password x"),
                 {0,
                  "Service has been installed\nSecurity Information has been updated\n"
                  "Policy 'Log on as a service' has been taken\n",
                  ""},
                 "install");
  const std::optional<Registration> registered = registration("devidori");
  ASSERT_TRUE(registered);
  // The manager of Windows refuses a bare name.
  EXPECT_EQ(registered->start_name, L".\\" + std::wstring(user));

  // Wine's manager accepts an access list but keeps none to read back; the
  // list itself is checked on the fake.

  expect_outcome(run("--uninstall devidori"), {0, "Dariri service uninstalled successfully.\n", ""},
                 "uninstall");
}

TEST(ServiceManager, AccountThatCannotBeMappedLeavesNoService) {
  const Cleanup cleanup("zavadedad");
  const Outcome failed = {1,
                          "Service has been installed\nSecurity Information has been updated\n" +
                              error_report(ERROR_NONE_MAPPED),
                          "Service removed again: the installation did not complete\n"};
  expect_outcome(run("--install zavadedad --account nosuchuser --password secret"), failed,
                 "install");
  EXPECT_FALSE(registration("zavadedad"));
  expect_outcome(run("--install zavadedad --account nosuchuser --password secret"), failed,
                 "install again");
}

// Windows makes the account with the service and keeps its password; its
// lookup is left to Windows (Wine's policy does not know such accounts).
TEST(ServiceManager, RunsUnderItsVirtualAccount) {
  testing::Installation installation("virtual-account");
  installation.add_component("dariri\\dariri.exe");
  installation.owns_service("dariri");
  expect_outcome(
      installation.tool("--install dariri --account \"NT SERVICE\\dariri\" --password \"\""),
      {0, "Service has been installed\nSecurity Information has been updated\n", ""}, "install");
  const std::optional<Registration> registered = registration("dariri");
  ASSERT_TRUE(registered);
  EXPECT_EQ(registered->start_name, L"NT SERVICE\\dariri");
  expect_outcome_like(installation.tool("--start dariri"), 0,
                      "Starting Dariri service\\.*\nStart Complete\n", "start");
  expect_outcome_like(installation.tool("--stop dariri"), 0,
                      "Stopping Dariri service\\.*\nStop Complete\n", "stop");
  expect_outcome(installation.tool("--uninstall dariri"),
                 {0, "Dariri service uninstalled successfully.\n", ""}, "uninstall");
}

// The manager keeps the command line as an expandable text: "%OS%" would
// become another folder's name.
TEST(ServiceManager, RefusesAnInstallationWhosePathHoldsAPercentSign) {
  testing::Installation installation("pct%OS%");
  installation.owns_service("dariri");
  expect_outcome(installation.tool("--install dariri --account \"\" --password \"\""),
                 {1,
                  "Error: the program's path " + (installation.bin() / "vmrsmgr.exe").string() +
                      " holds \"%\", which the service manager would expand as a variable: "
                      "install from a folder whose path has no \"%\"\n",
                  ""},
                 "install");
  EXPECT_FALSE(registration("dariri"));
}

TEST(ServiceManager, StatusOfAMissingService) {
  const std::string missing = error_report(ERROR_SERVICE_DOES_NOT_EXIST);
  expect_outcome(run("--status dariri-none"), {1, "Cannot connect to Service\n" + missing, ""},
                 "plain");
  expect_outcome(run("--status dariri-none --mode GUI"),
                 {1, "Cannot connect to Service\n" + missing + gui_answer(kNotInstalledJson), ""},
                 "GUI");
}

TEST(ServiceManager, StartsStopsAndReportsARunningService) {
  const std::string name = register_test_service("normal");
  const Cleanup cleanup(name);
  expect_outcome(run("--status " + name), {10, "Dariri service is not running\n", ""}, "stopped");
  expect_outcome_like(run("--start " + name), 0, "Starting Dariri service\\.*\nStart Complete\n",
                      "start");
  expect_outcome(
      run("--status " + name + " --mode GUI"),
      {0,
       "Dariri service is running\n" + gui_answer(R"({"service":"installed","status":"running"})"),
       ""},
      "running");
  expect_outcome_like(run("--stop " + name), 0, "Stopping Dariri service\\.*\nStop Complete\n",
                      "stop");
  expect_outcome(run("--stop " + name), {0, "", ""}, "stop of a stopped service");
  expect_outcome_like(run("--start " + name), 0, "Starting Dariri service\\.*\nStart Complete\n",
                      "start again");
  expect_outcome_like(
      run("--uninstall " + name), 0,
      "Stopping Service\\.*\nService Stoped\nDariri service uninstalled successfully\\.\n",
      "uninstall of a running service");
  EXPECT_FALSE(registration(name));
}

// The failed start ends with the service's exit code; a service that stops
// before its first report fails the start call itself under Wine.
TEST(ServiceManager, ServiceThatStopsDuringItsStartGivesItsExitCode) {
  const struct {
    const char* behaviour;
    std::string exit_report;
  } cases[] = {
      {"fail-start",
       error_report(ERROR_SERVICE_SPECIFIC_ERROR) +
           "Service-specific exit code: 1\nComponent ended by itself with exit code 1\n"},
      {"stop-at-once", error_report(ERROR_BAD_CONFIGURATION)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    const std::string name = register_test_service(c.behaviour);
    const Cleanup cleanup(name);
    const Outcome started = run("--start " + name);
    EXPECT_EQ(started.exit_code, 1);
    const std::size_t failed = started.output.find("Service Starting error\n");
    ASSERT_NE(failed, std::string::npos) << started.output;
    const std::string after = started.output.substr(failed);
    ASSERT_GE(after.size(), c.exit_report.size()) << started.output;
    EXPECT_EQ(after.substr(after.size() - c.exit_report.size()), c.exit_report) << started.output;
    expect_outcome(run("--status " + name), {10, "Dariri service is not running\n", ""}, "status");
  }
}

// Start and status stay open to every service; stop and uninstall leave
// one that vmrsmgr does not run as it was.
TEST(ServiceManager, LeavesAServiceOfAnotherProgramAsItWas) {
  const std::string name = register_test_service("normal", Program::kForeign);
  const Cleanup cleanup(name);
  expect_outcome_like(run("--start " + name), 0, "Starting Dariri service\\.*\nStart Complete\n",
                      "start");
  const std::string refusal = "The service " + name + " is not run by vmrsmgr.exe -s " + name +
                              " and is left as it is; it runs: " +
                              to_narrow(test_service_command(name, "normal", Program::kForeign)) +
                              "\n";
  expect_outcome(run("--stop " + name), {1, "", refusal}, "stop");
  expect_outcome(run("--uninstall " + name), {1, "", refusal}, "uninstall");
  expect_outcome(run("--status " + name), {0, "Dariri service is running\n", ""}, "status");
  EXPECT_TRUE(registration(name)) << "deleted";
}

TEST(ServiceManager, ReportsAndStopsAStartingService) {
  const std::string name = register_test_service("stay-pending");
  const Cleanup cleanup(name);
  {
    const ServiceHandle service = open_service(name, SERVICE_START);
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
  }
  expect_outcome(run("--status " + name + " --mode GUI"),
                 {2, "Dariri service is starting\n" + gui_answer(kNotInstalledJson), ""},
                 "starting");
  expect_outcome_like(run("--stop " + name), 0, "Stopping Dariri service\\.*\nStop Complete\n",
                      "stop");
}

}  // namespace
}  // namespace vmrsmgr
