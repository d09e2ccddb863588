// Checks the stack guard's bounds on the main thread and on threads of chosen sizes, built
// from stack.cpp alone (no Python), so that each platform's own way of finding the bounds can
// be tried where the module cannot: under emulators, and on a static musl build.
//
//   guard_probe [label]    prints one line per thread, then PASS or FAIL (exit status 1)
#include "stack.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define PROBE_NOINLINE __declspec(noinline)
#else
#define PROBE_NOINLINE [[gnu::noinline]]
#endif

namespace {

using tessu::detail::this_thread_stack;

constexpr std::size_t KiB = 1024;
constexpr std::size_t frame_bytes = 400;

struct Case {
    const char *name;
    std::size_t size; // 0: the main thread
    bool ok = true;
    char line[600] = {};
};

// Recurses with frames of some 400 bytes while the guard allows it, and returns how deep it
// went and where it was refused. Without a refusal before the end it would crash.
struct Deepest {
    unsigned depth;
    std::uintptr_t at;
};

PROBE_NOINLINE Deepest recurse(unsigned depth) {
    // Every byte written, so that no compiler can shrink the frame.
    volatile char frame[frame_bytes];
    for (std::size_t i = 0; i < frame_bytes; ++i)
        frame[i] = static_cast<char>(i == depth % frame_bytes);
    if (tessu::stack_exhausted()) return {depth, tessu::frame_address()};
    Deepest deepest = recurse(depth + 1);
    // Read after the call, so that the frame stays and the call is no tail call.
    deepest.depth += frame[depth % frame_bytes] - 1;
    return deepest;
}

PROBE_NOINLINE bool shallow_allowed() {
    return !tessu::stack_exhausted();
}

void append(Case &c, const char *format, std::uintptr_t a = 0, std::uintptr_t b = 0) {
    std::size_t used = std::strlen(c.line);
    std::snprintf(c.line + used, sizeof c.line - used, format, a, b);
}

void fail(Case &c, const char *what) {
    c.ok = false;
    std::size_t used = std::strlen(c.line);
    std::snprintf(c.line + used, sizeof c.line - used, "; FAILED: %s", what);
}

void check(Case &c) {
    volatile char local = 0;
    const auto here = reinterpret_cast<std::uintptr_t>(&local);
    const bool shallow = shallow_allowed(); // probes the bounds
    const tessu::detail::ThreadStack s = this_thread_stack;
    const std::uintptr_t size = s.top - s.base;
    std::snprintf(c.line, sizeof c.line, "%-9s base %#llx top %#llx: %llu KiB, reserve %llu KiB",
                  c.name, static_cast<unsigned long long>(s.base),
                  static_cast<unsigned long long>(s.top),
                  static_cast<unsigned long long>(size / KiB),
                  static_cast<unsigned long long>((s.limit - s.base) / KiB));
    if (s.base == 0) {
        fail(c, "no bounds found");
        return;
    }
    if (!(s.base <= here && here < s.top)) fail(c, "a local lies outside the bounds");
    // Above the first frame of a thread lie only its own descriptor and TLS; above the main
    // thread's, the program's arguments and environment.
    if (s.top - here > (c.size ? c.size / 2 : 256 * KiB)) fail(c, "top far above the locals");
#if defined(_WIN32)
    // Windows may round a thread's reservation up (wine gives every thread the executable's
    // 1 MiB default), so only a stack smaller than asked for is wrong there.
    const std::size_t most = SIZE_MAX;
#else
    const std::size_t most = c.size * 2;
#endif
    if (c.size && (size < c.size / 2 || size > most)) fail(c, "size unlike the requested");
    // The main thread's room is the stack rlimit or the executable's reservation, never just
    // the part mapped so far.
    if (!c.size && size < 1024 * KiB) fail(c, "main thread's extent under 1 MiB");
    if (s.limit - s.base != tessu::reserve_for(size)) fail(c, "reserve not reserve_for(size)");
    if (!shallow) fail(c, "a shallow call was refused");
    Deepest deepest = recurse(0);
    append(c, "; shallow call ok; deep recursion refused at depth %llu, %llu KiB above base",
           deepest.depth, (deepest.at - s.base) / KiB);
    if (deepest.at < s.base || deepest.at >= s.limit) fail(c, "refused outside the reserve");
    if (deepest.depth * frame_bytes < size / 4) fail(c, "refused far too early");
}

#if defined(_WIN32)
DWORD WINAPI thread_main(LPVOID arg) {
    check(*static_cast<Case *>(arg));
    return 0;
}

bool run_on_thread(Case &c) {
    HANDLE thread =
        CreateThread(nullptr, c.size, thread_main, &c, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}
#else
void *thread_main(void *arg) {
    check(*static_cast<Case *>(arg));
    return nullptr;
}

bool run_on_thread(Case &c) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int rc = pthread_attr_setstacksize(&attr, c.size);
    pthread_t thread;
    if (rc == 0) rc = pthread_create(&thread, &attr, thread_main, &c);
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;
    pthread_join(thread, nullptr);
    return true;
}
#endif

} // namespace

int main(int argc, char **argv) {
    const char *label = argc > 1 ? argv[1] : "native";
    Case cases[] = {{"main", 0},
                    {"64 KiB", 64 * KiB},
                    {"128 KiB", 128 * KiB},
                    {"256 KiB", 256 * KiB},
                    {"1 MiB", 1024 * KiB}};
    bool ok = true;
    for (Case &c : cases) {
        if (c.size == 0) {
            check(c);
        } else if (!run_on_thread(c)) {
            // aarch64 glibc, for one, will not make a thread under 128 KiB.
            std::printf("%s: %-9s skipped: the platform would not create such a thread\n", label,
                        c.name);
            continue;
        }
        std::printf("%s: %s\n", label, c.line);
        ok = ok && c.ok;
    }
    std::printf("%s: %s\n", label, ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
