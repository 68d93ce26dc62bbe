#include "service_host/dispatcher.h"

// Placeholder until the service host lands.
namespace vmrsmgr {
int run_service_dispatcher(Config&) { return 1; }
}  // namespace vmrsmgr
