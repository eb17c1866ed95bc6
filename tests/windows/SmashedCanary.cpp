// Seeds the stack guard as wWinMain does, prints it before and after, then overruns a buffer on the
// stack of a function with a canary. Built with the program's flags and guard: the overrun must end
// the process before that function returns, so "returned" is never printed.
#include <windows.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/StackGuard_windows.h"

namespace {

// Writes past the end of its buffer, through a volatile pointer and length: the compiler can
// neither leave the writes out nor see the overrun and refuse to compile it.
[[gnu::noinline]] void Overrun() {
    char buffer[16];
    volatile char* volatile target = buffer;
    volatile std::size_t length = sizeof buffer + 32;
    for (std::size_t index = 0; index < length; ++index) {
        target[index] = 'x';
    }
}

}  // namespace

// No canary, as wWinMain: the guard changes under this frame.
[[gnu::no_stack_protector]] int main() {
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return 2;
    }
    const std::uintptr_t initial = __stack_chk_guard;
    if (!korvane::platform::SeedStackGuard()) {
        return 3;
    }
    std::printf("guard %#" PRIxPTR " seeded %#" PRIxPTR "\n", initial, __stack_chk_guard);
    std::puts("overrunning");
    std::fflush(stdout);
    Overrun();
    std::puts("returned");
    return 0;
}
