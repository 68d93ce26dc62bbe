#include "service_host/service_events.h"

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "service_host/testing/fake_event_sink.h"

namespace vmrsmgr {
namespace {

using platform::EventLevel;
using testing::Event;
using testing::FakeEventSink;

constexpr auto kInformation = EventLevel::kInformation;
constexpr auto kWarning = EventLevel::kWarning;
constexpr auto kError = EventLevel::kError;

// The IDs are compared as numbers: monitoring filters on them, so they must
// never change.
TEST(ServiceEvents, EachPathTellsItsEventsOncePerEpisode) {
  const std::string log = "C:\\Suite\\bin\\log\\dariri.vmrsmgr.log";
  const Event started{kInformation, 1000, {"dariri.exe", "1660", "1.0.0"}};
  const struct {
    const char* name;
    std::function<void(ServiceEvents&)> run;
    std::vector<Event> expected;
  } paths[] = {
      // The loop repeats its stop step on each pass; the component, ended by
      // the stop, ends with a code of its own.
      {"stop on request",
       [](ServiceEvents& e) {
         e.started("dariri.exe", 1660, "1.0.0");
         e.stopped_on_request();
         e.stopped_on_request();
         e.ended_by_force({1660, 1702});
         e.ended_by_force({1702});
         e.component_ended(1);
       },
       {started, {kInformation, 1001, {}}, {kWarning, 1010, {"2", "1660, 1702"}}}},
      {"stop with nothing ended by force",
       [](ServiceEvents& e) {
         e.ended_by_force({});
         e.stopped_on_request();
       },
       {{kInformation, 1001, {}}}},
      {"component ended with 0",
       [](ServiceEvents& e) {
         e.started("dariri.exe", 1660, "1.0.0");
         e.component_ended(0);
         e.component_ended(0);
         e.stopped_on_request();
       },
       {started, {kWarning, 1002, {}}}},
      {"component failed",
       [](ServiceEvents& e) {
         e.started("dariri.exe", 1660, "1.0.0");
         e.started("dariri.exe", 1660, "1.0.0");
         e.component_ended(3221225786u);
         e.component_ended(1);
       },
       {started, {kError, 1003, {"3221225786"}}}},
      // The log folder is missing: there is no log, and what is not known
      // still reads as a sentence.
      {"start failed",
       [](ServiceEvents& e) {
         e.start_failed(3, "Log folder not found: C:\\Suite\\bin\\log", "C:\\Suite\\bin\\log", "");
         e.start_failed(1066, "", "", "");
         e.stopped_on_request();
       },
       {{kError,
         1004,
         {"3", "Log folder not found: C:\\Suite\\bin\\log", "C:\\Suite\\bin\\log", "(unknown)"}}}},
      {"log not opened",
       [&log](ServiceEvents& e) {
         e.log_not_opened(log, "Access is denied.");
         e.log_not_opened(log, "Access is denied.");
         e.start_failed(5, "", "C:\\Suite\\bin\\log", log);
       },
       {{kWarning, 1005, {log, "Access is denied."}},
        {kError, 1004, {"5", "(unknown)", "C:\\Suite\\bin\\log", log}}}},
      // A full disk twice: each episode is a failure and, once written
      // again, the count of lost lines.
      {"disk full twice",
       [&log](ServiceEvents& e) {
         e.log_not_written(log, "There is not enough space on the disk.");
         e.log_not_written(log, "There is not enough space on the disk.");
         e.log_lines_lost(log, "12 lines");
         e.log_lines_lost(log, "12 lines");
         e.log_not_written(log, "There is not enough space on the disk.");
         e.log_lines_lost(log, "3 lines");
       },
       {{kWarning, 1006, {log, "There is not enough space on the disk."}},
        {kWarning, 1008, {log, "12 lines"}},
        {kWarning, 1006, {log, "There is not enough space on the disk."}},
        {kWarning, 1008, {log, "3 lines"}}}},
      {"log held by a viewer",
       [&log](ServiceEvents& e) {
         for (int i = 0; i < 3; ++i) e.log_not_rotated(log, "in use");
         for (int i = 0; i < 3; ++i) e.old_log_not_removed(log + "1", "in use");
         e.old_log_not_removed(log + "2", "in use");
       },
       {{kWarning, 1007, {log, "in use"}},
        {kWarning, 1009, {log + "1", "in use"}},
        {kWarning, 1009, {log + "2", "in use"}}}},
      // What the logger's thread tells, each trouble to its event.
      {"the logger's troubles",
       [&log](ServiceEvents& e) {
         const LogObserver tell = e.log_observer();
         tell(LogTrouble::kCannotOpen, log, "Access is denied.");
         tell(LogTrouble::kCannotWrite, log, "full");
         tell(LogTrouble::kLinesLost, log, "2 log lines were lost");
         tell(LogTrouble::kCannotRotate, log, "in use");
         tell(LogTrouble::kOldLogStays, log + "1", "in use");
       },
       {{kWarning, 1005, {log, "Access is denied."}},
        {kWarning, 1006, {log, "full"}},
        {kWarning, 1008, {log, "2 log lines were lost"}},
        {kWarning, 1007, {log, "in use"}},
        {kWarning, 1009, {log + "1", "in use"}}}},
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(path.name);
    FakeEventSink sink;
    ServiceEvents events(sink);
    path.run(events);
    EXPECT_EQ(sink.events, path.expected);
  }
}

}  // namespace
}  // namespace vmrsmgr
