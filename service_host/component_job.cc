#include "service_host/component_job.h"

#include <algorithm>
#include <cstddef>

#include "platform/clock.h"
#include "platform/executable_path.h"
#include "platform/grow_buffer.h"
#include "platform/handles.h"

namespace vmrsmgr {
namespace {

std::uint32_t active_processes(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
  if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof(info),
                                   nullptr)) {
    return 0;
  }
  return info.ActiveProcesses;
}

bool same_text(const std::wstring& a, const wchar_t* b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

ComponentJob::ComponentJob() : job_(::CreateJobObjectW(nullptr, nullptr)) {
  if (!job_) {
    error_ = ::GetLastError();
    return;
  }
  // No breakaway flag: whatever the component starts stays in the job.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
    error_ = ::GetLastError();
    job_.reset();
  }
}

std::uint32_t ComponentJob::assign(HANDLE process) const {
  if (!job_) return error_;
  return ::AssignProcessToJobObject(job_.get(), process) ? 0 : ::GetLastError();
}

bool ComponentJob::contains(HANDLE process, std::uint32_t id) const {
  if (!job_) return false;
  BOOL result = FALSE;
  if (::IsProcessInJob(process, job_.get(), &result)) return result != FALSE;
  // Wine wants more access for the question than Windows does. The job's
  // list serves too: while the handle is held, the id names this process.
  const std::vector<std::uint32_t> ids = members();
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::vector<std::uint32_t> ComponentJob::members() const {
  std::vector<std::uint32_t> ids;
  if (!job_) return ids;
  // The list is a header and a variable array, counted here in ULONG_PTRs.
  constexpr std::size_t kHeader = sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) / sizeof(ULONG_PTR);
  std::vector<ULONG_PTR> buffer;
  const platform::Fill fill = platform::grow_to_fit(
      buffer, kHeader + 64, kHeader + 65536, [&](ULONG_PTR* data, std::size_t size) {
        auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(data);
        if (!::QueryInformationJobObject(job_.get(), JobObjectBasicProcessIdList, list,
                                         static_cast<DWORD>(size * sizeof(ULONG_PTR)), nullptr) &&
            ::GetLastError() != ERROR_MORE_DATA) {
          return platform::Fill::failed(::GetLastError());
        }
        if (list->NumberOfProcessIdsInList < list->NumberOfAssignedProcesses) {
          return platform::Fill::too_small(kHeader + list->NumberOfAssignedProcesses,
                                           ERROR_MORE_DATA);
        }
        return platform::Fill::fits(size);
      });
  if (fill.outcome != platform::Fill::Outcome::kFits) return ids;
  const auto* list = reinterpret_cast<const JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
  // Read through a pointer: the declared array has one element.
  const ULONG_PTR* id = list->ProcessIdList;
  for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
    ids.push_back(static_cast<std::uint32_t>(id[i]));
  }
  return ids;
}

std::uint32_t ComponentJob::first_process_except(const std::wstring& program_path) const {
  for (const std::uint32_t id : members()) {
    // Held open, and checked to be in the job, the id cannot name another.
    const platform::unique_handle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process || !contains(process.get(), id)) continue;
    const std::wstring program = platform::process_program(process.get());
    if (program.empty() || same_text(program, program_path.c_str())) continue;
    const std::size_t name = program.find_last_of(L'\\') + 1;
    if (same_text(program.substr(name), L"conhost.exe")) continue;
    return id;
  }
  return 0;
}

bool ComponentJob::empty() const { return !job_ || active_processes(job_.get()) == 0; }

bool ComponentJob::terminate(std::uint32_t wait_ms) const {
  if (empty()) return true;
  ::TerminateJobObject(job_.get(), 1);
  const std::uint64_t until = platform::monotonic_ms() + wait_ms;
  while (active_processes(job_.get()) != 0) {
    if (platform::monotonic_ms() >= until) return false;
    ::Sleep(10);
  }
  return true;
}

}  // namespace vmrsmgr
