// Where the running program's file is: the path a user names to give it a
// capability.
#pragma once

#include <string>

namespace orvex {

// The running program's file as the kernel knows it; `fallback` when the
// kernel does not tell.
std::string own_program_path(const char* fallback);

}  // namespace orvex
