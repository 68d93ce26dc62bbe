#include "platform/console.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text.h"

namespace vmrsmgr::platform {
namespace {

TEST(WideTextBuffer, HandsOverWholeLinesFlushesAndTheRest) {
  std::vector<std::wstring> written;
  {
    WideTextBuffer buffer([&written](const std::wstring& text) { written.push_back(text); });
    std::ostream out(&buffer);
    // A character of several bytes written in two pieces arrives whole.
    const std::string letter = to_narrow(L"\u00fc");
    out << "Error: '" << letter.substr(0, 1);
    out << letter.substr(1) << "'\n";
    out << "Stopping" << '.' << std::flush;
    out << "\nStop Complete" << std::endl;
    out << "left";
  }
  const std::vector<std::wstring> want = {L"Error: '\u00fc'\n", L"Stopping.", L"\nStop Complete\n",
                                          L"left"};
  EXPECT_EQ(written, want);
}

}  // namespace
}  // namespace vmrsmgr::platform
