// The stack protector's guard of the Windows build, the program's own (StackGuard_windows.cpp).
#pragma once

#include <cstdint>

// The value that every function with a canary saves at its entry and compares on its return. It
// holds a fixed value from the start, for the constructors and everything else before the seeding.
extern "C" std::uintptr_t __stack_chk_guard;

namespace korvane::platform {

// Replaces the guard's fixed value with a random one; false when the system gives none. Called
// once, once the DLL search is restricted, from a function without a canary and with none on the
// stack beneath it: a frame with a canary that is live across the change would fail its check.
[[nodiscard]] bool SeedStackGuard();

}  // namespace korvane::platform
