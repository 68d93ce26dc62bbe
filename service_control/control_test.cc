#include <deque>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "platform/text.h"
#include "service_control/event_source.h"
#include "service_control/service_operations.h"
#include "service_control/start_failure.h"
#include "service_control/testing/fake_system_api.h"
#include "tests/capture.h"
#include "tests/temp_folder.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;
using testing::error_report;
using testing::FakeSystemApi;
using Operation = int (*)(const std::string& service_name, SystemApi&);

// A start whose service's files are not known.
int start_without_log(const std::string& service_name, SystemApi& api) {
  return start_service(service_name, ServiceFiles{}, api);
}

SERVICE_STATUS state(DWORD current, DWORD checkpoint = 0, DWORD wait_hint = 0) {
  return {SERVICE_WIN32_OWN_PROCESS, current, 0, 0, 0, checkpoint, wait_hint};
}

SERVICE_STATUS ended(DWORD exit_code, DWORD specific = 0) {
  return {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, exit_code, specific, 0, 0};
}

std::string dots(std::size_t count) { return std::string(count, '.'); }

// A service in the pending state whose check point moves at every query.
std::deque<SERVICE_STATUS> moving(DWORD pending, DWORD count) {
  std::deque<SERVICE_STATUS> states;
  for (DWORD checkpoint = 1; checkpoint <= count; ++checkpoint) {
    states.push_back(state(pending, checkpoint, 3000));
  }
  return states;
}

// Runs an operation on the service devidori: its messages still say Dariri.
int run(FakeSystemApi& api, Operation operation, std::string& out, std::string& err) {
  const CapturedOutput captured;
  const int code = operation("devidori", api);
  out = captured.out();
  err = captured.err();
  EXPECT_EQ(api.held(), 0u) << "handles left open";
  return code;
}

TEST(DescribeState, GivesCodeAndMessageOfEachState) {
  const struct {
    DWORD state;
    int code;
    const char* message;
  } cases[] = {
      {SERVICE_RUNNING, 0, "Dariri service is running"},
      {SERVICE_STOPPED, 10, "Dariri service is not running"},
      {SERVICE_STOP_PENDING, 3, "Dariri service is stopping"},
      {SERVICE_START_PENDING, 2, "Dariri service is starting"},
      {SERVICE_PAUSED, 1, "Dariri service has unknown status 7"},
      {0, 1, "Dariri service has unknown status 0"},
  };
  for (const auto& c : cases) {
    const StateReport report = describe_state(c.state);
    EXPECT_EQ(report.code, c.code) << c.state;
    EXPECT_EQ(report.message, c.message);
  }
}

struct Scenario {
  const char* name;
  Operation operation;
  std::map<std::string, DWORD> errors;
  SERVICE_STATUS control_answer;
  std::deque<SERVICE_STATUS> states;
  std::string out;
  int code;
  bool deletes;
  std::string err = "";
  const wchar_t* registered = nullptr;  // the fake's own vmrsmgr -s devidori
  DWORD denied_access = 0;
};

