#include <map>
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
  return {"dariri", "Dariri", "undef", {account, password}};
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
       installed + error_report(ERROR_INVALID_PARAMETER), "", 1},
      {"access list refused", {{"SetServiceObjectSecurity", ERROR_ACCESS_DENIED}}, {},
       installed + "Security Information has not been updated\n", "", 1},
      {"policy not opened", {}, {{"LsaOpenPolicy", kStatusAccessDenied}},
       secured + error_report(ERROR_ACCESS_DENIED), "", 1},
      {"account unknown", {}, {{"LsaLookupNames2", kStatusNoneMapped}},
       secured + error_report(ERROR_NONE_MAPPED), "", 1},
      {"account partly mapped", {}, {{"LsaLookupNames2", kStatusSomeNotMapped}},
       secured + error_report(::LsaNtStatusToWinError(kStatusSomeNotMapped)), "", 1},
      {"lookup refused", {}, {{"LsaLookupNames2", kStatusAccessDenied}},
       secured + error_report(ERROR_ACCESS_DENIED), "", 1},
      {"right refused", {}, {{"LsaAddAccountRights", kStatusAccessDenied}},
       secured + "Policy 'Log on as a service' has not been taken\n", "", 1},
      {"policy not closed", {}, {{"LsaClose", kStatusInvalidHandle}},
       granted + error_report(ERROR_INVALID_HANDLE), "", 1},
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

}  // namespace
}  // namespace vmrsmgr
