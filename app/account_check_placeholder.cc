#include "app/account_check.h"

// Placeholder until the account check lands.
namespace vmrsmgr {
int check_account(const boost::property_tree::ptree&) { return 1; }
}  // namespace vmrsmgr
