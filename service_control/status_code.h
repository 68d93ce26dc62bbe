#pragma once

namespace vmrsmgr {

// The status operation's result codes, which are its exit code and choose the
// front end's answer.
enum StatusCode : int {
  kStatusRunning = 0,
  kStatusUnknown = 1,  // not installed, not queried, or an unexpected state
  kStatusStarting = 2,
  kStatusStopping = 3,
  kStatusStopped = 10,
};

}  // namespace vmrsmgr
