// Points in the index code where a test build can stop the process, as a
// crash would. The shipped library is built with this header: every hook is
// empty and compiles to nothing. The unit tests build the core with a
// header of the same name that makes the hooks count and die.
#pragma once

namespace stow {
namespace hooks {

// Between two stores of a list operation, of formatting or of a rebuild.
inline void CrashPoint() {}

}  // namespace hooks
}  // namespace stow
