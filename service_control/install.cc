#include <iostream>
#include <limits>
#include <stdexcept>

#include <windows.h>
#include <sddl.h>

#include "logging/log_settings.h"
#include "platform/executable_path.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "service_control/account.h"
#include "service_control/event_source.h"
#include "service_control/service_operations.h"

namespace vmrsmgr {
namespace {

// Authenticated users may start and stop the service, local system and
// service logons query and control it, administrators have all rights.
constexpr const wchar_t* kServiceAccess =
    L"D:(A;; RPWP;;; AU)(A;; CCLCSWRPWPDTLOCRRC;;; SY)(A;; CCDCLCSWRPWPDTLOCRSDRCWDWO;;; BA)"
    L"(A;; CCLCSWLOCRRC;;; IU)(A;; CCLCSWRPWPLOCRRC;;; SU)";

constexpr ULONG kLookupIsolatedAsLocal = 0x80000000;

LSA_UNICODE_STRING lsa_string(std::wstring& text) {
  if (text.size() >= std::numeric_limits<USHORT>::max() / 2) {
    throw std::length_error("account name too long");
  }
  const auto length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  return {length, static_cast<USHORT>(length + sizeof(wchar_t)), text.data()};
}

// Replaces the manager's default access list of the service.
int set_access_list(SystemApi& api, SC_HANDLE service) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!api.convert_security_descriptor(kServiceAccess, SDDL_REVISION_1, &raw)) {
    platform::print_error(platform::last_error());
    return 1;
  }
  const LocalMemory descriptor(raw, {&api});
  if (!api.set_service_object_security(service, DACL_SECURITY_INFORMATION, descriptor.get())) {
    std::cout << "Security Information has not been updated" << std::endl;
    return 1;
  }
  std::cout << "Security Information has been updated" << std::endl;
  return 0;
}

// Lets the account run services at all.
int grant_service_logon(SystemApi& api, const std::wstring& account) {
  LSA_OBJECT_ATTRIBUTES attributes{};
  LSA_HANDLE raw = nullptr;
  const NTSTATUS opened =
      api.lsa_open_policy(&attributes, POLICY_LOOKUP_NAMES | POLICY_CREATE_ACCOUNT, &raw);
  if (opened != 0) {
    platform::print_lsa_error(opened);
    return 1;
  }
  PolicyHandle policy(raw, {&api});

  LsaMemory<LSA_TRANSLATED_SID2> sids = lookup_account_sid(api, policy.get(), account);
  if (!sids) return 1;
  wchar_t right_name[] = L"SeServiceLogonRight";
  LSA_UNICODE_STRING right{sizeof(right_name) - sizeof(wchar_t), sizeof(right_name), right_name};
  if (api.lsa_add_account_rights(policy.get(), sids->Sid, &right, 1) != 0) {
    std::cout << "Policy 'Log on as a service' has not been taken" << std::endl;
    return 1;
  }
  std::cout << "Policy 'Log on as a service' has been taken" << std::endl;
  sids.reset();

  const NTSTATUS closed = api.lsa_close(policy.release());
  if (closed != 0) {
    platform::print_lsa_error(closed);
    return 1;
  }
  return 0;
}

// The service just created, deleted again unless the installation completes:
// a failed installation leaves nothing registered, so that it can be tried
// again.
class CreatedService {
 public:
  CreatedService(SystemApi& api, SC_HANDLE service) : api_(api), service_(service, {&api}) {}
  ~CreatedService() {
    if (!service_ || kept_) return;
    if (!api_.delete_service(service_.get())) {
      platform::report_failure(std::cout, "Service Uninstalling error", platform::last_error());
      return;
    }
    std::cerr << "Service removed again: the installation did not complete" << std::endl;
  }
  CreatedService(const CreatedService&) = delete;
  CreatedService& operator=(const CreatedService&) = delete;

  explicit operator bool() const { return static_cast<bool>(service_); }
  SC_HANDLE get() const { return service_.get(); }
  void keep() { kept_ = true; }

 private:
  SystemApi& api_;
  ServiceHandle service_;
  bool kept_ = false;
};

// A file name has at most 255 characters; a rotation number, at most 10
// digits, follows the log's name.
constexpr std::size_t kLongestFileName = 255;
constexpr std::size_t kRotationDigits = 10;

}  // namespace

std::size_t longest_service_name() {
  return kLongestFileName - kRotationDigits - log_file_name("").size();
}

std::wstring service_command_line(const std::wstring& executable, const std::string& service_name) {
  return L"\"" + executable + L"\" -s " + platform::to_wide(service_name);
}

