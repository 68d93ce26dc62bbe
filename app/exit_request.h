#pragma once

namespace vmrsmgr {

// Thrown where an operation must end the whole process with a given exit
// code (its report already printed); main catches it and returns the code,
// so that every owner on the way out still closes what it holds.
struct ExitRequest {
  int code;
};

}  // namespace vmrsmgr
