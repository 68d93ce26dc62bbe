#include "service_host/process_tree.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <set>

#include "platform/clock.h"
#include "platform/grow_buffer.h"
#include "platform/handles.h"
#include "service_host/component_job.h"

namespace vmrsmgr {
namespace {

using platform::unique_handle;
using platform::unique_hfile;

// A forced end, or the job's backstop, takes far less than this.
constexpr std::uint32_t kStepHintMs = 2000;

struct Doomed {
  std::uint32_t id;
  std::unique_ptr<ProcessSystem::Process> process;
};

struct Walk {
  std::set<std::uint32_t> seen;
  std::vector<Doomed> doomed;
  std::vector<std::uint32_t> spared;  // not the component's
};

// Appends the descendants of parent_id, deepest first, each after its own.
void collect_descendants(ProcessSystem& processes, const std::vector<ProcessSystem::Entry>& all,
                         std::uint32_t parent_id, std::uint64_t parent_created, Walk& walk) {
  std::vector<ProcessSystem::Entry> children;
  for (const ProcessSystem::Entry& e : all) {
    if (e.parent_id == parent_id && e.id != parent_id && walk.seen.count(e.id) == 0) {
      children.push_back(e);
    }
  }
  std::stable_partition(children.begin(), children.end(),
                        [](const ProcessSystem::Entry& e) { return !e.console_host; });
  for (const ProcessSystem::Entry& entry : children) {
    // The open handle keeps the child's id ours until the end of the stop.
    std::unique_ptr<ProcessSystem::Process> child = processes.open(entry.id);
    if (!child || child->created() < parent_created) continue;
    if (processes.has_job() && !child->in_job()) {
      walk.spared.push_back(entry.id);
      continue;
    }
    walk.seen.insert(entry.id);
    collect_descendants(processes, all, entry.id, child->created(), walk);
    walk.doomed.push_back({entry.id, std::move(child)});
  }
}

// The tree below the process, then the job's processes that it missed.
Walk collect(ProcessSystem& processes, std::uint32_t parent_id) {
  Walk walk;
  walk.seen.insert(parent_id);
  const std::vector<ProcessSystem::Entry> all = processes.snapshot();
  if (const std::unique_ptr<ProcessSystem::Process> parent = processes.open(parent_id)) {
    collect_descendants(processes, all, parent_id, parent->created(), walk);
  }
  for (const std::uint32_t id : processes.job_members()) {
    if (walk.seen.count(id) != 0) continue;
    std::unique_ptr<ProcessSystem::Process> orphan = processes.open(id);
    if (!orphan || !orphan->in_job()) continue;
    walk.seen.insert(id);
    collect_descendants(processes, all, id, orphan->created(), walk);
    walk.doomed.push_back({id, std::move(orphan)});
  }
  return walk;
}

// While attached to a component's console the service receives the interrupt
// too; this handler makes it ignore it.
BOOL WINAPI ignore_interrupt(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

// An interrupt reaches every process of a console, and the service has none
// of its own: it borrows the process's console for the moment. A process
// without a console gets the interrupt by its group id, in case it leads one.
std::vector<std::uint32_t> interrupt(DWORD id) {
  static const BOOL ignoring = ::SetConsoleCtrlHandler(ignore_interrupt, TRUE);
  static_cast<void>(ignoring);
  if (!::AttachConsole(id)) {
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, id)) return {};
    return {id};
  }
  std::vector<DWORD> reached;
  const platform::Fill listed =
      platform::grow_to_fit(reached, 64, 65536, [](DWORD* ids, std::size_t size) {
        const DWORD count = ::GetConsoleProcessList(ids, static_cast<DWORD>(size));
        if (count == 0) return platform::Fill::failed(::GetLastError());
        return count <= size ? platform::Fill::fits(count)
                             : platform::Fill::too_small(count, ERROR_INSUFFICIENT_BUFFER);
      });
  if (listed.outcome != platform::Fill::Outcome::kFits) reached.clear();
  const BOOL sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ::FreeConsole();
  if (!sent) return {};
  reached.push_back(id);  // also when the system could not list them
  return {reached.begin(), reached.end()};
}

class WindowsProcess final : public ProcessSystem::Process {
 public:
  WindowsProcess(DWORD id, unique_handle handle, bool may_end, bool in_job, std::uint64_t created)
      : id_(id),
        handle_(std::move(handle)),
        may_end_(may_end),
        in_job_(in_job),
        created_(created) {}

