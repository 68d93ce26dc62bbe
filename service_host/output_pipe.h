#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/handles.h"

namespace vmrsmgr {

// The pipe that carries the command's standard output and error to the
// service: a named pipe, for its read end is read with overlapped calls, so
// that the reader sleeps in a read its owner can interrupt.
struct OutputPipe {
  platform::unique_handle read;   // overlapped, the service's own
  platform::unique_handle write;  // inheritable, for the command
};

// A name that nobody else can foresee, below \\.\pipe\.
std::wstring random_pipe_name();

// Makes the pipe under a name drawn from new_name, only for the service's
// own account. A name somebody else holds is replaced by another, a few
// times; raises std::system_error when no pipe can be made.
OutputPipe make_output_pipe(const std::function<std::wstring()>& new_name,
                            std::uint32_t buffer_size);

}  // namespace vmrsmgr
