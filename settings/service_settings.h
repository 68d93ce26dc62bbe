#pragma once

#include <string>

// The values each subsystem takes from the settings, typed, so that no
// subsystem below the command front end reads the settings tree.
namespace vmrsmgr {

// An account and its password; an empty account is Local System.
struct Credentials {
  std::string account;
  std::string password;
};

// A component's service as the service manager registers it.
struct ServiceDefinition {
  std::string name;
  std::string display_name;
  std::string description;
  Credentials credentials;
  std::string zpc;  // the control component's configuration; empty for the others
};

// What the service runs: the component's program in its own folder.
struct ComponentCommand {
  std::string folder;     // ends with a separator
  std::string program;    // the folder and the program's file name
  std::string arguments;  // empty, or beginning with a blank

  // "<program>" in quotes, then the arguments.
  std::string command_line() const { return "\"" + program + "\"" + arguments; }
};

// What a service finds when it starts, found the same way by the tool, so
// that the report of a failed start can name what is at fault.
struct ServiceFiles {
  std::string config_problem;  // why the configuration file is refused, or empty
  std::string log_folder;      // full paths, as the service resolves them
  std::string log_file;
  ComponentCommand command;
  std::string config_file;  // as the service names it, from the program's folder
};

}  // namespace vmrsmgr
