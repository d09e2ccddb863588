// The C stack guard of every entry into the module.
//
// A callback can route straight back into a method with no Python code in between (an
// onChange that is set_value itself, or a field whose valueChanged is connected to its own
// set_value). Each such level costs the module's frames plus whatever the binding, Qt and the
// interpreter put between two entries, which a level counter cannot know: at the
// interpreter's limit of C levels the stack of a small thread is long gone. So the guard
// looks at the stack itself.
//
// Neither this header nor stack.cpp needs Python.h: tests/guard builds them alone to check the
// bounds on every platform the wheels are built for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compiler.h"

namespace tessu {

// Room kept free below the deepest entry: enough for the deepest chain of binding, Qt and
// interpreter frames between two entries, plus the report of the failure at the bottom
// (an exception hook printing a traceback runs there, in C and Python).
inline constexpr std::size_t stack_reserve = 128 * 1024;

// The reserve on a stack of `size` bytes: the full reserve from 256 KiB up, half the stack
// below that (musl's default 128 KiB threads, or a 64 KiB one an application asked for).
// There entries work down to the stack's middle: any call that does not come back into
// itself works, and an echo between fields ends in RecursionError while half the stack is
// still free. That half is less than the full reserve, so a long chain of callbacks between
// two entries, or the report of the failure, may not fit: with PySide6 a deep echo on a
// 96 KiB thread still runs out of stack, and a 64 KiB thread cannot even build the widget.
// Give threads that run such chains 128 KiB or more (256 KiB for the full reserve).
constexpr std::size_t reserve_for(std::size_t size) noexcept {
    return size / 2 < stack_reserve ? size / 2 : stack_reserve;
}

namespace detail {
struct ThreadStack {
    std::uintptr_t base = 0;  // lowest usable address; 0 while unknown or unknowable
    std::uintptr_t limit = 0; // base + reserve_for(top - base)
    std::uintptr_t top = 0;   // one past the highest address; only the probe program reads it
    bool probed = false;
};
// Defined here, with its constant initial value in sight, so that reading it needs no call.
inline thread_local ThreadStack this_thread_stack;
// Fills in the current thread's bounds, by the platform's own means (stack.cpp).
void probe_stack(ThreadStack &stack) noexcept;
} // namespace detail

// True when the caller's frame is within the reserve of the current thread's stack. A frame
// outside the thread's own stack (a coroutine library's private stack) is never refused.
// The check is written out on both paths so that the usual one finds the thread's record
// once: a thread-local's address is a call into the dynamic linker in a loaded module, and
// compilers look it up again after any call.
inline bool stack_exhausted() noexcept {
    detail::ThreadStack &stack = detail::this_thread_stack;
    std::uintptr_t sp = frame_address();
    if (stack.probed) [[likely]]
        return sp < stack.limit && sp >= stack.base;
    detail::probe_stack(stack);
    return sp < stack.limit && sp >= stack.base;
}

} // namespace tessu
