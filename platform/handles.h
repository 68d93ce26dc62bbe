#pragma once

// One owner per kind of Windows handle the service host and the platform
// code hold, so that every path out of an operation releases what it opened.
// What service control opens is owned through its SystemApi (system_api.h),
// so that the tests' fake sees every close.

#include <windows.h>

#include <utility>

#include "platform/last_error.h"

namespace vmrsmgr::platform {

template <typename Traits>
class unique_any {
 public:
  using pointer = typename Traits::pointer;

  unique_any() noexcept = default;
  explicit unique_any(pointer value) noexcept : value_(value) {}
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  ~unique_any() { reset(); }

  pointer get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

  // For out-parameters: releases what is held and hands out the slot.
  pointer* put() noexcept {
    reset();
    return &value_;
  }
  pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }
  void reset(pointer value = Traits::invalid()) noexcept {
    const pointer old = std::exchange(value_, value);
    if (old != Traits::invalid()) Traits::close(old);
  }

 private:
  pointer value_ = Traits::invalid();
};

namespace traits {

struct close_handle {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CloseHandle(h); }
};

// Kernel calls that answer INVALID_HANDLE_VALUE on failure (snapshots, files).
struct close_hfile {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(pointer h) noexcept { ::CloseHandle(h); }
};

struct free_library {
  using pointer = HMODULE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::FreeLibrary(h); }
};

struct deregister_event_source {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::DeregisterEventSource(h); }
};

template <typename T>
struct local_free {
  using pointer = T;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer p) noexcept { ::LocalFree(p); }
};

}  // namespace traits

using unique_handle = unique_any<traits::close_handle>;
using unique_hfile = unique_any<traits::close_hfile>;
using unique_hmodule = unique_any<traits::free_library>;
using unique_event_source = unique_any<traits::deregister_event_source>;
template <typename T>
using unique_hlocal = unique_any<traits::local_free<T>>;

// A new unnamed event, not inherited; raises the system's error when none
// can be made.
inline unique_handle new_event(bool manual_reset) {
  unique_handle event(::CreateEventW(nullptr, manual_reset ? TRUE : FALSE, FALSE, nullptr));
  if (!event) throw windows_error(::GetLastError(), "cannot create an event");
  return event;
}

}  // namespace vmrsmgr::platform
