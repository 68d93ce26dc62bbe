#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vmrsmgr::platform {

enum class EventLevel { kInformation, kWarning, kError };

// Where the service's events go: the Windows event log, or a fake in tests.
// Inserts are narrow text in the program's code page, one for each %n of the
// message the ID names.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Never fails and never throws: an event that cannot be written is lost,
  // and the service goes on without it.
  virtual void report(EventLevel level, std::uint32_t id,
                      const std::vector<std::string>& inserts) noexcept = 0;
};

// The event log under the source of that name, the service's own. When the
// source cannot be opened the sink writes nothing: the event log must never
// stop a service.
std::unique_ptr<EventSink> open_event_source(const std::string& source_name);

}  // namespace vmrsmgr::platform
