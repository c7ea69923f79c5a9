// The one door through which the table of external functions calls a bound address.
#pragma once

#include <cstdint>

extern "C" {

// Calls `fn` as a stdcall function with `count` 32-bit arguments (`args[0]` first, pushed last),
// then compares the stack pointer with the value a correct callee leaves (it pops its own arguments).
// The stack pointer is restored from the frame either way, so a mismatched callee cannot take the
// caller with it. Returns EAX in the low 32 bits and 1 (balanced) or 0 (unbalanced) in the high 32.
//
// Up to kCheckedCallSlack bytes popped beyond the pushed arguments are absorbed by a gap below the
// saved registers.
unsigned long long vantorel_checked_stdcall(std::uintptr_t fn, const std::uintptr_t* args, unsigned count);
}

namespace vantorel {

inline constexpr unsigned kCheckedCallSlack = 64;

struct CheckedCall {
  std::uint32_t value;
  bool balanced;
};

inline CheckedCall splitCheckedCall(unsigned long long raw) {
  return {static_cast<std::uint32_t>(raw), (raw >> 32) != 0};
}

}  // namespace vantorel
