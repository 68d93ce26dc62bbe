#include "service_control/start_failure.h"

#include <boost/filesystem/operations.hpp>

#include "platform/text.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

bool missing_folder(const std::string& path) {
  boost::system::error_code unknown;
  return !path.empty() && !fs::is_directory(path, unknown);
}

bool missing_file(const std::string& path) {
  boost::system::error_code unknown;
  return !path.empty() && !fs::is_regular_file(path, unknown);
}

std::string ended_by_itself(std::uint32_t code) {
  return "Component ended by itself with exit code " + std::to_string(code);
}

}  // namespace

std::size_t path_length(const std::string& path) { return platform::to_wide(path).size(); }

std::uint32_t exit_code_of(StartFailure cause) {
  switch (cause) {
    case StartFailure::kConfigurationFile:
      return ERROR_BAD_CONFIGURATION;
    case StartFailure::kProgramFolder:
    case StartFailure::kLogFolder:
    case StartFailure::kComponentFolder:
      return ERROR_PATH_NOT_FOUND;
    case StartFailure::kComponentProgram:
      return ERROR_FILE_NOT_FOUND;
    case StartFailure::kComponentPathTooLong:
      return ERROR_FILENAME_EXCED_RANGE;
  }
  return ERROR_SERVICE_SPECIFIC_ERROR;
}

std::optional<StartFailure> check_component(const ComponentCommand& command) {
  // First: past the limit the folder checks may fail for the length alone.
  if (path_length(command.program) > kLongestComponentPath) {
    return StartFailure::kComponentPathTooLong;
  }
  if (missing_folder(command.folder)) return StartFailure::kComponentFolder;
  if (missing_file(command.program)) return StartFailure::kComponentProgram;
  return std::nullopt;
}

StopCause cause_of_stop(std::uint32_t win32_exit_code, std::uint32_t service_specific_exit_code,
                        const ServiceFiles& files) {
  if (win32_exit_code == NO_ERROR) {
    if (service_specific_exit_code == kEndedByItself) {
      return {ended_by_itself(0), files.command.program};
    }
    return {"A stop was requested before the start completed", {}};
  }
  if (win32_exit_code == ERROR_SERVICE_SPECIFIC_ERROR) {
    return {ended_by_itself(service_specific_exit_code), files.command.program};
  }
  if (win32_exit_code == exit_code_of(StartFailure::kConfigurationFile)) {
    if (files.config_problem.empty()) return {};
    return {"Error in Config::read_config: " + files.config_problem, files.config_file};
  }
  if (win32_exit_code == exit_code_of(StartFailure::kLogFolder) &&
      missing_folder(files.log_folder)) {
    return {"Log folder not found: " + platform::readable_path(files.log_folder), files.log_folder};
  }
  const std::optional<StartFailure> found = check_component(files.command);
  if (!found || win32_exit_code != exit_code_of(*found)) return {};
  switch (*found) {
    case StartFailure::kComponentFolder:
      return {"Component folder not found: " + platform::readable_path(files.command.folder),
              files.command.folder};
    case StartFailure::kComponentProgram:
      return {"Component program not found: " + platform::readable_path(files.command.program),
              files.command.program};
    case StartFailure::kComponentPathTooLong:
      return {"Component path too long: " + files.command.program + " (" +
                  std::to_string(path_length(files.command.program)) + " characters, at most " +
                  std::to_string(kLongestComponentPath) + ")",
              files.command.program};
    default:
      return {};
  }
}

}  // namespace vmrsmgr
