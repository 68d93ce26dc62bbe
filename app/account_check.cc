#include "app/account_check.h"

#include <iostream>
#include <string>

#include "service_control/account.h"

namespace vmrsmgr {

int check_account(const Credentials& credentials) {
  return check_account(credentials, real_system_api());
}

int check_account(const Credentials& credentials, SystemApi& api) {
  if (credentials.account.empty()) {
    std::cout << "Used Local System username" << std::endl;
    return 0;
  }
  // Any refusal, a missing right to log on as a service included, gets the
  // one message: it names missing permissions too.
  if (!try_service_logon(api, credentials.account, credentials.password).accepted) {
    std::cerr << kLogonRefused << std::endl;
    return 1;
  }
  std::cout << "Correct username and password supplied." << std::endl;
  return 0;
}

}  // namespace vmrsmgr
