#pragma once

#include "settings/service_settings.h"

namespace vmrsmgr {

// Service mode 1: whether Windows accepts the account's user name and
// password for a service logon. Returns the exit code, 0 or 1.
int check_account(const Credentials& credentials);

class SystemApi;
// The same through the given Windows calls.
int check_account(const Credentials& credentials, SystemApi& api);

}  // namespace vmrsmgr
