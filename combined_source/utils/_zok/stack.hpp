// The recursion guard of native code that calls back into Python: the
// interpreter's own counter plus a check of this thread's C stack.
#pragma once

#include "compat.hpp"

#include <cstdint>

namespace zok {

// Enters the interpreter's recursion guard and checks that the C stack of
// this thread has room for another level; the guard protects the process
// even when sys.setrecursionlimit() is set far above what the stack holds.
// The thread state to leave with, or nullptr with RecursionError set.
//
// The lowest usable stack address of this thread plus a safety margin is
// found once per thread: 0 until then, and 1 (below every stack address)
// when the bounds cannot be found (then only the interpreter's own guard
// protects). Initial-exec TLS (a few bytes from the static TLS reserve) and
// a plain __thread variable: read without a call into the dynamic linker or
// a thread_local wrapper, and tested once on the usual path.
[[gnu::tls_model("initial-exec")]] extern __thread uintptr_t t_stack_floor;
[[gnu::cold, gnu::noinline]] uintptr_t find_stack_floor() noexcept;
[[gnu::cold, gnu::noinline]] PyThreadState* stack_exhausted() noexcept;

inline PyThreadState* enter_call() noexcept {
    uintptr_t floor = t_stack_floor;
    if (!floor) floor = find_stack_floor();
    char probe;
    if (reinterpret_cast<uintptr_t>(&probe) < floor) return stack_exhausted();
    return compat::enter_recursion(" while calling a Python object");
}
inline void leave_call(PyThreadState* ts) noexcept { compat::leave_recursion(ts); }

}  // namespace zok
