#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vmrsmgr {

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
    // Interrupts it, gives it up to half a second, then ends it with exit
    // code 1. Does nothing when the process may not be ended.
    virtual void end() = 0;
  };

  virtual ~ProcessSystem() = default;
  // Every process running now.
  virtual std::vector<Entry> snapshot() = 0;
  // Null when the process is gone or not even its creation time can be read.
  virtual std::unique_ptr<Process> open(std::uint32_t id) = 0;
};

// The processes of this machine.
ProcessSystem& system_processes();

// Ends every descendant of the process, deepest first, each after a console
// interrupt and up to half a second; the process itself is left alone. Among
// the children of one process the console hosts come last. An
// entry counts as a child only when it was created after its parent, since a
// long-dead parent's id may have been given to the process we start from.
void end_process_tree(std::uint32_t parent_id, ProcessSystem& processes = system_processes());

}  // namespace vmrsmgr
