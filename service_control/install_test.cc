#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service_control/account.h"
#include "service_control/service_operations.h"
#include "service_control/testing/fake_system_api.h"
#include "tests/capture.h"

namespace vmrsmgr {
namespace {

using testing::error_report;
using testing::FakeSystemApi;

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS kStatusNoneMapped = static_cast<NTSTATUS>(0xC0000073);
constexpr NTSTATUS kStatusSomeNotMapped = 0x107;

ServiceDefinition definition_for(const std::string& account, const std::string& password) {
  return {"dariri", "Dariri", "undef", {account, password}, ""};
}

struct Installed {
  int code;
  std::string out, err;
};

Installed install(FakeSystemApi& api, const ServiceDefinition& definition) {
  // A stale code that a report must not show.
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  const CapturedOutput captured;
  Installed result{};
  result.code = install_service(definition, api);
  result.out = captured.out();
  result.err = captured.err();
  EXPECT_EQ(api.held(), 0u) << "handles or memory left";
  return result;
}

TEST(InstallService, LocalSystemNeedsNoLogonCheck) {
  FakeSystemApi api;
  const Installed result = install(api, definition_for("", ""));
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.out, "Service has been installed\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(api.called("LogonUserW"));
  EXPECT_EQ(api.created.name, L"dariri");
  EXPECT_EQ(api.created.display_name, L"Dariri");
  EXPECT_EQ(api.created.command_line, L"\"C:\\Tools\\vmrsmgr.exe\" -s dariri");
  EXPECT_EQ(api.created.service_type, 0x10u);
  EXPECT_EQ(api.created.start_type, 2u);
  EXPECT_EQ(api.created.error_control, 1u);
  EXPECT_FALSE(api.created.start_name);
  EXPECT_FALSE(api.created.password);
  EXPECT_EQ(api.access, (std::vector<DWORD>{3, 0x50006}));
  EXPECT_EQ(api.description, L"undef");
  EXPECT_FALSE(api.called("ConvertStringSecurityDescriptorToSecurityDescriptorW"));
  EXPECT_FALSE(api.called("LsaOpenPolicy"));

  const std::wstring program = L"C:\\Tools\\vmrsmgr.exe";
  const auto& source =
      api.registry.at(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\dariri");
  EXPECT_EQ(source.at(L"EventMessageFile").type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(source.at(L"EventMessageFile").data,
            std::vector<BYTE>(reinterpret_cast<const BYTE*>(program.c_str()),
                              reinterpret_cast<const BYTE*>(program.c_str() + program.size() + 1)));
  EXPECT_EQ(source.at(L"TypesSupported").type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(source.at(L"TypesSupported").data, (std::vector<BYTE>{7, 0, 0, 0}));
}

TEST(InstallService, AccountGetsAccessListAndLogonRight) {
  FakeSystemApi api;
  ServiceDefinition definition = definition_for("CORP\\alice", "secret");
  definition.description = "Verimor Tavrin Dariri Service";
  const Installed result = install(api, definition);
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.out,
            "Service has been installed\nSecurity Information has been updated\n"
            "Policy 'Log on as a service' has been taken\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(api.logon.user, L"alice");
  EXPECT_EQ(api.logon.domain, L"CORP");
  EXPECT_EQ(api.created.start_name, L"CORP\\alice");
  EXPECT_EQ(api.created.password, L"secret");
  EXPECT_EQ(api.description, L"Verimor Tavrin Dariri Service");
  EXPECT_EQ(api.sddl,
            L"D:(A;; RPWP;;; AU)(A;; CCLCSWRPWPDTLOCRRC;;; SY)"
            L"(A;; CCDCLCSWRPWPDTLOCRSDRCWDWO;;; BA)(A;; CCLCSWLOCRRC;;; IU)"
            L"(A;; CCLCSWRPWPLOCRRC;;; SU)");
  EXPECT_EQ(api.sddl.size(), 138u);
  EXPECT_EQ(api.sddl_revision, 1u);
  EXPECT_EQ(api.security_information, static_cast<DWORD>(DACL_SECURITY_INFORMATION));
  EXPECT_EQ(api.access, (std::vector<DWORD>{3, 0x50006, 0x810}));
  EXPECT_EQ(api.looked_up, L"CORP\\alice");
  EXPECT_EQ(api.lookup_flags, 0x80000000u);
  EXPECT_EQ(api.name_length, 20);
  EXPECT_EQ(api.name_max, 22);
  EXPECT_EQ(api.right, L"SeServiceLogonRight");
  EXPECT_EQ(api.right_length, 38);
  EXPECT_EQ(api.right_max, 40);
  EXPECT_TRUE(api.right_for_looked_up_sid);
}

TEST(InstallService, RefusesANameTooLongForItsLogFiles) {
  EXPECT_EQ(longest_service_name(), 233u);
  const std::string longest(233, 'x');
  for (const std::string& name : {"reduze-" + std::string(100, 'P'), longest, longest + "x",
                                  "reduze-" + std::string(240, 'P')}) {
    SCOPED_TRACE(name.size());
    FakeSystemApi api;
    ServiceDefinition definition = definition_for("CORP\\alice", "secret");
    definition.name = name;
    const Installed result = install(api, definition);
    const bool fits = name.size() <= 233;
    EXPECT_EQ(result.code, fits ? 0 : 1);
    EXPECT_EQ(result.err, fits ? ""
                               : "Error: the service name is longer than 233 characters, "
                                 "too long for the names of its log files\n");
    EXPECT_EQ(api.called("LogonUserW"), fits);
    EXPECT_EQ(api.called("CreateServiceW"), fits);
  }
}

TEST(InstallService, EachFailureHasItsMessageStreamAndResult) {
  const std::string installed = "Service has been installed\n";
  const std::string secured = installed + "Security Information has been updated\n";
  const std::string granted = secured + "Policy 'Log on as a service' has been taken\n";
  const std::string refused = std::string(kLogonRefused) + "\n";
  const std::string removed = "Service removed again: the installation did not complete\n";
  const struct {
    const char* name;
    std::map<std::string, DWORD> errors;
    std::map<std::string, NTSTATUS> statuses;
    std::string out, err;
    int code;
  } cases[] = {
      // clang-format off
      {"logon refused", {{"LogonUserW", ERROR_LOGON_FAILURE}}, {}, "", refused, 20},
      // Refused only for the right that the installation grants.
      {"logon type not granted", {{"LogonUserW", ERROR_LOGON_TYPE_NOT_GRANTED}}, {}, granted, "",
       0},
      {"manager not opened", {{"OpenSCManagerW", ERROR_ACCESS_DENIED}}, {}, "",
       "Open Service manager failed: 5\n", 1},
      {"service exists", {{"CreateServiceW", ERROR_SERVICE_EXISTS}}, {},
       error_report(ERROR_SERVICE_EXISTS), "Create Service failed\n", 1},
      {"description refused", {{"ChangeServiceConfig2W", ERROR_ACCESS_DENIED}}, {}, granted, "",
       0},
      {"access string refused",
       {{"ConvertStringSecurityDescriptorToSecurityDescriptorW", ERROR_INVALID_PARAMETER}}, {},
       installed + error_report(ERROR_INVALID_PARAMETER), removed, 1},
      {"access list refused", {{"SetServiceObjectSecurity", ERROR_ACCESS_DENIED}}, {},
       installed + "Security Information has not been updated\n", removed, 1},
      {"policy not opened", {}, {{"LsaOpenPolicy", kStatusAccessDenied}},
       secured + error_report(ERROR_ACCESS_DENIED), removed, 1},
      {"account unknown", {}, {{"LsaLookupNames2", kStatusNoneMapped}},
       secured + error_report(ERROR_NONE_MAPPED), removed, 1},
      {"account partly mapped", {}, {{"LsaLookupNames2", kStatusSomeNotMapped}},
       secured + error_report(::LsaNtStatusToWinError(kStatusSomeNotMapped)), removed, 1},
      {"lookup refused", {}, {{"LsaLookupNames2", kStatusAccessDenied}},
       secured + error_report(ERROR_ACCESS_DENIED), removed, 1},
      {"right refused", {}, {{"LsaAddAccountRights", kStatusAccessDenied}},
       secured + "Policy 'Log on as a service' has not been taken\n", removed, 1},
      {"policy not closed", {}, {{"LsaClose", kStatusInvalidHandle}},
       granted + error_report(ERROR_INVALID_HANDLE), removed, 1},
      // The service runs without its event source: the installation stands.
      {"event source refused", {{"RegCreateKeyExW", ERROR_ACCESS_DENIED}}, {},
       granted + "Event source has not been registered\n" + error_report(ERROR_ACCESS_DENIED), "",
       0},
      {"event source value refused", {{"RegSetValueExW", ERROR_ACCESS_DENIED}}, {},
       granted + "Event source has not been registered\n" + error_report(ERROR_ACCESS_DENIED), "",
       0},
      {"undo refused", {{"DeleteService", ERROR_ACCESS_DENIED}}, {{"LsaLookupNames2", kStatusNoneMapped}},
       secured + error_report(ERROR_NONE_MAPPED) + "Service Uninstalling error\n" +
           error_report(ERROR_ACCESS_DENIED), "", 1},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystemApi api;
    api.errors = c.errors;
    api.statuses = c.statuses;
    const Installed result = install(api, definition_for("CORP\\alice", "secret"));
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    // A refused logon creates nothing and does not even reach the manager.
    EXPECT_EQ(api.called("OpenSCManagerW"), c.code != 20);
    // A failure after the creation deletes the service again.
    const bool created = c.out.rfind(installed, 0) == 0;
    EXPECT_EQ(api.called("DeleteService"), created && c.code != 0);
  }
}

// Which proof each kind of account gets, and how it reaches the manager.
TEST(InstallService, EachKindOfAccount) {
  const std::string installed =
      "Service has been installed\nSecurity Information has been updated\n";
  const std::string granted = installed + "Policy 'Log on as a service' has been taken\n";
  const std::string refused = std::string("\n") + kLogonRefused + "\n";
  const std::string takes_none =
      ": Windows keeps its password and takes none, give --password \"\"";
  using Text = std::optional<std::wstring>;
  const struct {
    const char* account;
    const char* password;
    std::map<std::string, NTSTATUS> statuses;
    BOOL may_use;  // NetIsServiceAccount's answer
    int code;
    std::string out, err;
    Text start_name, secret;
    bool logon;              // LogonUserW
    std::wstring looked_up;  // the last name given to LsaLookupNames2
    bool machine_check;      // NetIsServiceAccount
  } cases[] = {
      // clang-format off
      {"CORP\\alice", "pw", {}, TRUE, 0, granted, "", L"CORP\\alice", L"pw", true, L"CORP\\alice",
       false},
      // The manager refuses a bare name; the policy takes it without the ".".
      {"alice", "pw", {}, TRUE, 0, granted, "", L".\\alice", L"pw", true, L"alice", false},
      {"svc@corp.example", "pw", {}, TRUE, 0, granted, "", L"svc@corp.example", L"pw", true,
       L"svc@corp.example", false},
      {"NT AUTHORITY\\LocalService", "", {}, TRUE, 0, installed, "",
       L"NT AUTHORITY\\LocalService", {}, false, L"", false},
      {"NetworkService", "secret", {}, TRUE, 20, "",
       "Error: NetworkService is a built-in service account" + takes_none + refused, {}, {}, false,
       L"", false},
      {"NT SERVICE\\dariri", "", {}, TRUE, 0, installed, "", L"NT SERVICE\\dariri", {}, false, L"",
       false},
      {"NT SERVICE\\dariri", "secret", {}, TRUE, 20, "",
       "Error: NT SERVICE\\dariri is a virtual account" + takes_none + refused, {}, {}, false, L"",
       false},
      {"NT SERVICE\\devidori", "", {}, TRUE, 20, "",
       "Error: NT SERVICE\\devidori is the virtual account of the service devidori, not of "
       "dariri" + refused, {}, {}, false, L"", false},
      {"NT SERVICE\\", "", {}, TRUE, 20, "", "Error: NT SERVICE\\ names no service" + refused, {},
       {}, false, L"", false},
      // Proved by the lookup, and granted the right as any account.
      {"CORP\\svc-suite$", "", {}, TRUE, 0, granted, "", L"CORP\\svc-suite$", {}, false,
       L"CORP\\svc-suite$", true},
      {"CORP\\svc-suite$", "", {{"NetIsServiceAccount", kStatusProcedureNotFound}}, TRUE, 0,
       granted, "", L"CORP\\svc-suite$", {}, false, L"CORP\\svc-suite$", true},
      {"CORP\\svc-suite$", "", {}, FALSE, 20, "",
       "Error: CORP\\svc-suite$ is not a managed service account that this machine may use" +
           refused, {}, {}, false, L"CORP\\svc-suite$", true},
      {"CORP\\svc-suite$", "", {{"NetIsServiceAccount", kStatusAccessDenied}}, TRUE, 20,
       error_report(ERROR_ACCESS_DENIED),
       "Error: whether this machine may use CORP\\svc-suite$ could not be checked" + refused, {},
       {}, false, L"CORP\\svc-suite$", true},
      {"CORP\\svc-suite$", "", {{"LsaLookupNames2", kStatusNoneMapped}}, TRUE, 20,
       error_report(ERROR_NONE_MAPPED), "Error: Windows knows no account CORP\\svc-suite$" + refused,
       {}, {}, false, L"CORP\\svc-suite$", false},
      {"CORP\\svc-suite$", "secret", {}, TRUE, 20, "",
       "Error: CORP\\svc-suite$ is a managed service account" + takes_none + refused, {}, {},
       false, L"", false},
      {"svc-suite$", "", {}, TRUE, 20, "",
       "Error: svc-suite$ is a managed service account, which belongs to a domain: give it with "
       "its domain, as DOMAIN\\svc-suite$" + refused, {}, {}, false, L"", false},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.account) + " / " + c.password);
    FakeSystemApi api;
    api.statuses = c.statuses;
    api.is_service_answer = c.may_use;
    const Installed result = install(api, definition_for(c.account, c.password));
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(api.called("LogonUserW"), c.logon);
    EXPECT_EQ(api.looked_up, c.looked_up);
    EXPECT_EQ(api.called("NetIsServiceAccount"), c.machine_check);
    if (c.machine_check) {
      EXPECT_EQ(api.service_account_asked, c.looked_up);
    }
    // A refused account reaches no manager.
    EXPECT_EQ(api.called("CreateServiceW"), c.code == 0);
    if (c.code != 0) continue;
    EXPECT_EQ(api.created.start_name, c.start_name);
    EXPECT_EQ(api.created.password, c.secret);
    EXPECT_TRUE(api.called("SetServiceObjectSecurity"));
    EXPECT_EQ(api.called("LsaAddAccountRights"), !c.looked_up.empty());
  }
}

// Refused before anything is registered: what the service would run
// otherwise is not what was asked for.
TEST(InstallService, RefusesAZpcThatIsNoNameAndAPathWithAPercentSign) {
  const struct {
    const char* zpc;
    const wchar_t* program;
    std::string err;
  } cases[] = {
      {"PROD", L"C:\\Tools\\vmrsmgr.exe", ""},
      {"prod-2.a_b", L"C:\\Program Files (x86)\\Suite 100\\bin\\vmrsmgr.exe", ""},
      {"-x", L"C:\\Tools\\vmrsmgr.exe",
       "Error: the ZPC -x begins with \"-\", which the component would take as an option"},
      {".", L"C:\\Tools\\vmrsmgr.exe", "Error: the ZPC . is not a name"},
      {"..", L"C:\\Tools\\vmrsmgr.exe", "Error: the ZPC .. is not a name"},
      {"PROD", L"C:\\Suite %OS%\\bin\\vmrsmgr.exe",
       "Error: the program's path C:\\Suite %OS%\\bin\\vmrsmgr.exe holds \"%\", which the service "
       "manager would expand as a variable: install from a folder whose path has no \"%\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zpc);
    FakeSystemApi api;
    api.module_path = c.program;
    ServiceDefinition definition = definition_for("CORP\\alice", "secret");
    definition.name = std::string("reduze-") + c.zpc;
    definition.zpc = c.zpc;
    const Installed result = install(api, definition);
    EXPECT_EQ(result.code, c.err.empty() ? 0 : 1);
    EXPECT_EQ(result.err, c.err.empty() ? "" : c.err + "\n");
    EXPECT_EQ(api.called("LogonUserW"), c.err.empty());
    EXPECT_EQ(api.called("OpenSCManagerW"), c.err.empty());
  }
}

}  // namespace
}  // namespace vmrsmgr
