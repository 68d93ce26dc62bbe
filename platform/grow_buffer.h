#pragma once

#include <cstddef>
#include <cstdint>

namespace vmrsmgr::platform {

// What one call that fills a caller's buffer answered.
struct Fill {
  enum class Outcome { kFits, kTooSmall, kFailed };
  Outcome outcome = Outcome::kFailed;
  // kFits: the elements the answer uses. kTooSmall: the elements the call
  // asks for, 0 when it names no size.
  std::size_t size = 0;
  // The call's error code: kept for kFailed, and reported for kTooSmall when
  // the buffer may grow no further.
  std::uint32_t error = 0;

  static Fill fits(std::size_t used) { return {Outcome::kFits, used, 0}; }
  static Fill too_small(std::size_t wanted, std::uint32_t error) {
    return {Outcome::kTooSmall, wanted, error};
  }
  static Fill failed(std::uint32_t error) { return {Outcome::kFailed, 0, error}; }
};

// Calls fill(buffer.data(), buffer.size()) with a buffer of `first` elements,
// growing it to the size the call asks for (or twice its size when the call
// names none) until the answer fits. The answer may grow between two calls,
// so the buffer grows on every round; it never grows past `limit`, which
// keeps a misbehaving call from growing it forever. On kFits the buffer is
// cut to the elements used; otherwise what the last call answered is given.
template <typename Buffer, typename Call>
Fill grow_to_fit(Buffer& buffer, std::size_t first, std::size_t limit, Call&& fill) {
  std::size_t size = first;
  for (;;) {
    buffer.resize(size);
    const Fill answer = fill(buffer.data(), buffer.size());
    if (answer.outcome == Fill::Outcome::kFits) {
      buffer.resize(answer.size < size ? answer.size : size);
      return answer;
    }
    if (answer.outcome == Fill::Outcome::kFailed) return answer;
    const std::size_t next = answer.size > size ? answer.size : (size == 0 ? 1 : size * 2);
    if (next > limit) return answer;
    size = next;
  }
}

}  // namespace vmrsmgr::platform
