#include "service_host/output_lines.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vmrsmgr {
namespace {

TEST(OutputLines, OneRecordALineInOrderAndNothingLost) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;  // as the runner hands them over
    std::size_t max_piece;
    std::vector<std::string> records;
    std::string waiting;  // what still waits for the rest of its line
  };
  const Case cases[] = {
      {"nothing", {""}, 10, {}, ""},
      {"one line", {"short\r\n"}, 10, {"short"}, ""},
      {"several lines, each its own record", {"a\nb\r\n\nc\n"}, 10, {"a", "b", "", "c"}, ""},
      {"a line split across chunks", {"one\r\ntw", "o\r", "\nthree"}, 10, {"one", "two"}, "three"},
      {"a line longer than a record", {"0123456789abc\r\n"}, 10, {"0123456789", "abc"}, ""},
      {"a long line still waiting", {"0123456789abcdef"}, 10, {"0123456789"}, "abcdef"},
      {"a cut never splits CR LF", {"012345678\r", "\n"}, 10, {"012345678"}, ""},
      {"exactly fits", {"0123456789\n"}, 10, {"0123456789"}, ""},
      {"bytes that are not text stay",
       {std::string("a\0b\rc\n", 6)},
       10,
       {std::string("a\0b\rc", 5)},
       ""},
      {"a forged record is only text",
       {"20261207T120000 [error] x\n"},
       100,
       {"20261207T120000 [error] x"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OutputLines lines(c.max_piece);
    std::vector<std::string> records;
    const auto emit = [&records](std::string_view record) { records.emplace_back(record); };
    for (const std::string& chunk : c.chunks) lines.add(chunk, emit);
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(lines.waiting(), !c.waiting.empty());
    records.clear();
    lines.flush(emit);
    EXPECT_EQ(records,
              c.waiting.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.waiting});
    EXPECT_FALSE(lines.waiting());
  }
}

TEST(OutputLines, TheRestOfALineWaitsAtMostItsTimeHoweverSlowlyItGrows) {
  // As the service does: each piece added when it arrives, then the rest
  // logged once it is due.
  struct Step {
    std::uint64_t at;
    std::string output;
    std::vector<std::string> records;  // emitted at this step
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"a dot every 50 ms",
       {{1000, ".", {}},
        {1050, ".", {}},
        {1100, ".", {"..."}},
        {1150, ".", {}},
        {1200, ".", {}},
        {1250, "", {".."}}}},
      {"a line end in time", {{0, "ab", {}}, {60, "c\n", {"abc"}}, {200, "", {}}}},
      {"the rest after a cut counts from its own first byte",
       {{0, "0123", {}}, {80, "456789abc", {"0123456789"}}, {150, "", {}}, {180, "", {"abc"}}}},
      {"a CR kept back keeps its time",
       {{0, "012345678\r", {}}, {80, "x", {"012345678"}}, {100, "", {"\rx"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OutputLines lines(10);
    std::vector<std::string> records;
    const auto emit = [&records](std::string_view record) { records.emplace_back(record); };
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.at);
      records.clear();
      lines.add(step.output, emit, step.at);
      if (lines.due(step.at)) lines.flush(emit);
      EXPECT_EQ(records, step.records);
    }
  }
}

TEST(OutputLines, EveryRecordFitsALogLine) {
  // time stamp, blank, "[trace] ", "output: ", the record and the line end
  EXPECT_LE(22 + 1 + 8 + 8 + kMaxOutputPiece + 2, 1024u);
}

}  // namespace
}  // namespace vmrsmgr