  std::uint64_t created() const override { return created_; }
  bool may_end() const override { return may_end_; }
  bool in_job() const override { return in_job_; }
  std::vector<std::uint32_t> interrupt() override { return vmrsmgr::interrupt(id_); }
  bool ended() override { return ::WaitForSingleObject(handle_.get(), 0) != WAIT_TIMEOUT; }
  void terminate() override { ::TerminateProcess(handle_.get(), 1); }
  HANDLE handle() const { return handle_.get(); }

 private:
  DWORD id_;
  unique_handle handle_;
  bool may_end_;
  bool in_job_;
  std::uint64_t created_;
};

class WindowsProcesses final : public ProcessSystem {
 public:
  explicit WindowsProcesses(const ComponentJob* job) : job_(job) {}

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
    const bool in_job = job_ != nullptr && job_->contains(handle.get(), id);
    return std::make_unique<WindowsProcess>(id, std::move(handle), may_end, in_job, time);
  }

  bool has_job() const override { return job_ != nullptr; }

  std::vector<std::uint32_t> job_members() override {
    return job_ != nullptr ? job_->members() : std::vector<std::uint32_t>{};
  }

  void wait_all(const std::vector<Process*>& processes, std::uint32_t timeout_ms) override {
    const std::uint64_t until = platform::monotonic_ms() + timeout_ms;
    std::vector<HANDLE> handles;
    for (Process* p : processes) handles.push_back(static_cast<WindowsProcess*>(p)->handle());
    // At most 64 handles a wait: one batch after the other, within one deadline.
    for (std::size_t from = 0; from < handles.size(); from += MAXIMUM_WAIT_OBJECTS) {
      const std::uint64_t now = platform::monotonic_ms();
      if (now >= until) return;
      const std::size_t count = std::min<std::size_t>(MAXIMUM_WAIT_OBJECTS, handles.size() - from);
      ::WaitForMultipleObjects(static_cast<DWORD>(count), handles.data() + from, TRUE,
                               static_cast<DWORD>(until - now));
    }
  }

 private:
  const ComponentJob* job_;
};

}  // namespace

std::unique_ptr<ProcessSystem> system_processes(const ComponentJob* job) {
  return std::make_unique<WindowsProcesses>(job);
}

TreeEnd end_process_tree(std::uint32_t parent_id, ProcessSystem& processes,
                         const StopProgress& progress) {
  const Walk walk = collect(processes, parent_id);
  TreeEnd end{walk.spared, {}};
  std::vector<const Doomed*> to_end;
  std::vector<ProcessSystem::Process*> waited;
  for (const Doomed& d : walk.doomed) {
    if (!d.process->may_end()) continue;
    to_end.push_back(&d);
    waited.push_back(d.process.get());
  }
  if (to_end.empty()) return end;
  if (progress) progress(kGraceMs + kStepHintMs);

  std::set<std::uint32_t> interrupted;
  for (const Doomed* d : to_end) {
    if (interrupted.count(d->id) != 0) continue;
    for (const std::uint32_t reached : d->process->interrupt()) interrupted.insert(reached);
  }
  processes.wait_all(waited, kGraceMs);

  for (const Doomed* d : to_end) {
    if (d->process->ended()) continue;
    d->process->terminate();
    end.forced.push_back(d->id);
    if (progress) progress(kStepHintMs);
  }
  return end;
}

}  // namespace vmrsmgr
