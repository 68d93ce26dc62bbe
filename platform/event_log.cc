#include "platform/event_log.h"

#include <windows.h>

#include <algorithm>

#include "platform/handles.h"
#include "platform/text.h"

namespace vmrsmgr::platform {
namespace {

// The event log takes at most 31839 characters an insert and refuses the
// whole event beyond; a shortened text is better than none.
constexpr std::size_t kLongestInsert = 31000;

WORD event_type(EventLevel level) {
  switch (level) {
    case EventLevel::kError:
      return EVENTLOG_ERROR_TYPE;
    case EventLevel::kWarning:
      return EVENTLOG_WARNING_TYPE;
    case EventLevel::kInformation:
      break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

class WindowsEventLog final : public EventSink {
 public:
  explicit WindowsEventLog(unique_event_source source) : source_(std::move(source)) {}

  void report(EventLevel level, std::uint32_t id,
              const std::vector<std::string>& inserts) noexcept override {
    if (!source_) return;
    try {
      std::vector<std::wstring> texts;
      texts.reserve(inserts.size());
      for (const std::string& insert : inserts) {
        std::wstring text = to_wide(insert);
        if (text.size() > kLongestInsert) text.resize(kLongestInsert);
        texts.push_back(std::move(text));
      }
      std::vector<LPCWSTR> pointers(texts.size());
      std::transform(texts.begin(), texts.end(), pointers.begin(),
                     [](const std::wstring& text) { return text.c_str(); });
      ::ReportEventW(source_.get(), event_type(level), 0, id, nullptr,
                     static_cast<WORD>(pointers.size()), 0,
                     pointers.empty() ? nullptr : pointers.data(), nullptr);
    } catch (...) {
      // Out of memory: the event is lost, the service goes on.
    }
  }

 private:
  unique_event_source source_;
};

}  // namespace

std::unique_ptr<EventSink> open_event_source(const std::string& source_name) {
  unique_event_source source;
  try {
    source.reset(::RegisterEventSourceW(nullptr, to_wide(source_name).c_str()));
  } catch (...) {
    // A name that cannot be converted: a sink that writes nothing.
  }
  return std::make_unique<WindowsEventLog>(std::move(source));
}

}  // namespace vmrsmgr::platform
