#include "stack.hpp"

#include <pthread.h>

// Bind the two stack queries below to their first glibc versions: newer glibc
// moved them into libc under 2.32 and 2.34 versions, which would keep the
// module from loading on any older system. The old versions are the same
// functions, still exported by every glibc since 2.2.5.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

namespace zok {

[[gnu::tls_model("initial-exec")]] __thread uintptr_t t_stack_floor = 0;

uintptr_t find_stack_floor() noexcept {
    t_stack_floor = 1;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return t_stack_floor;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
        // Keep a quarter of the stack, at most 256 KiB, for the Python frames
        // that run between two calls of our methods and for unwinding.
        size_t margin = size / 4 < (256u << 10) ? size / 4 : (256u << 10);
        t_stack_floor = reinterpret_cast<uintptr_t>(addr) + margin;
    }
    pthread_attr_destroy(&attr);
    return t_stack_floor;
}

PyThreadState* stack_exhausted() noexcept {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return nullptr;
}

}  // namespace zok
