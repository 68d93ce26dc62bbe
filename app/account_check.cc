#include "app/account_check.h"

#include <iostream>
#include <string>

#include "service_control/account.h"

namespace vmrsmgr {

int check_account(const Credentials& credentials) {
  return check_account(credentials, real_system_api());
}

int check_account(const Credentials& credentials, SystemApi& api) {
  const ServiceAccount account = service_account(credentials.account, credentials.password, "");
  if (account.kind == AccountKind::local_system) {
    std::cout << "Used Local System username" << std::endl;
    return 0;
  }
  // Any refusal, a missing right to log on as a service included, ends with
  // the one message: it names missing permissions too. Unlike the
  // installation, the check does not grant the right it lacks.
  const std::string refused =
      account_refusal(api, account, credentials.account, credentials.password, LogonRight::needed);
  if (!refused.empty()) {
    std::cerr << refused << std::endl;
    return 1;
  }
  if (takes_password(account.kind)) {
    std::cout << "Correct username and password supplied." << std::endl;
  } else {
    std::cout << account.start_name << " is " << account.description
              << ": it needs no password and is known to Windows." << std::endl;
  }
  return 0;
}

}  // namespace vmrsmgr
