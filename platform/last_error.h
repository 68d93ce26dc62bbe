#pragma once

#include <cstdint>
#include <iostream>
#include <string>

namespace vmrsmgr::platform {

// The system's message text for an error code, ending in "\n"; empty
// when the system has none.
std::string system_message(std::uint32_t code);

// The calling thread's last error: its code and the system's text, as
// "%d\n%s\n". Nothing when the system has no text for the code.
void print_last_error(std::ostream& out = std::cout);

}  // namespace vmrsmgr::platform
