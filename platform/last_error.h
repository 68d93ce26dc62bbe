#pragma once

// The one place that turns a system error into text or a report.

#include <cstdint>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>

// Declared only: the test programs that own handles are built without Boost.
namespace boost::system {
class error_code;
}  // namespace boost::system

namespace vmrsmgr::platform {

// The calling thread's last error code: GetLastError on Windows, errno
// elsewhere.
std::uint32_t last_error() noexcept;

// The system's message text for an error code, without its line end; empty
// when the system has none.
std::string system_message(std::uint32_t code);

// The system's text, or "system error <code>" when it has none; a Boost
// error of another category, or a failure that is no file error, by its own
// text. For lines that must name a reason.
std::string error_description(std::uint32_t code);
std::string error_description(const boost::system::error_code& error);
std::string error_description(const std::exception& failure);

#ifdef _WIN32

// A failed Windows call as an exception: "<what>: <system's text>", with the
// code kept in the error's category.
std::system_error windows_error(std::uint32_t code, const std::string& what);

// windows_error of the calling thread's last error.
std::system_error failed_call(const std::string& what);

// The last-error report of an error code taken right after the failed call:
// the code and the system's text, as "%d\n%s\n" where the text keeps the
// line end the system gives it. Nothing when the system has no text for it.
void print_error(std::uint32_t code, std::ostream& out = std::cout);

// The fixed answer of a failed step: the message on its stream, then the
// report of the error on standard output. Returns the failure's result, 1.
int report_failure(std::ostream& stream, const char* message, std::uint32_t error);

// The report after an LSA call, which answers with an NTSTATUS and leaves
// the thread's last error alone.
void print_lsa_error(long status);

#endif

}  // namespace vmrsmgr::platform
