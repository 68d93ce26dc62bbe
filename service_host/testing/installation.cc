#include "service_host/testing/installation.h"

#include <tlhelp32.h>

#include <algorithm>
#include <iterator>
#include <thread>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include "platform/handles.h"
#include "platform/text.h"
#include "service_host/testing/programs.h"

namespace vmrsmgr::testing {
namespace {

namespace fs = boost::filesystem;
using platform::unique_handle;
using platform::unique_hfile;
using platform::unique_schandle;

std::string without_carriage_returns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

unique_schandle open_service(const std::string& name, DWORD rights) {
  const unique_schandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return unique_schandle();
  return unique_schandle(::OpenServiceW(manager.get(), platform::to_wide(name).c_str(), rights));
}

void remove_service(const std::string& name) {
  const unique_schandle service = open_service(name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!service) return;
  SERVICE_STATUS status{};
  if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    wait_for_service(name, SERVICE_STOPPED, 15000);
  }
  ::DeleteService(service.get());
}

}  // namespace

Outcome run_command(const std::wstring& command_line, DWORD timeout_ms) {
  SECURITY_ATTRIBUTES inherited{};
  inherited.nLength = sizeof(inherited);
  inherited.bInheritHandle = TRUE;
  unique_handle read;
  unique_handle write;
  if (!::CreatePipe(read.put(), write.put(), &inherited, 0)) return {};
  ::SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write.get();
  startup.hStdError = write.get();
  std::wstring line = command_line;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
    return {};
  }
  const unique_handle process(info.hProcess);
  const unique_handle thread(info.hThread);
  write.reset();

  std::string output;
  std::thread reader([&] {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(read.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
      output.append(buffer, got);
    }
  });
  Outcome result;
  if (::WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    result.exit_code = static_cast<int>(code);
  } else {
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), INFINITE);
  }
  reader.join();
  result.output = without_carriage_returns(output);
  return result;
}

SERVICE_STATUS query_service(const std::string& name) {
  SERVICE_STATUS status{};
  const unique_schandle service = open_service(name, SERVICE_QUERY_STATUS);
  if (service) ::QueryServiceStatus(service.get(), &status);
  return status;
}

SERVICE_STATUS wait_for_service(const std::string& name, DWORD state, DWORD timeout_ms) {
  const DWORD started = ::GetTickCount();
  SERVICE_STATUS status = query_service(name);
  while (status.dwCurrentState != state && ::GetTickCount() - started < timeout_ms) {
    ::Sleep(50);
    status = query_service(name);
  }
  return status;
}

std::vector<std::uint32_t> processes_named(const std::string& exe_name) {
  std::vector<std::uint32_t> ids;
  const unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  const std::wstring wanted = platform::to_wide(exe_name);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (::lstrcmpiW(entry.szExeFile, wanted.c_str()) == 0) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

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
  fs::copy_file(test_component(), program);
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
