#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "logging/log_writer.h"
#include "platform/event_log.h"

namespace vmrsmgr {

// What one run of a service tells the event log, so that monitoring sees
// what its log file says even when there is no log file. Each event comes at
// most once per episode, whatever the callers repeat: the run's end once
// (stopped, ended by itself or failed to start, whichever comes first), each
// trouble with the log once until it clears. Safe to call from every thread
// of the service; never throws.
class ServiceEvents {
 public:
  explicit ServiceEvents(platform::EventSink& sink) : sink_(sink) {}

  // The component runs: its name or program, its process's ID and the
  // program's version.
  void started(const std::string& component, std::uint32_t process_id,
               const std::string& version) noexcept;
  // The service stopped on a stop request or at the system's shutdown.
  void stopped_on_request() noexcept;
  // The component ended by itself and took the service with it: a warning
  // for exit code 0, an error for any other.
  void component_ended(std::uint32_t exit_code) noexcept;
  // The service stopped before its component ran: the cause as --start
  // prints it, the setting, folder or program at fault and the log's path
  // (each empty when not known), with the service's exit code.
  void start_failed(std::uint32_t exit_code, const std::string& cause, const std::string& at_fault,
                    const std::string& log_path) noexcept;

  // Trouble with the log file `file`; `reason` is the system's or the
  // logger's own text.
  void log_not_opened(const std::string& file, const std::string& reason) noexcept;
  void log_not_written(const std::string& file, const std::string& reason) noexcept;
  void log_not_rotated(const std::string& file, const std::string& reason) noexcept;
  // Writing works again; `account` says how many lines were lost and when.
  // Ends the episode of a log that could not be written.
  void log_lines_lost(const std::string& file, const std::string& account) noexcept;
  // Each old log once; the next one held may be another file.
  void old_log_not_removed(const std::string& file, const std::string& reason) noexcept;

  // The processes that a stop had to end by force, after their interrupt.
  void ended_by_force(const std::vector<std::uint32_t>& process_ids) noexcept;

  // The logger's troubles as these events, for Logger::observe; the events
  // must outlive the logger's thread.
  LogObserver log_observer();

 private:
  enum class Episode {
    kStarted,
    kEnd,
    kNotOpened,
    kNotWritten,
    kLinesLost,
    kNotRotated,
    kOldLog,
    kForced
  };
  using Key = std::pair<Episode, std::string>;

  // Reports the event unless its episode had one already; `rearms` is the
  // episode it ends, whose next event is told again. The inserts are made
  // only for an event that is reported.
  template <typename MakeInserts>
  void once(Episode episode, const std::string& subject, platform::EventLevel level,
            std::uint32_t id, MakeInserts make_inserts,
            std::optional<Episode> rearms = std::nullopt) noexcept;

  // A warning about a log file; old logs are told once for each file.
  void log_trouble(Episode episode, std::uint32_t id, const std::string& file,
                   const std::string& detail,
                   std::optional<Episode> rearms = std::nullopt) noexcept;

  platform::EventSink& sink_;
  std::mutex mutex_;
  std::set<Key> reported_;
};

}  // namespace vmrsmgr
