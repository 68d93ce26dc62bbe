#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

namespace vmrsmgr {

// Service mode 1: whether Windows accepts the account's user name and
// password for a service logon. Returns the exit code, 0 or 1.
int check_account(const boost::property_tree::ptree& settings);

class SystemApi;
// The same through the given Windows calls.
int check_account(const boost::property_tree::ptree& settings, SystemApi& api);

}  // namespace vmrsmgr
