#pragma once

#include <cstdint>
#include <iostream>
#include <string>
#include <system_error>

namespace vmrsmgr::platform {

// The system's message text for an error code, without its line end; empty
// when the system has none.
std::string system_message(std::uint32_t code);

// A failed Windows call as an exception: "<what>: <system's text>", with the
// code kept in the error's category.
std::system_error windows_error(std::uint32_t code, const std::string& what);

// The last-error report of an error code taken right after the failed call:
// the code and the system's text, as "%d\n%s\n" where the text keeps the
// line end the system gives it. Nothing when the system has no text for it.
void print_error(std::uint32_t code, std::ostream& out = std::cout);

}  // namespace vmrsmgr::platform
