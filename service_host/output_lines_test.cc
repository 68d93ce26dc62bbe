#include "service_host/output_lines.h"

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

TEST(OutputLines, EveryRecordFitsALogLine) {
  // time stamp, blank, "[trace] ", "output: ", the record and the line end
  EXPECT_LE(22 + 1 + 8 + 8 + kMaxOutputPiece + 2, 1024u);
}

}  // namespace
}  // namespace vmrsmgr
