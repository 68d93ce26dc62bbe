#pragma once

// Keys of the settings tree. Numbers are stored as decimal text.
namespace vmrsmgr::keys {

inline constexpr const char* kConfigFile = "configfile";
inline constexpr const char* kCurrentPath = "current_path";
inline constexpr const char* kMode = "mode";
inline constexpr const char* kServiceName = "service-name";
inline constexpr const char* kAccount = "account";
inline constexpr const char* kPassword = "password";
inline constexpr const char* kZpc = "zpc";
inline constexpr const char* kGui = "gui";
inline constexpr const char* kDisplayName = "service-displayed-name";
inline constexpr const char* kDescription = "service-description";
inline constexpr const char* kWorkdir = "workdir";
inline constexpr const char* kExe = "exe";
inline constexpr const char* kArgs = "args";
inline constexpr const char* kLogDir = "general.logdir";
inline constexpr const char* kRotationSize = "general.rotation_size";
inline constexpr const char* kMaxLogs = "general.max_logs";
inline constexpr const char* kDebug = "general.debug";

// Read with this default, a value that must come from the user or a profile
// reaches Windows as the text undef when it is missing.
inline constexpr const char* kUndef = "undef";

}  // namespace vmrsmgr::keys

namespace vmrsmgr {

// Service modes stored under "mode".
enum ServiceMode : int {
  kModeNone = -1,  // nothing to run; in run mode also the stop request
  kModeUsercheck = 1,
  kModeRun = 2,
  kModeInstall = 3,
  kModeUninstall = 4,
  kModeStart = 5,
  kModeStop = 6,
  kModeStatus = 7,
};

}  // namespace vmrsmgr
