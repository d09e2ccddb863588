// The spellings that differ between compilers, written once. Nothing here needs Python.h: the
// stack guard and its probe program (tests/guard) build without it.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
// MSVC has no cold attribute; keeping the failure path out of line is what matters.
#define TESSU_COLD_NORETURN [[noreturn]] __declspec(noinline)
#define TESSU_ALWAYS_INLINE __forceinline
#define TESSU_EXPORT __declspec(dllexport)
#else
#define TESSU_COLD_NORETURN [[noreturn, gnu::cold]]
#define TESSU_ALWAYS_INLINE [[gnu::always_inline]] inline
#define TESSU_EXPORT [[gnu::visibility("default")]]
#endif

namespace tessu {

// An address in the caller's frame. Forced inline, so that it is the caller's frame and not a
// frame of its own; MSVC has no frame-address intrinsic, and the slot of the return address
// lies at the frame's top, which is as good for measuring the stack left.
TESSU_ALWAYS_INLINE std::uintptr_t frame_address() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#else
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

} // namespace tessu
