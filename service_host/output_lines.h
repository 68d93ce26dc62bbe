#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "logging/logger.h"

namespace vmrsmgr {

// The component's output is logged at trace level behind this prefix.
inline constexpr std::string_view kOutputPrefix = "output: ";
// The most of it one log record carries behind the prefix.
inline constexpr std::size_t kMaxOutputPiece = Logger::kTraceMessageRoom - kOutputPrefix.size();

// The rest of a line is logged at most this long after its first byte
// arrived, however slowly the line grows (milliseconds).
inline constexpr std::uint64_t kPartialLineMs = 100;

// Turns the component's output into log records: one a line, without its
// line end ("\n" or "\r\n"), so that each carries its own time stamp and
// nothing the component prints can pass for a record of the service's; a
// line longer than max_piece goes on in further records. Any other byte, a
// NUL or a lone "\r", stays as it is.
class OutputLines {
 public:
  using Emit = std::function<void(std::string_view record)>;
  explicit OutputLines(std::size_t max_piece = kMaxOutputPiece) : max_piece_(max_piece) {}

  // Emits every line the output completes; the rest of a line waits for
  // more output. now: when the output arrived, in milliseconds.
  void add(std::string_view output, const Emit& emit, std::uint64_t now = 0);
  // Emits the waiting rest as it is: at the end of the output, or when it
  // has waited long enough.
  void flush(const Emit& emit);
  bool waiting() const { return !partial_.empty(); }
  // While waiting: when the rest has waited long enough.
  std::uint64_t deadline() const { return since_ + kPartialLineMs; }
  bool due(std::uint64_t now) const { return waiting() && now >= deadline(); }

 private:
  std::size_t max_piece_;
  std::string partial_;
  std::uint64_t since_ = 0;  // when the oldest byte of the rest arrived
};

}  // namespace vmrsmgr
