#pragma once

// Keeps every event it is given, for tests to compare.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace vmrsmgr::testing {

struct Event {
  platform::EventLevel level;
  std::uint32_t id;
  std::vector<std::string> inserts;

  bool operator==(const Event& other) const {
    return level == other.level && id == other.id && inserts == other.inserts;
  }
  friend std::ostream& operator<<(std::ostream& out, const Event& event) {
    out << "{level " << static_cast<int>(event.level) << ", id " << event.id;
    for (const std::string& insert : event.inserts) out << ", \"" << insert << '"';
    return out << '}';
  }
};

class FakeEventSink : public platform::EventSink {
 public:
  std::vector<Event> events;

  void report(platform::EventLevel level, std::uint32_t id,
              const std::vector<std::string>& inserts) noexcept override {
    events.push_back({level, id, inserts});
  }
};

}  // namespace vmrsmgr::testing
