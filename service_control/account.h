#pragma once

#include <windows.h>

#include <string>

#include "service_control/system_api.h"

namespace vmrsmgr {

inline constexpr const char* kLogonRefused =
    "Incorrect user or password supplied, or user does not have sufficient permissions.";

// An account is cut at its first backslash: domain before, user name after.
// Without a backslash the user name is the whole text and the domain ".".
struct AccountName {
  std::string domain;
  std::string user;
};
AccountName split_account(const std::string& account);

// What Windows makes of an account name given for a service.
enum class AccountKind {
  local_system,     // empty
  built_in,         // NT AUTHORITY\LocalService, NT AUTHORITY\NetworkService
  virtual_account,  // NT SERVICE\<the service's own name>
  managed,          // a (group) managed service account, DOMAIN\name$
  with_password,    // every other name
};

// Windows keeps the password of every kind but the last: it takes none.
inline bool takes_password(AccountKind kind) { return kind == AccountKind::with_password; }

struct ServiceAccount {
  AccountKind kind;
  std::string start_name;   // as the service manager takes it; empty for Local System
  std::string lookup_name;  // as the policy resolves it; empty where Windows grants the
                            // logon right itself
  std::string description;  // "a virtual account", for the messages
  std::string refusal;      // why it cannot run the service; empty when it can
};

// Tells the account's kind by its name, as Windows compares names (ignoring
// case). service_name is the service it is for; empty when there is none
// yet, as for --usercheck, which takes any virtual account.
ServiceAccount service_account(const std::string& account, const std::string& password,
                               const std::string& service_name);

struct LogonAnswer {
  bool accepted;
  DWORD error;  // the refusal's code; 0 when accepted
};

// Whether Windows accepts the account and password for a service logon. An
// empty user name or password is passed as no value, and a user principal
// name (svc@corp.example) goes with no domain; the token is closed at once,
// only the answer matters.
LogonAnswer try_service_logon(SystemApi& api, const std::string& account,
                              const std::string& password);

enum class LogonRight { needed, granted_later };

// Why the account cannot run the service, proved as its kind allows before
// anything is registered: a logon with its password; for a managed account,
// whose password no one can give, that the name resolves to an account and,
// where Windows can tell, that this machine may use it. Empty when it can;
// otherwise the refusal's lines, the last one always kLogonRefused. A failed
// lookup has printed its report. With LogonRight::granted_later a logon
// refused only for the missing right to log on as a service (1385) has
// accepted the name and password.
std::string account_refusal(SystemApi& api, const ServiceAccount& account, const std::string& given,
                            const std::string& password, LogonRight right);

}  // namespace vmrsmgr
