#include "logging/log_line.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include <boost/date_time/c_time.hpp>

namespace vmrsmgr {
namespace {

// "20240131T081502": the time stamp without its fraction.
constexpr std::size_t kWholeSeconds = 15;

void put_digits(char* out, std::uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

std::uint32_t field(int value) { return static_cast<std::uint32_t>(value); }

void put_whole_seconds(const std::tm& time, char* out) {
  put_digits(out, field(time.tm_year + 1900), 4);
  put_digits(out + 4, field(time.tm_mon + 1), 2);
  put_digits(out + 6, field(time.tm_mday), 2);
  out[8] = 'T';
  put_digits(out + 9, field(time.tm_hour), 2);
  put_digits(out + 11, field(time.tm_min), 2);
  put_digits(out + 13, field(time.tm_sec), 2);
}

// Appends the fraction after the whole seconds already in out.
std::size_t put_fraction(std::uint32_t microseconds, char* out) {
  if (microseconds == 0) return kWholeSeconds;
  out[kWholeSeconds] = '.';
  put_digits(out + kWholeSeconds + 1, microseconds, 6);
  return kMaxTimeStamp;
}

std::size_t copy_part(char* out, std::size_t room, std::string_view part) noexcept {
  const std::size_t n = std::min(room, part.size());
  std::copy_n(part.data(), n, out);  // an empty part may have no data at all
  return n;
}

}  // namespace

std::size_t format_time_stamp(const std::tm& time, std::uint32_t microseconds, char* out) {
  put_whole_seconds(time, out);
  return put_fraction(microseconds, out);
}

std::size_t local_time_stamp(std::chrono::system_clock::time_point moment, char* out) {
  using std::chrono::duration_cast;
  using std::chrono::microseconds;
  constexpr std::int64_t kPerSecond = 1000000;
  const std::int64_t since_epoch = duration_cast<microseconds>(moment.time_since_epoch()).count();
  std::int64_t second = since_epoch / kPerSecond;
  std::int64_t fraction = since_epoch % kPerSecond;
  if (fraction < 0) {
    fraction += kPerSecond;
    --second;
  }

  struct Cache {
    std::int64_t second = std::numeric_limits<std::int64_t>::min();
    char text[kWholeSeconds] = {};
  };
  thread_local Cache cache;
  if (cache.second != second) {
    const auto seconds = static_cast<std::time_t>(second);
    std::tm buffer{};
    put_whole_seconds(*boost::date_time::c_time::localtime(&seconds, &buffer), cache.text);
    cache.second = second;
  }
  std::memcpy(out, cache.text, kWholeSeconds);
  return put_fraction(static_cast<std::uint32_t>(fraction), out);
}

std::size_t compose_line(char* line, std::size_t capacity, std::string_view stamp,
                         std::string_view tag, std::string_view message) noexcept {
  assert(capacity >= kMaxTimeStamp + 3 && stamp.size() <= kMaxTimeStamp);
  const std::size_t text_end = capacity - 2;  // room kept for the line end
  std::size_t n = copy_part(line, text_end, stamp);
  line[n++] = ' ';
  n += copy_part(line + n, text_end - n, tag);
  n += copy_part(line + n, text_end - n, message);
  line[n++] = '\r';
  line[n++] = '\n';
  return n;
}

std::string_view line_stamp(std::string_view line) noexcept {
  const std::string_view head = line.substr(0, kMaxTimeStamp);
  return head.substr(0, head.find(' '));
}

}  // namespace vmrsmgr
