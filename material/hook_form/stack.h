// The C stack guard of every entry into the module.
//
// A callback can route straight back into a method with no Python code in between (an
// onChange that is set_value itself, or a field whose valueChanged is connected to its own
// set_value). Each such level costs the module's frames plus whatever the binding, Qt and the
// interpreter put between two entries, which a level counter cannot know: at the
// interpreter's limit of C levels the stack of a small thread is long gone. So the guard
// looks at the stack itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessu {

// Room kept free below the deepest entry: enough for the deepest chain of binding, Qt and
// interpreter frames between two entries, plus the report of the failure at the bottom
// (an exception hook printing a traceback runs there, in C and Python).
inline constexpr std::size_t stack_reserve = 128 * 1024;

namespace detail {
struct ThreadStack {
    std::uintptr_t base = 0;  // lowest usable address; 0 while unknown or unknowable
    std::uintptr_t limit = 0; // base + reserve
    bool probed = false;
};
// Defined here, with its constant initial value in sight, so that reading it needs no call.
inline thread_local ThreadStack this_thread_stack;
void probe_stack(ThreadStack &stack) noexcept;
} // namespace detail

// True when the caller's frame is within the reserve of the current thread's stack. A frame
// outside the thread's own stack (a coroutine library's private stack) is never refused.
inline bool stack_exhausted() noexcept {
    detail::ThreadStack &stack = detail::this_thread_stack;
    if (!stack.probed) detail::probe_stack(stack);
    auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return sp < stack.limit && sp >= stack.base;
}

} // namespace tessu
