#include "tests/windows_support.h"

#include <tlhelp32.h>

#include <algorithm>
#include <functional>

#include "platform/executable_path.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/text.h"

namespace vmrsmgr::testing {
namespace {

using platform::unique_handle;
using platform::unique_hfile;

// An inheritable file the child writes its output to, gone once closed. A
// file rather than a pipe: nothing has to read while the child runs, however
// much it prints.
unique_hfile temporary_file() {
  wchar_t folder[MAX_PATH];
  wchar_t name[MAX_PATH];
  if (::GetTempPathW(MAX_PATH, folder) == 0 || ::GetTempFileNameW(folder, L"vms", 0, name) == 0) {
    return unique_hfile();
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return unique_hfile(::CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inherit, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

std::string contents(const unique_hfile& file) {
  ::SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  return without_carriage_returns(text);
}

}  // namespace

std::string without_carriage_returns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

std::string error_report(DWORD code) {
  // The system's text keeps its own line end, so the report ends in an
  // empty line.
  return std::to_string(code) + "\n" + platform::system_message(code) + "\n\n";
}

std::string program_folder() {
  std::string path(MAX_PATH, '\0');
  path.resize(::GetModuleFileNameA(nullptr, path.data(), MAX_PATH));
  return path.substr(0, path.find_last_of('\\') + 1);
}

Outcome run_command(const std::wstring& command_line, DWORD timeout_ms, Streams streams) {
  const unique_hfile out = temporary_file();
  const unique_hfile err = streams == Streams::apart ? temporary_file() : unique_hfile();
  if (!out || (streams == Streams::apart && !err)) return {};

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out.get();
  startup.hStdError = streams == Streams::apart ? err.get() : out.get();
  std::wstring line = command_line;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
    return {};
  }
  const unique_handle process(info.hProcess);
  const unique_handle thread(info.hThread);

  Outcome result;
  if (::WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    result.exit_code = static_cast<int>(code);
  } else {
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), INFINITE);
  }
  result.output = contents(out);
  if (streams == Streams::apart) result.errors = contents(err);
  return result;
}

ServiceHandle open_manager(DWORD rights) {
  return owned(::OpenSCManagerW(nullptr, nullptr, rights));
}

ServiceHandle open_service(const std::string& name, DWORD rights) {
  const ServiceHandle manager = open_manager();
  if (!manager) return owned(nullptr);
  return owned(::OpenServiceW(manager.get(), platform::to_wide(name).c_str(), rights));
}

SERVICE_STATUS query_service(const std::string& name) {
  SERVICE_STATUS status{};
  const ServiceHandle service = open_service(name, SERVICE_QUERY_STATUS);
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

void remove_service(const std::string& name) {
  const ServiceHandle service = open_service(name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!service) return;
  SERVICE_STATUS status{};
  if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    wait_for_service(name, SERVICE_STOPPED, 15000);
  }
  ::DeleteService(service.get());
}

namespace {

// The entries of a snapshot of the running processes that the test wants.
std::vector<PROCESSENTRY32W> processes_where(
    const std::function<bool(const PROCESSENTRY32W&)>& wanted) {
  std::vector<PROCESSENTRY32W> found;
  const unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (wanted(entry)) found.push_back(entry);
  }
  return found;
}

}  // namespace

std::vector<std::uint32_t> processes_named(const std::string& exe_name) {
  const std::wstring name = platform::to_wide(exe_name);
  std::vector<std::uint32_t> ids;
  for (const PROCESSENTRY32W& entry : processes_where([&name](const PROCESSENTRY32W& e) {
         return ::lstrcmpiW(e.szExeFile, name.c_str()) == 0;
       })) {
    ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

std::uint32_t parent_of(std::uint32_t id) {
  const std::vector<PROCESSENTRY32W> found =
      processes_where([id](const PROCESSENTRY32W& e) { return e.th32ProcessID == id; });
  return found.empty() ? 0 : found.front().th32ParentProcessID;
}

std::wstring program_of(std::uint32_t id) {
  const unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  return process ? platform::process_program(process.get()) : std::wstring();
}

}  // namespace vmrsmgr::testing
