#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vmrsmgr {

class ComponentJob;

// What ending a process tree needs of the system; tests put a fake in its
// place to arrange what cannot be arranged for real, such as a reused id.
class ProcessSystem {
 public:
  struct Entry {
    std::uint32_t id;
    std::uint32_t parent_id;
    // The host of a console, which ends by itself with the console's last
    // process and must outlive them to pass on their interrupts.
    bool console_host = false;
  };

  // An opened process. While it is held, its id cannot be given to another.
  class Process {
   public:
    virtual ~Process() = default;
    // Creation time in the system's 100 ns units.
    virtual std::uint64_t created() const = 0;
    // False when the process may not be ended by this service.
    virtual bool may_end() const = 0;
    // Whether it belongs to the component's job.
    virtual bool in_job() const = 0;
    // Sends it the console interrupt. The ids of every process the same
    // interrupt reached (its console's), itself included; empty when none
    // could be sent.
    virtual std::vector<std::uint32_t> interrupt() = 0;
    virtual bool ended() = 0;
    // Ends it with exit code 1.
    virtual void terminate() = 0;
  };

  virtual ~ProcessSystem() = default;
  // Every process running now.
  virtual std::vector<Entry> snapshot() = 0;
  // Null when the process is gone or not even its creation time can be read.
  virtual std::unique_ptr<Process> open(std::uint32_t id) = 0;
  // Whether the component runs in a job; then membership proves a process
  // the component's, whatever became of the ids.
  virtual bool has_job() const = 0;
  // The processes of the component's job; none without one.
  virtual std::vector<std::uint32_t> job_members() = 0;
  // Returns once every one of them has ended, or after timeout_ms.
  virtual void wait_all(const std::vector<Process*>& processes, std::uint32_t timeout_ms) = 0;
};

// The processes of this machine, with the component's job when there is one.
std::unique_ptr<ProcessSystem> system_processes(const ComponentJob* job = nullptr);

// How long every process of a tree gets, together, between its interrupt and
// a forced end.
inline constexpr std::uint32_t kGraceMs = 500;

// Told before each step of a stop with a time the step stays within, so
// that the service can report progress.
using StopProgress = std::function<void(std::uint32_t wait_hint_ms)>;

// Ends every descendant of the process, and every process of the component's
// job that the walk does not reach (its parent is gone) with its own
// descendants; the process itself is left alone. Each console gets one
// interrupt, deepest first; then every process gets the one grace period, all
// together; then those still running are ended by force, deepest first.
// Among the children of one process the console hosts come last. An entry
// counts as a child only when it was created after its parent, since a
// long-dead parent's id may have been given to the process we start from, and
// a process of the job only while the job still holds it. With a job, a
// child that the job does not hold is someone else's under a reused id: it
// and what lies below it are left alone.
struct TreeEnd {
  std::vector<std::uint32_t> spared;  // left alone, someone else's
  std::vector<std::uint32_t> forced;  // still running after the grace, ended by force
};
TreeEnd end_process_tree(std::uint32_t parent_id, ProcessSystem& processes,
                         const StopProgress& progress = {});

}  // namespace vmrsmgr
