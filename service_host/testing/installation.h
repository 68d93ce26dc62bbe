#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace vmrsmgr::testing {

// What a program printed on both streams, and how it ended.
struct Outcome {
  int exit_code = -1;
  std::string output;  // line ends normalised to \n
};

// Runs a command line and waits for it, at most timeout_ms; a program still
// running then is ended and reported with exit code -1.
Outcome run_command(const std::wstring& command_line, DWORD timeout_ms = 60000);

// A service's state as the service manager reports it; state 0 when it
// cannot be queried.
SERVICE_STATUS query_service(const std::string& name);
// Polls until the service is in the state or timeout_ms have passed.
SERVICE_STATUS wait_for_service(const std::string& name, DWORD state, DWORD timeout_ms = 30000);

// Processes running one of these program files, e.g. dariri.exe.
std::vector<std::uint32_t> processes_named(const std::string& exe_name);

// A copy of vmrsmgr.exe in a folder of its own (bin) below the Wine prefix's
// drive C, with the test component copied into its sibling folders as the
// components, so that each test has its own installation. On destruction it
// removes the services the test named and ends what they left running.
class Installation {
 public:
  explicit Installation(const std::string& name);
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Places the test component as folder\exe (e.g. dariri\dariri.exe), with
  // the options it adds to the arguments of its service.
  void add_component(const std::string& relative_path, const std::string& options = "");
  // Writes bin\conf\vmrsmgr.conf.
  void write_config(const std::string& text) const;
  // Runs bin\vmrsmgr.exe with the arguments.
  Outcome tool(const std::string& arguments) const;
  // Marks a service for removal at the end of the test, whatever happens;
  // call it before installing.
  void owns_service(const std::string& name) { services_.push_back(name); }

  boost::filesystem::path root() const { return root_; }
  boost::filesystem::path bin() const { return root_ / "bin"; }
  // The whole of a file, empty when it does not exist.
  static std::string read(const boost::filesystem::path& file);

 private:
  boost::filesystem::path root_;
  std::vector<std::string> services_;
  std::vector<std::string> programs_;
};

}  // namespace vmrsmgr::testing
