#include "platform/text.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace vmrsmgr::platform {
namespace {

TEST(TextConversion, BytesAboveAsciiAreNotSignExtended) {
  // Expected units for the Western code page, the one Wine and most
  // administrators' machines use.
  if (::GetACP() != 1252) GTEST_SKIP() << "code page " << ::GetACP();
  const std::string narrow("\x41\x7f\x80\xe9\xff", 5);
  const std::wstring wide = to_wide(narrow);
  EXPECT_EQ(wide, (std::wstring{0x41, 0x7f, 0x20ac, 0xe9, 0xff}));
  EXPECT_EQ(to_narrow(wide), narrow);
}

TEST(TextConversion, RoundTripsAccountsAndPasswords) {
  for (const std::string text : {"", "CORP\\J\xfcrgen", "P\xe4sswort", "reduze-PROD"}) {
    EXPECT_EQ(to_narrow(to_wide(text)), text);
  }
  EXPECT_EQ(to_wide("dariri"), L"dariri");
  EXPECT_EQ(to_wide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

}  // namespace
}  // namespace vmrsmgr::platform
