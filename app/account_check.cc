#include "app/account_check.h"

#include <iostream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "service_control/account.h"
#include "settings/keys.h"

namespace vmrsmgr {

int check_account(const boost::property_tree::ptree& settings) {
  return check_account(settings, real_system_api());
}

int check_account(const boost::property_tree::ptree& settings, SystemApi& api) {
  if (settings.get<std::string>(keys::kAccount, "").empty()) {
    std::cout << "Used Local System username" << std::endl;
    return 0;
  }
  const std::string account = settings.get<std::string>(keys::kAccount, keys::kUndef);
  const std::string password = settings.get<std::string>(keys::kPassword, keys::kUndef);
  // Any refusal, a missing right to log on as a service included, gets the
  // one message: it names missing permissions too.
  if (!try_service_logon(api, account, password).accepted) {
    std::cerr << kLogonRefused << std::endl;
    return 1;
  }
  std::cout << "Correct username and password supplied." << std::endl;
  return 0;
}

}  // namespace vmrsmgr
