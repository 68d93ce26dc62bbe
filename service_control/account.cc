#include "service_control/account.h"

#include <algorithm>
#include <cctype>

#include "platform/last_error.h"
#include "platform/text.h"
#include "service_control/service_operations.h"

namespace vmrsmgr {
namespace {

// Windows compares account and service names ignoring case.
bool same_name(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

bool has_backslash(const std::string& account) { return account.find('\\') != std::string::npos; }

// svc@corp.example: Windows takes it as it is, with no domain beside it.
bool is_principal_name(const std::string& account) {
  return !has_backslash(account) && account.find('@') != std::string::npos;
}

// The spelling the manager takes, for LocalService or NetworkService in
// either of their spellings, with or without NT AUTHORITY; empty for others.
std::string built_in_name(const std::string& account) {
  const AccountName name = split_account(account);
  if (has_backslash(account) && !same_name(name.domain, "NT AUTHORITY")) return {};
  for (const char* local : {"LocalService", "LOCAL SERVICE"}) {
    if (same_name(name.user, local)) return "NT AUTHORITY\\LocalService";
  }
  for (const char* network : {"NetworkService", "NETWORK SERVICE"}) {
    if (same_name(name.user, network)) return "NT AUTHORITY\\NetworkService";
  }
  return {};
}

ServiceAccount passwordless(AccountKind kind, std::string start_name, std::string lookup_name,
                            const char* description, const std::string& account,
                            const std::string& password) {
  ServiceAccount result{kind, std::move(start_name), std::move(lookup_name), description, {}};
  if (!password.empty()) {
    result.refusal = "Error: " + account + " is " + description +
                     ": Windows keeps its password and takes none, give --password \"\"";
  }
  return result;
}

}  // namespace

AccountName split_account(const std::string& account) {
  const std::string::size_type slash = account.find('\\');
  if (slash == std::string::npos) return {".", account};
  return {account.substr(0, slash), account.substr(slash + 1)};
}

ServiceAccount service_account(const std::string& account, const std::string& password,
                               const std::string& service_name) {
  if (account.empty()) return {AccountKind::local_system, {}, {}, "Local System", {}};

  const std::string built_in = built_in_name(account);
  if (!built_in.empty()) {
    return passwordless(AccountKind::built_in, built_in, {}, "a built-in service account", account,
                        password);
  }

  const AccountName name = split_account(account);
  if (has_backslash(account) && same_name(name.domain, "NT SERVICE")) {
    const std::string owner = service_name.empty() ? name.user : service_name;
    ServiceAccount result = passwordless(AccountKind::virtual_account, "NT SERVICE\\" + owner, {},
                                         "a virtual account", account, password);
    // Windows makes it for its own service only.
    if (name.user.empty()) {
      result.refusal = "Error: " + account + " names no service";
    } else if (!same_name(name.user, owner)) {
      result.refusal = "Error: " + account + " is the virtual account of the service " + name.user +
                       ", not of " + service_name;
    }
    return result;
  }

  if (account.back() == '$') {
    ServiceAccount result = passwordless(AccountKind::managed, account, account,
                                         "a managed service account", account, password);
    if (!has_backslash(account) || name.domain.empty() || name.domain == ".") {
      result.refusal = "Error: " + account +
                       " is a managed service account, which belongs to a domain: give it with "
                       "its domain, as DOMAIN\\" +
                       name.user;
    }
    return result;
  }

  // The manager refuses a bare name (1057); the policy resolves it, on this
  // machine, without the "." that stands for it.
  if (!has_backslash(account) && !is_principal_name(account)) {
    return {AccountKind::with_password, ".\\" + account, account, "an account", {}};
  }
  return {AccountKind::with_password,
          account,
          name.domain == "." ? name.user : account,
          "an account",
          {}};
}

LogonAnswer try_service_logon(SystemApi& api, const std::string& account,
                              const std::string& password) {
  const AccountName name = split_account(account);
  const bool principal = is_principal_name(account);
  const std::wstring user = platform::to_wide(name.user);
  const std::wstring domain = platform::to_wide(name.domain);
  const std::wstring secret = platform::to_wide(password);
  HANDLE raw = nullptr;
  const bool accepted =
      api.logon_user(user.empty() ? nullptr : user.c_str(), principal ? nullptr : domain.c_str(),
                     secret.empty() ? nullptr : secret.c_str(), LOGON32_LOGON_SERVICE,
                     LOGON32_PROVIDER_DEFAULT, &raw) != FALSE;
  const DWORD error = accepted ? ERROR_SUCCESS : platform::last_error();
  const TokenHandle token(accepted ? raw : nullptr, {&api});
  return {accepted, error};
}

namespace {

std::string managed_account_refusal(SystemApi& api, const std::string& lookup_name) {
  LSA_OBJECT_ATTRIBUTES attributes{};
  LSA_HANDLE raw = nullptr;
  const NTSTATUS opened = api.lsa_open_policy(&attributes, POLICY_LOOKUP_NAMES, &raw);
  if (opened != 0) {
    platform::print_lsa_error(opened);
    return "Error: the local security policy could not be read to find " + lookup_name;
  }
  const PolicyHandle policy(raw, {&api});
  if (!lookup_account_sid(api, policy.get(), platform::to_wide(lookup_name))) {
    return "Error: Windows knows no account " + lookup_name;
  }

  std::wstring wide_name = platform::to_wide(lookup_name);
  BOOL is_service = FALSE;
  const NTSTATUS checked = api.is_service_account(wide_name.data(), &is_service);
  if (checked == kStatusProcedureNotFound) return {};  // this Windows cannot tell
  if (checked != 0) {
    platform::print_lsa_error(checked);
    return "Error: whether this machine may use " + lookup_name + " could not be checked";
  }
  if (is_service == FALSE) {
    return "Error: " + lookup_name + " is not a managed service account that this machine may use";
  }
  return {};
}

}  // namespace

std::string account_refusal(SystemApi& api, const ServiceAccount& account, const std::string& given,
                            const std::string& password, LogonRight right) {
  std::string refusal = account.refusal;
  if (refusal.empty() && account.kind == AccountKind::managed) {
    refusal = managed_account_refusal(api, account.lookup_name);
  }
  if (refusal.empty() && account.kind == AccountKind::with_password) {
    const LogonAnswer logon = try_service_logon(api, given, password);
    if (logon.accepted) return {};
    if (right == LogonRight::granted_later && logon.error == ERROR_LOGON_TYPE_NOT_GRANTED)
      return {};
    return kLogonRefused;
  }
  return refusal.empty() ? refusal : refusal + "\n" + kLogonRefused;
}

}  // namespace vmrsmgr
