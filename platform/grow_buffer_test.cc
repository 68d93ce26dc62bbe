#include "platform/grow_buffer.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vmrsmgr::platform {
namespace {

constexpr std::uint32_t kTooSmallError = 122;
constexpr std::uint32_t kOtherError = 5;

// A call whose answer is `length` characters long; `names_size` says whether
// it tells the size it needs, `fails_at` makes it fail with another error
// from that try on (0: never).
struct Row {
  const char* name;
  std::size_t length;
  bool names_size;
  int fails_at;
  Fill::Outcome outcome;
  std::uint32_t error;
  std::vector<std::size_t> sizes_tried;
};

TEST(GrowToFit, GrowsUntilTheAnswerFitsWithinItsLimit) {
  const Row rows[] = {
      {"fits at once", 5, true, 0, Fill::Outcome::kFits, 0, {8}},
      {"grows to the size asked", 20, true, 0, Fill::Outcome::kFits, 0, {8, 21}},
      {"doubles when no size is named", 20, false, 0, Fill::Outcome::kFits, 0, {8, 16, 32}},
      {"exactly full is too small", 8, false, 0, Fill::Outcome::kFits, 0, {8, 16}},
      {"gives up at its limit",
       100,
       false,
       0,
       Fill::Outcome::kTooSmall,
       kTooSmallError,
       {8, 16, 32, 64}},
      {"asks past its limit", 100, true, 0, Fill::Outcome::kTooSmall, kTooSmallError, {8}},
      {"fails with another error", 20, false, 2, Fill::Outcome::kFailed, kOtherError, {8, 16}},
  };
  for (const Row& row : rows) {
    const std::string answer(row.length, 'a');
    std::vector<std::size_t> tried;
    std::string buffer;
    const Fill fill = grow_to_fit(buffer, 8, 64, [&](char* out, std::size_t size) {
      tried.push_back(size);
      if (row.fails_at != 0 && static_cast<int>(tried.size()) >= row.fails_at) {
        return Fill::failed(kOtherError);
      }
      // Like the system's calls: room for the answer and its terminator.
      if (answer.size() + 1 > size) {
        return Fill::too_small(row.names_size ? answer.size() + 1 : 0, kTooSmallError);
      }
      answer.copy(out, answer.size());
      return Fill::fits(answer.size());
    });
    EXPECT_EQ(fill.outcome, row.outcome) << row.name;
    EXPECT_EQ(fill.error, row.error) << row.name;
    EXPECT_EQ(tried, row.sizes_tried) << row.name;
    if (row.outcome == Fill::Outcome::kFits) {
      EXPECT_EQ(buffer, answer) << row.name;
    }
  }
}

}  // namespace
}  // namespace vmrsmgr::platform
