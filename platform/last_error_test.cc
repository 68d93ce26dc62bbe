#include "platform/last_error.h"

#include <cerrno>
#include <stdexcept>

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

#include <gtest/gtest.h>

#include "platform/log_file.h"

namespace vmrsmgr::platform {
namespace {

// Each kind of failure reaches the system's text of its code, or its own.
TEST(ErrorDescription, NamesTheReasonOfEveryKindOfFailure) {
  const std::uint32_t full = disk_full_error();
  const std::string full_text = system_message(full);
  ASSERT_FALSE(full_text.empty());
  const boost::system::error_code system_code(static_cast<int>(full),
                                              boost::system::system_category());
  const boost::system::error_code generic_code(ENOENT, boost::system::generic_category());
  struct Case {
    const char* name;
    std::string description;
    std::string expected;
  };
  const Case cases[] = {
      {"code", error_description(full), full_text},
      {"system error_code", error_description(system_code), full_text},
      {"generic error_code", error_description(generic_code), generic_code.message()},
      {"file error", error_description(boost::filesystem::filesystem_error("x", system_code)),
       full_text},
      {"other failure", error_description(std::runtime_error("broken")), "broken"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.description, c.expected) << c.name;
  EXPECT_EQ(full_text.find_first_of("\r\n"), std::string::npos);
#ifdef _WIN32
  // A code the system has no text for is named by its number.
  EXPECT_EQ(error_description(0x20000001u), "system error 536870913");
#endif
}

}  // namespace
}  // namespace vmrsmgr::platform