LsaMemory<LSA_TRANSLATED_SID2> lookup_account_sid(SystemApi& api, LSA_HANDLE policy,
                                                  std::wstring name) {
  LSA_UNICODE_STRING lsa_name = lsa_string(name);
  LSA_REFERENCED_DOMAIN_LIST* domains_raw = nullptr;
  LSA_TRANSLATED_SID2* sids_raw = nullptr;
  const NTSTATUS status =
      api.lsa_lookup_names2(policy, kLookupIsolatedAsLocal, 1, &lsa_name, &domains_raw, &sids_raw);
  const LsaMemory<LSA_REFERENCED_DOMAIN_LIST> domains(domains_raw, {&api});
  LsaMemory<LSA_TRANSLATED_SID2> sids(sids_raw, {&api});
  if (status == 0) return sids;
  platform::print_lsa_error(status);
  return LsaMemory<LSA_TRANSLATED_SID2>(nullptr, {&api});
}

// The profile takes only letters, digits, "-", "_" and "." in a ZPC; of
// those names, these would not reach the component as a name. Refused at
// install only, so that a service an older release installed under such a
// name can still be stopped and removed.
std::string zpc_refusal(const std::string& zpc) {
  const std::string named = "Error: the ZPC " + zpc;
  if (zpc == "." || zpc == "..") return named + " is not a name";
  if (!zpc.empty() && zpc.front() == '-') {
    return named + " begins with \"-\", which the component would take as an option";
  }
  return {};
}

int install_service(const ServiceDefinition& definition, SystemApi& api) {
  const std::string& password = definition.credentials.password;
  const std::wstring wide_name = platform::to_wide(definition.name);
  const std::wstring display_name = platform::to_wide(definition.display_name);

  // Such a service would install, and then never start for want of a log.
  if (definition.name.size() > longest_service_name()) {
    std::cerr << "Error: the service name is longer than " << longest_service_name()
              << " characters, too long for the names of its log files" << std::endl;
    return 1;
  }
  const std::string bad_zpc = zpc_refusal(definition.zpc);
  if (!bad_zpc.empty()) {
    std::cerr << bad_zpc << std::endl;
    return 1;
  }

  const std::wstring executable =
      platform::executable_path([&api](wchar_t* buffer, std::uint32_t size) -> std::uint32_t {
        return api.module_file_name(buffer, size);
      });
  // The manager keeps the command line as an expandable text, with no escape
  // for "%": "%OS%" in a folder's name would become "Windows_NT".
  if (executable.find(L'%') != std::wstring::npos) {
    std::cerr << "Error: the program's path " << platform::to_narrow(executable)
              << " holds \"%\", which the service manager would expand as a variable: install "
                 "from a folder whose path has no \"%\""
              << std::endl;
    return 1;
  }
  const std::wstring command_line = service_command_line(executable, definition.name);

  const ServiceAccount account =
      service_account(definition.credentials.account, password, definition.name);
  // The right a logon may lack is granted below.
  const std::string refused = account_refusal(api, account, definition.credentials.account,
                                              password, LogonRight::granted_later);
  if (!refused.empty()) {
    std::cerr << refused << std::endl;
    return 20;
  }

  const ServiceHandle manager(api.open_sc_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE),
                              {&api});
  if (!manager) {
    const DWORD error = platform::last_error();
    std::cerr << "Open Service manager failed: " << error << std::endl;
    return 1;
  }
  // The kinds whose password Windows keeps come with none (one given was
  // refused), and so get no value, as the manager requires.
  const std::wstring start_name = platform::to_wide(account.start_name);
  const std::wstring wide_password = platform::to_wide(password);
  // DELETE with the creation: the access list set below may no longer grant
  // it to whoever has to undo a failed installation.
  CreatedService service(
      api,
      api.create_service(manager.get(), wide_name.c_str(), display_name.c_str(),
                         SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | WRITE_DAC | DELETE,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                         command_line.c_str(), start_name.empty() ? nullptr : start_name.c_str(),
                         password.empty() ? nullptr : wide_password.c_str()));
  if (!service)
    return platform::report_failure(std::cerr, "Create Service failed", platform::last_error());
  std::cout << "Service has been installed" << std::endl;

  std::wstring description = platform::to_wide(definition.description);
  api.set_service_description(service.get(), description.data());

  // Local System keeps the manager's default access list.
  if (account.kind != AccountKind::local_system) {
    if (set_access_list(api, service.get()) != 0) return 1;
    // Windows grants virtual and built-in accounts the right itself.
    if (!account.lookup_name.empty() &&
        grant_service_logon(api, platform::to_wide(account.lookup_name)) != 0) {
      return 1;
    }
  }
  service.keep();
  register_event_source(definition.name, executable, api);
  return 0;
}

}  // namespace vmrsmgr
