#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace vmrsmgr {

// The job object that holds the component and everything it starts. Only
// the service holds its handle, and the job ends its processes when that
// handle closes, so no component process outlives its service, however the
// service ends.
class ComponentJob {
 public:
  // Makes the job; error() tells why when it could not be made.
  ComponentJob();

  explicit operator bool() const { return static_cast<bool>(job_); }
  std::uint32_t error() const { return error_; }

  // Places a process, created suspended, in the job: 0 or the system's error.
  std::uint32_t assign(HANDLE process) const;
  // Whether the process, held open under its id, is in the job.
  bool contains(HANDLE process, std::uint32_t id) const;
  // The processes in the job now, whatever became of their parents.
  std::vector<std::uint32_t> members() const;
  // The first process in the job now whose program is neither the one at
  // program_path nor a console host; 0 when there is none.
  std::uint32_t first_process_except(const std::wstring& program_path) const;
  bool empty() const;
  // Ends whatever is still in the job and waits up to wait_ms for it to be
  // empty; whether it is.
  bool terminate(std::uint32_t wait_ms) const;

 private:
  platform::unique_handle job_;
  std::uint32_t error_ = 0;
};

}  // namespace vmrsmgr
