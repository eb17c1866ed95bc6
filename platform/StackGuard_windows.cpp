// The stack protector's guard and failure handlers, defined here so that libssp's are never linked:
// libssp seeds its guard in a static constructor through CryptAcquireContext, which loads the
// crypto provider and crypt32 before wWinMain restricts the DLL search, from the program's folder
// first. This file is compiled without the stack protector (cmake/BuildFlags.cmake): the seeding
// changes the guard, and the handlers run on a stack that is not to be trusted.

// rand_s is declared only on request.
#define _CRT_RAND_S
#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "platform/StackGuard_windows.h"

namespace {

// Its low byte is zero, as the seeded values': a string read past a buffer stops at the canary,
// and a string copy cannot write it and go on.
constexpr std::uintptr_t kInitialGuard = 0x2B992DDFA23200;

// __fastfail, which mingw-w64 10 does not declare: int 0x29 with the code in ecx, as MSVC emits it.
// The process ends at once, without unwinding, exception handlers or anything else that an overrun
// could have corrupted.
[[noreturn, gnu::always_inline]] inline void FastFail(unsigned int ACode) {
    __asm__ volatile("int $0x29" : : "c"(ACode) : "memory");
    __builtin_trap();
}

}  // namespace

extern "C" {

std::uintptr_t __stack_chk_guard = kInitialGuard;

// A function found its canary overwritten on its way back.
[[noreturn]] void __stack_chk_fail() {
    FastFail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

// A function checked by _FORTIFY_SOURCE was asked to write past its buffer.
[[noreturn]] void __chk_fail() {
    FastFail(FAST_FAIL_RANGE_CHECK_FAILURE);
}

}  // extern "C"

namespace korvane::platform {

bool SeedStackGuard() {
    // rand_s asks the system's generator (RtlGenRandom); whatever that loads comes from System32
    // now.
    unsigned int high = 0;
    unsigned int low = 0;
    if (rand_s(&high) != 0 || rand_s(&low) != 0) {
        return false;
    }
    const std::uintptr_t seeded =
        ((static_cast<std::uintptr_t>(high) << 32) | low) & ~std::uintptr_t{0xFF};
    if (seeded == 0 || seeded == kInitialGuard) {
        return false;
    }
    __stack_chk_guard = seeded;
    return true;
}

}  // namespace korvane::platform
