#include "stack.h"

#include <pthread.h>

// Wheels are built on a current glibc and must load on older ones. In glibc 2.34 these two
// moved from libpthread into libc under new default versions, and binding to those would
// make the module require glibc 2.34; their original versions are the same functions, still
// exported by every glibc since (from libpthread before 2.34, which the interpreter loads).
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace tessu::detail {

void probe_stack(ThreadStack &stack) noexcept {
    stack.probed = true;
    pthread_attr_t attr;
    // Any thread, the main one included (whose extent glibc derives from the stack rlimit and
    // the neighbouring mappings). Without an answer only the level counter guards.
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void *addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
        auto base = reinterpret_cast<std::uintptr_t>(addr);
        stack.base = base;
        stack.limit = base + stack_reserve;
    }
    pthread_attr_destroy(&attr);
}

} // namespace tessu::detail
