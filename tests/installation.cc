#include "tests/installation.h"

#include <cstdint>
#include <iterator>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include "platform/handles.h"
#include "platform/text.h"

namespace vmrsmgr::testing {

namespace fs = boost::filesystem;
using platform::unique_handle;

Installation::Installation(const std::string& name) : root_("C:\\vmrsmgr-e2e\\" + name) {
  fs::remove_all(root_);
  fs::create_directories(bin() / "log");
  fs::copy_file(program_folder() + "vmrsmgr.exe", bin() / "vmrsmgr.exe");
}

Installation::~Installation() {
  for (const std::string& service : services_) remove_service(service);
  for (const std::string& program : programs_) {
    for (const std::uint32_t id : processes_named(program)) {
      const unique_handle process(::OpenProcess(PROCESS_TERMINATE, FALSE, id));
      if (process) ::TerminateProcess(process.get(), 1);
    }
  }
}

void Installation::add_component(const std::string& relative_path, const std::string& options) {
  const fs::path program = root_ / relative_path;
  fs::create_directories(program.parent_path());
  fs::copy_file(test_component(), program, fs::copy_options::overwrite_existing);
  fs::ofstream(program.parent_path() / "component.args", std::ios::binary) << options;
  programs_.push_back(program.filename().string());
}

void Installation::write_config(const std::string& text) const {
  fs::create_directories(bin() / "conf");
  fs::ofstream(bin() / "conf" / "vmrsmgr.conf", std::ios::binary) << text;
}

Outcome Installation::tool(const std::string& arguments) const {
  return run_command(L"\"" + (bin() / "vmrsmgr.exe").wstring() + L"\" " +
                     platform::to_wide(arguments));
}

std::string Installation::read(const boost::filesystem::path& file) {
  fs::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace vmrsmgr::testing
