#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace vmrsmgr {

// The longest time stamp: 20240131T081502.250000.
inline constexpr std::size_t kMaxTimeStamp = 22;
// The longest line of the log, its line end included.
inline constexpr std::size_t kMaxLineSize = 1024;

// The ISO basic form of a broken-down time, as Boost.Date_Time writes it: a dot
// and six digits of microseconds follow only when they are not zero. Writes at
// most kMaxTimeStamp bytes to out and returns how many.
std::size_t format_time_stamp(const std::tm& time, std::uint32_t microseconds, char* out);

// The same for a moment of the system clock in local time. The date and time
// of day are worked out once a second per thread, so that a producer neither
// allocates nor locks.
std::size_t local_time_stamp(std::chrono::system_clock::time_point moment, char* out);

// Builds one log line in place: time stamp, blank, tag, message, "\r\n". A
// line longer than capacity loses the end of its message but keeps its line
// end, so that the next line starts on a line of its own. Returns the length.
std::size_t compose_line(char* line, std::size_t capacity, std::string_view stamp,
                         std::string_view tag, std::string_view message) noexcept;

// The time stamp that a line of compose_line starts with.
std::string_view line_stamp(std::string_view line) noexcept;

}  // namespace vmrsmgr
