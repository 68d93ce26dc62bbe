#include "platform/log_file.h"

#include <string>

#include <gtest/gtest.h>

namespace vmrsmgr::platform {
namespace {

TEST(ExtendedLengthPath, TakesAbsolutePathsToTheLongForm) {
  struct Case {
    const wchar_t* path;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\Suite\\bin\\log", L"\\\\?\\C:\\Program Files\\Suite\\bin\\log"},
      {L"c:/logs/", L"\\\\?\\c:\\logs"},
      {L"C:\\", L"\\\\?\\C:\\"},
      {L"C:\\suite\\bin\\.\\..\\log\\\\x", L"\\\\?\\C:\\suite\\log\\x"},
      {L"C:\\..\\log", L"\\\\?\\C:\\log"},
      {L"\\\\server\\share\\logs", L"\\\\?\\UNC\\server\\share\\logs"},
      {L"//server/share/a/../logs", L"\\\\?\\UNC\\server\\share\\logs"},
      {L"\\\\?\\C:\\already", L"\\\\?\\C:\\already"},
      {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
      {L"log", L"log"},
      {L"C:log", L"C:log"},
      {L"\\rooted", L"\\rooted"},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(extended_length_path(c.path), c.expected);
}

}  // namespace
}  // namespace vmrsmgr::platform
