#include "service_host/process_tree.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

#include "platform/handles.h"

namespace vmrsmgr {
namespace {

using platform::unique_handle;
using platform::unique_hfile;

constexpr DWORD kGraceMs = 500;

void end_descendants(ProcessSystem& processes, std::uint32_t parent_id,
                     std::uint64_t parent_created) {
  std::vector<ProcessSystem::Entry> children = processes.snapshot();
  children.erase(std::remove_if(children.begin(), children.end(),
                                [&](const ProcessSystem::Entry& e) {
                                  return e.parent_id != parent_id || e.id == parent_id;
                                }),
                 children.end());
  std::stable_partition(children.begin(), children.end(),
                        [](const ProcessSystem::Entry& e) { return !e.console_host; });
  for (const ProcessSystem::Entry& entry : children) {
    // The open handle keeps the child's id ours while its own children are
    // walked.
    const std::unique_ptr<ProcessSystem::Process> child = processes.open(entry.id);
    if (!child || child->created() < parent_created) continue;
    end_descendants(processes, entry.id, child->created());
    child->end();
  }
}

// While attached to a component's console the service receives the interrupt
// too; this handler makes it ignore it.
BOOL WINAPI ignore_interrupt(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

// An interrupt reaches only the processes of a console, and the service has
// none of its own: it borrows the process's console for the moment. A process
// without a console of its own gets the interrupt by its group id, in case it
// leads one.
void interrupt(DWORD id) {
  static const BOOL ignoring = ::SetConsoleCtrlHandler(ignore_interrupt, TRUE);
  static_cast<void>(ignoring);
  if (::AttachConsole(id)) {
    ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    ::FreeConsole();
  } else {
    ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, id);
  }
}

class WindowsProcess final : public ProcessSystem::Process {
 public:
  WindowsProcess(DWORD id, unique_handle handle, bool may_end, std::uint64_t created)
      : id_(id), handle_(std::move(handle)), may_end_(may_end), created_(created) {}

  std::uint64_t created() const override { return created_; }

  void end() override {
    if (!may_end_) return;
    interrupt(id_);
    ::WaitForSingleObject(handle_.get(), kGraceMs);
    ::TerminateProcess(handle_.get(), 1);  // fails harmlessly when it has ended
  }

 private:
  DWORD id_;
  unique_handle handle_;
  bool may_end_;
  std::uint64_t created_;
};

class WindowsProcesses final : public ProcessSystem {
 public:
  std::vector<Entry> snapshot() override {
    std::vector<Entry> entries;
    const unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
      entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID,
                         ::lstrcmpiW(entry.szExeFile, L"conhost.exe") == 0});
    }
    return entries;
  }

  std::unique_ptr<Process> open(std::uint32_t id) override {
    bool may_end = true;
    unique_handle handle(::OpenProcess(
        PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!handle) {
      // Not ours to end, but its children may be.
      may_end = false;
      handle.reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    }
    if (!handle) return nullptr;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(handle.get(), &created, &exited, &kernel, &user)) return nullptr;
    const std::uint64_t time =
        (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return std::make_unique<WindowsProcess>(id, std::move(handle), may_end, time);
  }
};

}  // namespace

ProcessSystem& system_processes() {
  static WindowsProcesses processes;
  return processes;
}

void end_process_tree(std::uint32_t parent_id, ProcessSystem& processes) {
  const std::unique_ptr<ProcessSystem::Process> parent = processes.open(parent_id);
  if (parent) end_descendants(processes, parent_id, parent->created());
}

}  // namespace vmrsmgr
