#include "logging/log_line.h"

#include <string>
#include <vector>

#include <boost/date_time/c_local_time_adjustor.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

namespace vmrsmgr {
namespace {

namespace pt = boost::posix_time;

std::string stamp_of(const std::tm& time, std::uint32_t microseconds) {
  char out[kMaxTimeStamp];
  return std::string(out, format_time_stamp(time, microseconds, out));
}

std::string local_stamp(std::chrono::system_clock::time_point moment) {
  char out[kMaxTimeStamp];
  return std::string(out, local_time_stamp(moment, out));
}

TEST(FormatTimeStamp, IsBoostIsoFormWithFractionOnlyWhenNotZero) {
  struct Case {
    int year, month, day, hour, minute, second;
    std::uint32_t microseconds;
    const char* expected;
  };
  const Case cases[] = {
      {2024, 1, 31, 8, 15, 2, 250000, "20240131T081502.250000"},
      {2024, 1, 31, 8, 15, 2, 0, "20240131T081502"},
      {2024, 1, 31, 8, 15, 2, 1, "20240131T081502.000001"},
      {1999, 12, 31, 23, 59, 59, 999999, "19991231T235959.999999"},
      {2000, 2, 29, 0, 0, 0, 0, "20000229T000000"},
  };
  for (const Case& c : cases) {
    std::tm time{};
    time.tm_year = c.year - 1900;
    time.tm_mon = c.month - 1;
    time.tm_mday = c.day;
    time.tm_hour = c.hour;
    time.tm_min = c.minute;
    time.tm_sec = c.second;
    EXPECT_EQ(stamp_of(time, c.microseconds), c.expected);
    const pt::ptime boost_time(
        boost::gregorian::date(static_cast<unsigned short>(c.year),
                               static_cast<unsigned short>(c.month),
                               static_cast<unsigned short>(c.day)),
        pt::time_duration(c.hour, c.minute, c.second) + pt::microseconds(c.microseconds));
    EXPECT_EQ(pt::to_iso_string(boost_time), c.expected);
  }
}

// The stamp of a moment is its local time as Boost converts it, also when the
// per-second cache moves on to the next second or jumps back.
TEST(LocalTimeStamp, IsLocalTimeOfTheMoment) {
  using std::chrono::microseconds;
  using std::chrono::seconds;
  const auto now = std::chrono::time_point_cast<seconds>(std::chrono::system_clock::now());
  const std::vector<std::chrono::system_clock::time_point> moments = {
      now + microseconds(250000),
      now,
      now + microseconds(999999),
      now + seconds(1),
      now + seconds(1) + microseconds(7),
      now - seconds(86400 * 200),
      now + microseconds(1)};
  for (const auto& moment : moments) {
    const auto since_epoch =
        std::chrono::duration_cast<microseconds>(moment.time_since_epoch()).count();
    const pt::ptime utc = pt::from_time_t(static_cast<std::time_t>(since_epoch / 1000000)) +
                          pt::microseconds(since_epoch % 1000000);
    const pt::ptime local = boost::date_time::c_local_adjustor<pt::ptime>::utc_to_local(utc);
    EXPECT_EQ(local_stamp(moment), pt::to_iso_string(local));
  }
}

TEST(ComposeLine, EndsEveryLineWithCrLfAndCutsOnlyTheMessage) {
  constexpr std::size_t kCapacity = 1024;
  const std::string stamp = "20240131T081502.250000";
  struct Case {
    const char* tag;
    std::size_t message_size;
  };
  const std::size_t fits = kCapacity - 2 - stamp.size() - 1;  // message filling the line
  const Case cases[] = {{"", 0},        {"", 20},           {"[debug] ", 20}, {"", fits},
                        {"", fits + 1}, {"[error] ", fits}, {"", 2000}};
  for (const Case& c : cases) {
    std::string message(c.message_size, 'm');
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
    std::vector<char> line(kCapacity + 1, '#');
    const std::size_t n = compose_line(line.data(), kCapacity, stamp, c.tag, message);
    const std::string whole = stamp + " " + c.tag + message;
    const std::size_t text = std::min(whole.size(), kCapacity - 2);
    ASSERT_EQ(n, text + 2) << c.tag << c.message_size;
    EXPECT_EQ(std::string(line.data(), n), whole.substr(0, text) + "\r\n");
    EXPECT_EQ(line[kCapacity], '#');  // nothing beyond the slot
    EXPECT_EQ(line_stamp({line.data(), n}), stamp);
  }
}

}  // namespace
}  // namespace vmrsmgr