TEST(ServiceControl, MessagesAndResultsOfEachPath) {
  const SERVICE_STATUS stopping = state(SERVICE_STOP_PENDING, 1, 3000);
  const std::map<std::string, DWORD> none;
  const SERVICE_STATUS stopped = state(SERVICE_STOPPED);
  const SERVICE_STATUS running = state(SERVICE_RUNNING);
  const std::string missing =
      "Cannot connect to Service\n" + error_report(ERROR_SERVICE_DOES_NOT_EXIST);
  const std::map<std::string, DWORD> not_installed{{"OpenServiceW", ERROR_SERVICE_DOES_NOT_EXIST}};
  const std::map<std::string, DWORD> not_active{{"ControlService", ERROR_SERVICE_NOT_ACTIVE}};
  const std::map<std::string, DWORD> cannot_accept{
      {"ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL}};
  const std::map<std::string, DWORD> stop_denied{{"ControlService", ERROR_ACCESS_DENIED}};
  const std::string timeout = error_report(ERROR_SERVICE_REQUEST_TIMEOUT);
  const wchar_t* foreign = L"\"C:\\Windows\\dummy.exe\" -s devidori";
  const std::string left_foreign =
      "The service devidori is not run by vmrsmgr.exe -s devidori and "
      "is left as it is; it runs: \"C:\\Windows\\dummy.exe\" -s devidori\n";
  // clang-format off
  const Scenario scenarios[] = {
      {"status paused", service_status, none, {}, {state(SERVICE_PAUSED)},
       "Dariri service has unknown status 7\n", 1, false},
      {"status query failed", service_status, {{"QueryServiceStatus", ERROR_ACCESS_DENIED}}, {},
       {running}, "Dariri service has unknown status 0\n", 1, false},
      {"status not installed", service_status, not_installed, {}, {running}, missing, 1, false},
      {"status without manager", service_status, {{"OpenSCManagerW", ERROR_ACCESS_DENIED}}, {},
       {running}, "Cannot connect to Service\n" + error_report(ERROR_INVALID_HANDLE), 1, false},

      {"start", start_without_log, none, {},
       {state(SERVICE_START_PENDING, 1), state(SERVICE_START_PENDING, 2), running},
       "Starting Dariri service..\nStart Complete\n", 0, false},
      {"start without manager", start_without_log, {{"OpenSCManagerW", ERROR_ACCESS_DENIED}}, {}, {},
       "Cannot connect to Service manager \n" + error_report(ERROR_ACCESS_DENIED), 1, false},
      {"start not installed", start_without_log, not_installed, {}, {}, missing, 1, false},
      {"start refused", start_without_log, {{"StartServiceW", ERROR_SERVICE_ALREADY_RUNNING}}, {}, {},
       "Service Starting error\n" + error_report(ERROR_SERVICE_ALREADY_RUNNING), 1, false},
      {"start ended during start", start_without_log, none, {},
       {state(SERVICE_START_PENDING, 1), stopped},
       "Starting Dariri service.\nService Starting error\n"
       "A stop was requested before the start completed\n", 1, false},
      // Stopped with a cause of its own: the report says which.
      {"start ended with a cause", start_without_log, none, {},
       {state(SERVICE_START_PENDING, 1), ended(ERROR_BAD_CONFIGURATION)},
       "Starting Dariri service.\nService Starting error\n" +
           error_report(ERROR_BAD_CONFIGURATION), 1, false},
      {"start ended by the component", start_without_log, none, {},
       {state(SERVICE_STOP_PENDING), state(SERVICE_STOP_PENDING),
        ended(ERROR_SERVICE_SPECIFIC_ERROR, 3)},
       "Starting Dariri service\nService Starting error\n" +
           error_report(ERROR_SERVICE_SPECIFIC_ERROR) + "Service-specific exit code: 3\n"
           "Component ended by itself with exit code 3\n", 1, false},
      // Wine refuses the start itself when the service stops before it reports.
      {"start refused as it ended", start_without_log, {{"StartServiceW", ERROR_SERVICE_REQUEST_TIMEOUT}},
       {}, {ended(ERROR_PATH_NOT_FOUND)},
       "Service Starting error\n" + error_report(ERROR_SERVICE_REQUEST_TIMEOUT) +
           error_report(ERROR_PATH_NOT_FOUND), 1, false},
      {"start query failed", start_without_log, {{"QueryServiceStatus", ERROR_INVALID_HANDLE}}, {}, {},
       "Starting Dariri service\nService Starting error\n", 1, false},
      // Check point 1 first seen at 100 ms, given up 30 s later.
      {"start stuck", start_without_log, none, {}, {state(SERVICE_START_PENDING, 1)},
       "Starting Dariri service" + dots(300) + "\nService Starting error\n" + timeout, 1, false},
      // Every wait ends after three minutes, however the service moves on.
      {"start moving forever", start_without_log, none, {}, moving(SERVICE_START_PENDING, 4000),
       "Starting Dariri service" + dots(1799) + "\nService Starting error\n" + timeout, 1, false},

      {"stop", stop_service, none, stopping, {state(SERVICE_STOP_PENDING, 2), stopped},
       "Stopping Dariri service.\nStop Complete\n", 0, false},
      {"stop not running", stop_service, not_active, stopped, {}, "", 0, false},
      {"stop not active, no state", stop_service, not_active, {}, {}, "", 0, false},
      // Reported stopped, its process still finishing.
      {"stop just stopped", stop_service, cannot_accept, stopped, {}, "", 0, false},
      {"stop already stopping", stop_service, cannot_accept, stopping, {stopped},
       "Stopping Dariri service\nStop Complete\n", 0, false},
      // Windows refuses the stop while the service starts: the start ends first.
      {"stop while starting", stop_service, none, stopping,
       {state(SERVICE_START_PENDING, 1), state(SERVICE_START_PENDING, 2), running,
        state(SERVICE_STOP_PENDING, 2), stopped},
       "Stopping Dariri service...\nStop Complete\n", 0, false},
      {"stop while a start fails", stop_service, none, stopping,
       {state(SERVICE_START_PENDING, 1), stopped}, "Stopping Dariri service.\nStop Complete\n", 0,
       false},
      {"stop while stuck starting", stop_service, none, stopping, {state(SERVICE_START_PENDING, 1)},
       "Stopping Dariri service" + dots(299) + "Service stoping error\n" + timeout, 1, false},
      {"stop refused", stop_service, stop_denied, running, {},
       "Service stoping error\n" + error_report(ERROR_ACCESS_DENIED), 1, false},
      {"stop query failed", stop_service, {{"QueryServiceStatus", ERROR_INVALID_HANDLE}}, stopping,
       {}, "Stopping Dariri serviceService stoping error\n" + error_report(ERROR_INVALID_HANDLE), 1,
       false},
      // Check point 1 already came with the control's answer at 0 ms.
      {"stop stuck", stop_service, none, stopping, {stopping},
       "Stopping Dariri service" + dots(299) + "Service stoping error\n" + timeout, 1, false},
      {"stop with a huge hint", stop_service, none, state(SERVICE_STOP_PENDING, 1, 0xFFFFFFFF),
       {state(SERVICE_STOP_PENDING, 1, 0xFFFFFFFF)},
       "Stopping Dariri service" + dots(1799) + "Service stoping error\n" + timeout, 1, false},
      {"stop ended running", stop_service, none, stopping, {running},
       "Stopping Dariri serviceService stoping error\nthe service is running again\n", 1, false},
      {"stop not installed", stop_service, not_installed, {}, {}, missing, 1, false},
      {"stop foreign", stop_service, none, stopping, {stopped}, "", 1, false, left_foreign, foreign},
      {"stop of another vmrsmgr service", stop_service, none, stopping, {stopped}, "", 1, false,
       "The service devidori is not run by vmrsmgr.exe -s devidori and is left as it is; it "
       "runs: C:\\Tools\\vmrsmgr.exe -s dariri\n", L"C:\\Tools\\vmrsmgr.exe -s dariri"},
      // Stopped by a user who may not read the configuration: nothing to check.
      {"stop configuration unreadable", stop_service, none, stopping, {stopped},
       "Stopping Dariri service\nStop Complete\n", 0, false, "", nullptr, SERVICE_QUERY_CONFIG},
      {"stop configuration query failed", stop_service,
       {{"QueryServiceConfigW", ERROR_INVALID_HANDLE}}, stopping, {stopped},
       error_report(ERROR_INVALID_HANDLE), 1, false,
       "Cannot read the configuration of the service devidori, so it is left as it is\n"},

      {"uninstall stopped", uninstall_service, not_active, stopped, {},
       "Dariri service uninstalled successfully.\n", 0, true},
      {"uninstall just stopped", uninstall_service, cannot_accept, stopped, {},
       "Dariri service uninstalled successfully.\n", 0, true},
      {"uninstall running", uninstall_service, none, stopping,
       {state(SERVICE_STOP_PENDING, 2), stopped},
       "Stopping Service.\nService Stoped\nDariri service uninstalled successfully.\n", 0, true},
      {"uninstall while starting", uninstall_service, none, stopping,
       {state(SERVICE_START_PENDING, 1), running, state(SERVICE_STOP_PENDING, 2), stopped},
       "Stopping Service..\nService Stoped\nDariri service uninstalled successfully.\n", 0, true},
      {"uninstall stop refused", uninstall_service, stop_denied, running, {},
       "Service Stoping error\n" + error_report(ERROR_ACCESS_DENIED), 1, false},
      {"uninstall stuck", uninstall_service, none, stopping, {stopping},
       "Stopping Service" + dots(59) + "Service Stoping error\n" + timeout, 1, false},
      {"uninstall moving forever", uninstall_service, none, stopping,
       moving(SERVICE_STOP_PENDING, 1000),
       "Stopping Service" + dots(359) + "Service Stoping error\n" + timeout, 1, false},
      {"uninstall ended paused", uninstall_service, none, stopping, {state(SERVICE_PAUSED)},
       "Stopping ServiceService Stoping error\nthe service is paused\n", 1, false},
      {"uninstall delete refused", uninstall_service,
       {{"ControlService", ERROR_SERVICE_NOT_ACTIVE},
        {"DeleteService", ERROR_SERVICE_MARKED_FOR_DELETE}}, stopped, {},
       "Service Uninstalling error\n" + error_report(ERROR_SERVICE_MARKED_FOR_DELETE), 1, true},
      {"uninstall not installed", uninstall_service, not_installed, {}, {}, missing, 1, false},
      {"uninstall foreign", uninstall_service, not_active, stopped, {}, "", 1, false, left_foreign,
       foreign},
      {"uninstall configuration unreadable", uninstall_service, not_active, stopped, {},
       error_report(ERROR_ACCESS_DENIED), 1, false,
       "Cannot read the configuration of the service devidori, so it is left as it is\n", nullptr,
       SERVICE_QUERY_CONFIG},
      // The service is gone; its event source is reported and left.
      {"uninstall source kept", uninstall_service,
       {{"ControlService", ERROR_SERVICE_NOT_ACTIVE}, {"RegDeleteKeyW", ERROR_ACCESS_DENIED}},
       stopped, {},
       "Dariri service uninstalled successfully.\nEvent source has not been removed\n" +
           error_report(ERROR_ACCESS_DENIED), 0, true},
  };
  // clang-format on
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    FakeSystemApi api;
    api.errors = s.errors;
    api.control_answer = s.control_answer;
    if (!s.states.empty()) api.states = s.states;
    if (s.registered != nullptr) api.registered_command = s.registered;
    api.denied_access = s.denied_access;
    const std::wstring source = event_source_key("devidori");
    api.registry[source][L"TypesSupported"] = {REG_DWORD, {7, 0, 0, 0}};
    std::string out, err;
    EXPECT_EQ(run(api, s.operation, out, err), s.code);
    EXPECT_EQ(out, s.out);
    EXPECT_EQ(err, s.err);
    EXPECT_EQ(api.called("DeleteService"), s.deletes);
    // A refused service is left as it was.
    if (!s.err.empty()) {
      EXPECT_FALSE(api.called("ControlService"));
    }
    const bool uninstalled = s.deletes && s.code == 0 && !s.errors.count("RegDeleteKeyW");
    EXPECT_EQ(api.registry.count(source), uninstalled ? 0u : 1u);
  }
}

// The installation: bin with its log folder and log, dariri with its program.
TEST(ServiceControl, FailedStartNamesWhatIsAtFault) {
  const testing::TempFolder dir;
  const std::string root = dir.text() + "\\";
  for (const char* folder : {"bin", "bin\\log", "dariri"}) fs::create_directories(root + folder);
  dir.write("bin\\log\\devidori.vmrsmgr.log", "");
  dir.write("dariri\\dariri.exe", "");
  const ServiceFiles found{"",
                           root + "bin\\log",
                           root + "bin\\log\\devidori.vmrsmgr.log",
                           {root + "bin\\..\\dariri\\", root + "bin\\..\\dariri\\dariri.exe", ""},
                           "conf\\vmrsmgr.conf"};
  const std::string bad_file =
      "conf\\vmrsmgr.conf: general.debug = -1 is not a whole number from 0 to 2147483647";
  const auto with = [&found](auto change) {
    ServiceFiles files = found;
    change(files);
    return files;
  };
  const std::string log = "Log file: " + found.log_file + "\n";
  const std::string long_program = root + std::string(260 - root.size(), 'x');
  const struct {
    const char* name;
    SERVICE_STATUS ended;
    ServiceFiles files;
    std::string cause;
  } cases[] = {
      {"the component ended", ended(ERROR_SERVICE_SPECIFIC_ERROR, 3), found,
       "Service-specific exit code: 3\nComponent ended by itself with exit code 3\n" + log},
      // Beside 0 the service-specific code alone tells the component's end from a stop.
      {"the component ended with 0", ended(NO_ERROR, kEndedByItself), found,
       "Component ended by itself with exit code 0\n" + log},
      {"a stop came first", ended(NO_ERROR), found,
       "A stop was requested before the start completed\n" + log},
      {"a path too long", ended(exit_code_of(StartFailure::kComponentPathTooLong)),
       with([&](ServiceFiles& f) { f.command.program = long_program; }),
       "Component path too long: " + long_program + " (" + std::to_string(long_program.size()) +
           " characters, at most 259)\n" + log},
      {"a bad configuration", ended(ERROR_BAD_CONFIGURATION),
       with([&](ServiceFiles& f) { f.config_problem = bad_file; }),
       "Error in Config::read_config: " + bad_file + "\n" + log},
      {"no log folder", ended(ERROR_PATH_NOT_FOUND),
       with([&](ServiceFiles& f) { f.log_folder = root + "bin\\logs"; }),
       "Log folder not found: " + root + "bin\\logs\n" + log},
      {"no component folder", ended(ERROR_PATH_NOT_FOUND),
       with([&](ServiceFiles& f) { f.command.folder = root + "bin\\..\\zavadedad\\"; }),
       "Component folder not found: " + root + "zavadedad\n" + log},
      {"no program", ended(ERROR_FILE_NOT_FOUND),
       with([&](ServiceFiles& f) { f.command.program = root + "dariri\\none.exe"; }),
       "Component program not found: " + root + "dariri\\none.exe\n" + log},
      {"all there, no log yet", ended(ERROR_PATH_NOT_FOUND),
       with([&](ServiceFiles& f) { f.log_file = root + "bin\\log\\none"; }), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystemApi api;
    api.states = {c.ended};
    const CapturedOutput captured;
    EXPECT_EQ(start_service("devidori", c.files, api), 1);
    const std::string code =
        c.ended.dwWin32ExitCode == NO_ERROR ? "" : error_report(c.ended.dwWin32ExitCode);
    EXPECT_EQ(captured.out(), "Starting Dariri service\nService Starting error\n" + code + c.cause);
  }
}

TEST(ServiceControl, OpensWithTheRightsAndPollsAtTheIntervalOfEachOperation) {
  const struct {
    const char* name;
    Operation operation;
    DWORD service_access, interval;
    bool checks_owner;
  } cases[] = {
      {"uninstall", uninstall_service, 0x50024, 500, true},
      {"start", start_without_log, 0x14, 100, false},
      {"stop", stop_service, 0x24, 100, true},
      {"status", service_status, 0x4, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystemApi api;
    api.states = {state(SERVICE_START_PENDING, 1), state(SERVICE_STOP_PENDING, 1),
                  state(SERVICE_STOPPED)};
    std::string out, err;
    run(api, c.operation, out, err);
    std::vector<DWORD> access{SC_MANAGER_CONNECT, c.service_access};
    if (c.checks_owner) access.push_back(SERVICE_QUERY_CONFIG);
    EXPECT_EQ(api.access, access);
    const std::vector<DWORD> polls(c.interval == 0 ? 0 : api.sleeps.size(), c.interval);
    EXPECT_EQ(api.sleeps, polls);
  }
}

TEST(RunsAsService, ReadsTheRegisteredCommandLine) {
  const struct {
    const wchar_t* line;
    const char* name;
    bool ours;
  } cases[] = {
      {LR"("C:\Program Files\S\bin\vmrsmgr.exe" -s dariri)", "dariri", true},
      // A moved installation, written by hand or by another tool.
      {LR"(D:\Old Place\bin\VMRSMGR.EXE -s DARIRI)", "dariri", true},
      {LR"(  vmrsmgr.exe   -s   reduze-PROD  )", "reduze-prod", true},
      {LR"("C:\S\vmrsmgr.exe" "-s" "dari"ri words it ignores)", "dariri", true},
      {LR"(C:/S/vmrsmgr.exe -s dariri)", "dariri", true},
      {LR"("C:\S\vmrsmgr.exe" -s devidori)", "dariri", false},
      {LR"("C:\S\vmrsmgr.exe" -s dariri\")", "dariri", false},
      {LR"("C:\S\vmrsmgr.exe" --start dariri)", "dariri", false},
      {LR"("C:\S\vmrsmgr.exe" dariri -s)", "dariri", false},
      {LR"("C:\S\vmrsmgr.exe")", "dariri", false},
      {LR"("C:\S\vmrsmgr.exe.bak" -s dariri)", "dariri", false},
      {LR"("C:\vmrsmgr.exe\dummy.exe" -s dariri)", "dariri", false},
      {LR"("C:\S\not-vmrsmgr.exe" -s dariri)", "dariri", false},
      // Unquoted, the program ends at the first ".exe" the manager would run.
      {LR"(C:\S\dummy.exe C:\S\vmrsmgr.exe -s dariri)", "dariri", false},
      {LR"(C:\S\vmrsmgr -s dariri)", "dariri", false},
      {L"", "dariri", false},
      {LR"("")", "dariri", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runs_as_service(c.line, c.name), c.ours) << platform::to_narrow(c.line);
  }
  const ServiceCommand split =
      split_service_command(LR"("C:\a b\x.exe" one "two three" a\\"b c" d\"e "f""g" h\\i)");
  EXPECT_EQ(split.program, LR"(C:\a b\x.exe)");
  EXPECT_EQ(split.arguments, (std::vector<std::wstring>{L"one", L"two three", LR"(a\b c)",
                                                        LR"(d"e)", LR"(f"g)", LR"(h\\i)"}));
}

TEST(WaitWhilePending, GivesUpWhenTheCheckPointStallsOrAfterTheLongestWait) {
  const struct {
    const char* name;
    std::deque<SERVICE_STATUS> states;
    DWORD final_state;
    std::uint64_t elapsed;
  } cases[] = {
      // A long wait hint extends the patience beyond 30 s.
      {"long hint", {state(SERVICE_STOP_PENDING, 1, 60000)}, SERVICE_STOP_PENDING, 60000},
      {"short hint", {state(SERVICE_STOP_PENDING, 1, 500)}, SERVICE_STOP_PENDING, 30000},
      {"huge hint", {state(SERVICE_STOP_PENDING, 1, 0xFFFFFFFF)}, SERVICE_STOP_PENDING, 180000},
      {"moving forever", moving(SERVICE_STOP_PENDING, 4000), SERVICE_STOP_PENDING, 180000},
      // Progress restarts the clock: 20 s at one check point, then 20 s at the next.
      {"progress",
       [] {
         std::deque<SERVICE_STATUS> states(200, state(SERVICE_STOP_PENDING, 1));
         states.insert(states.end(), 200, state(SERVICE_STOP_PENDING, 2));
         states.push_back(state(SERVICE_STOPPED));
         return states;
       }(),
       SERVICE_STOPPED, 40100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystemApi api;
    api.states = c.states;
    const CapturedOutput captured;
    const WaitResult result =
        wait_while_pending(api, nullptr, state(SERVICE_STOP_PENDING, 1), SERVICE_STOP_PENDING, 100);
    EXPECT_EQ(result.status.dwCurrentState, c.final_state);
    EXPECT_EQ(api.now, c.elapsed);
    EXPECT_EQ(captured.out(), dots(c.elapsed / 100 - 1));
  }
}

}  // namespace
}  // namespace vmrsmgr
