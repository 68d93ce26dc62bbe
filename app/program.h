#pragma once

#include <string>

namespace vmrsmgr {

// main's whole work: prepares the process, parses the command line, runs the
// one operation the service mode selects and returns its exit code.
int run_program(int argc, const char* const argv[]);
// The same for the program at program_path, which the system gives as the
// running executable's path; an empty path leaves the current folder as it is.
int run_program(int argc, const char* const argv[], const std::wstring& program_path);

}  // namespace vmrsmgr
