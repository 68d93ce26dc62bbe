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

struct LogonAnswer {
  bool accepted;
  DWORD error;  // the refusal's code; 0 when accepted
};

// Whether Windows accepts the account and password for a service logon. An
// empty user name or password is passed as no value; the token is closed at
// once, only the answer matters.
LogonAnswer try_service_logon(SystemApi& api, const std::string& account,
                              const std::string& password);

}  // namespace vmrsmgr
