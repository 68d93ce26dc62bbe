#pragma once

namespace vmrsmgr {

// main's whole work: prepares the process, parses the command line, runs the
// one operation the service mode selects and returns its exit code.
int run_program(int argc, const char* const argv[]);

}  // namespace vmrsmgr
