#include "stack.h"

#include <pthread.h>

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
