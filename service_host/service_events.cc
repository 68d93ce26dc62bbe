#include "service_host/service_events.h"

#include "generated/vmrsmgr_events.h"

namespace vmrsmgr {
namespace {

using platform::EventLevel;

// An insert left empty would make a sentence with a hole in it.
std::string or_unknown(const std::string& text) { return text.empty() ? "(unknown)" : text; }

}  // namespace

template <typename MakeInserts>
void ServiceEvents::once(Episode episode, const std::string& subject, EventLevel level,
                         std::uint32_t id, MakeInserts make_inserts,
                         std::optional<Episode> rearms) noexcept {
  try {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!reported_.emplace(episode, subject).second) return;
    if (rearms) reported_.erase({*rearms, {}});
    sink_.report(level, id, make_inserts());
  } catch (...) {
    // Out of memory: the event is lost, the service goes on.
  }
}

void ServiceEvents::started(const std::string& component, std::uint32_t process_id,
                            const std::string& version) noexcept {
  once(Episode::kStarted, {}, EventLevel::kInformation, VMRSMGR_EVENT_STARTED, [&] {
    return std::vector<std::string>{or_unknown(component), std::to_string(process_id),
                                    or_unknown(version)};
  });
}

void ServiceEvents::stopped_on_request() noexcept {
  once(Episode::kEnd, {}, EventLevel::kInformation, VMRSMGR_EVENT_STOPPED,
       [] { return std::vector<std::string>{}; });
}

void ServiceEvents::component_ended(std::uint32_t exit_code) noexcept {
  if (exit_code == 0) {
    once(Episode::kEnd, {}, EventLevel::kWarning, VMRSMGR_EVENT_COMPONENT_ENDED,
         [] { return std::vector<std::string>{}; });
    return;
  }
  once(Episode::kEnd, {}, EventLevel::kError, VMRSMGR_EVENT_COMPONENT_FAILED,
       [&] { return std::vector<std::string>{std::to_string(exit_code)}; });
}

void ServiceEvents::start_failed(std::uint32_t exit_code, const std::string& cause,
                                 const std::string& at_fault,
                                 const std::string& log_path) noexcept {
  once(Episode::kEnd, {}, EventLevel::kError, VMRSMGR_EVENT_START_FAILED, [&] {
    return std::vector<std::string>{std::to_string(exit_code), or_unknown(cause),
                                    or_unknown(at_fault), or_unknown(log_path)};
  });
}

void ServiceEvents::log_trouble(Episode episode, std::uint32_t id, const std::string& file,
                                const std::string& detail, std::optional<Episode> rearms) noexcept {
  static const std::string kNoSubject;
  once(
      episode, episode == Episode::kOldLog ? file : kNoSubject, EventLevel::kWarning, id,
      [&] {
        return std::vector<std::string>{or_unknown(file), or_unknown(detail)};
      },
      rearms);
}

void ServiceEvents::log_not_opened(const std::string& file, const std::string& reason) noexcept {
  log_trouble(Episode::kNotOpened, VMRSMGR_EVENT_LOG_NOT_OPENED, file, reason);
}

void ServiceEvents::log_not_written(const std::string& file, const std::string& reason) noexcept {
  log_trouble(Episode::kNotWritten, VMRSMGR_EVENT_LOG_NOT_WRITTEN, file, reason,
              Episode::kLinesLost);
}

void ServiceEvents::log_not_rotated(const std::string& file, const std::string& reason) noexcept {
  log_trouble(Episode::kNotRotated, VMRSMGR_EVENT_LOG_NOT_ROTATED, file, reason);
}

void ServiceEvents::log_lines_lost(const std::string& file, const std::string& account) noexcept {
  log_trouble(Episode::kLinesLost, VMRSMGR_EVENT_LOG_LINES_LOST, file, account,
              Episode::kNotWritten);
}

void ServiceEvents::old_log_not_removed(const std::string& file,
                                        const std::string& reason) noexcept {
  log_trouble(Episode::kOldLog, VMRSMGR_EVENT_OLD_LOG_NOT_REMOVED, file, reason);
}

void ServiceEvents::ended_by_force(const std::vector<std::uint32_t>& process_ids) noexcept {
  if (process_ids.empty()) return;
  once(Episode::kForced, {}, EventLevel::kWarning, VMRSMGR_EVENT_ENDED_BY_FORCE, [&] {
    std::string ids;
    for (const std::uint32_t id : process_ids) {
      if (!ids.empty()) ids += ", ";
      ids += std::to_string(id);
    }
    return std::vector<std::string>{std::to_string(process_ids.size()), ids};
  });
}

LogObserver ServiceEvents::log_observer() {
  return [this](LogTrouble trouble, const std::string& file, const std::string& reason) {
    switch (trouble) {
      case LogTrouble::kCannotOpen:
        return log_not_opened(file, reason);
      case LogTrouble::kCannotWrite:
        return log_not_written(file, reason);
      case LogTrouble::kCannotRotate:
        return log_not_rotated(file, reason);
      case LogTrouble::kLinesLost:
        return log_lines_lost(file, reason);
      case LogTrouble::kOldLogStays:
        return old_log_not_removed(file, reason);
    }
  };
}

}  // namespace vmrsmgr
