// The current thread's stack bounds, by each platform's own means. Every platform difference
// of the stack guard lives in this file.
#include "stack.h"

#if defined(_WIN32)
// GetCurrentThreadStackLimits came with Windows 8.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#include <windows.h>
#define TESSU_STACK_WINDOWS 1
#elif defined(__APPLE__)
#include <pthread.h>
#define TESSU_STACK_APPLE 1
#elif defined(__GLIBC__) || defined(__linux__)
#include <pthread.h>
#define TESSU_STACK_PTHREAD_ATTR 1
#if !defined(__GLIBC__)
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#define TESSU_STACK_MAIN_FROM_MAPS 1
#endif
#else
#pragma message("tessu_autocomplete: no way to find a thread's stack bounds on this platform; "    \
                "re-entry is bounded by the interpreter's level counter alone")
#endif

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
namespace {

[[maybe_unused]] void set_bounds(ThreadStack &stack, std::uintptr_t base,
                                 std::uintptr_t top) noexcept {
    if (base == 0 || top <= base) return;
    stack.base = base;
    stack.top = top;
    stack.limit = base + reserve_for(top - base);
}

#if TESSU_STACK_MAIN_FROM_MAPS
bool is_main_thread() noexcept {
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

// The main thread's stack grows on demand, and musl's pthread_getattr_np reports only the
// part mapped so far (some 128 KiB at first, whatever the rlimit). The kernel grows it down
// to RLIMIT_STACK below the mapping's top, but never closer than its guard gap (256 pages
// unless the kernel was told otherwise) to the mapping below.
bool main_thread_bounds(ThreadStack &stack) noexcept {
    const std::uintptr_t here = frame_address();
    std::FILE *maps = std::fopen("/proc/self/maps", "r");
    if (!maps) return false;
    std::uintptr_t below = 0, low = 0, top = 0;
    char line[512];
    bool line_start = true;
    while (std::fgets(line, sizeof line, maps)) {
        // A line longer than the buffer (a long path) comes in pieces; only its first one
        // holds the range.
        bool starts = line_start;
        line_start = std::strchr(line, '\n') != nullptr;
        std::uintptr_t lo = 0, hi = 0;
        if (!starts || std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR, &lo, &hi) != 2) continue;
        if (lo <= here && here < hi) {
            low = lo;
            top = hi;
            break;
        }
        below = hi;
    }
    std::fclose(maps);
    if (top == 0) return false;

    std::uintptr_t extent = 8u << 20; // what an unlimited rlimit is taken as
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        extent = static_cast<std::uintptr_t>(limit.rlim_cur);
    std::uintptr_t base = top > extent ? top - extent : 0;
    const std::uintptr_t gap = 256 * static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    if (base < below + gap) base = below + gap;
    // Whatever is mapped already is usable, even where the arithmetic above disagrees.
    if (base > low) base = low;
    set_bounds(stack, base, top);
    return true;
}
#endif

} // namespace

void probe_stack(ThreadStack &stack) noexcept {
    stack.probed = true;
#if TESSU_STACK_WINDOWS
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    // The lowest pages of the reservation are never usable: the last one is never committed,
    // the guard page above it raises the overflow, and the overflow's handler runs in the
    // guaranteed pages (a query when asked for 0).
    ULONG guarantee = 0;
    if (!SetThreadStackGuarantee(&guarantee)) guarantee = 0;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    set_bounds(stack, low + guarantee + 4 * static_cast<std::uintptr_t>(info.dwPageSize), high);
#elif TESSU_STACK_APPLE
    // The address is the stack's top, the main thread's included.
    pthread_t self = pthread_self();
    auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    std::size_t size = pthread_get_stacksize_np(self);
    if (top > size) set_bounds(stack, top - size, top);
#elif TESSU_STACK_PTHREAD_ATTR
#if TESSU_STACK_MAIN_FROM_MAPS
    if (is_main_thread() && main_thread_bounds(stack)) return;
#endif
    // Any thread on glibc, the main one included (whose extent glibc derives from the stack
    // rlimit and the neighbouring mappings); musl's other threads. Without an answer only the
    // level counter guards.
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void *addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
        auto base = reinterpret_cast<std::uintptr_t>(addr);
        set_bounds(stack, base, base + size);
    }
    pthread_attr_destroy(&attr);
#endif
}

} // namespace tessu::detail
