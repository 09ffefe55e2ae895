// The floating-point mode the solver works in: results that would be subnormal
// are flushed to zero.
//
// Left spikes L_b⁻¹·C decay along their block, down through the subnormal range,
// and a processor that takes a slow path for every subnormal result spends much
// of a solve there. The solver therefore works with flush-to-zero set: on
// x86-64 the FTZ bit of MXCSR, on AArch64 FPCR.FZ; elsewhere nothing changes
// (plain IEEE arithmetic, the same results, no gain). Subnormal operands that
// come in with the caller's data are left alone on x86-64 (DAZ stays as the
// caller set it); AArch64's FZ has no separate input switch and treats them as
// zero too.
//
// flush_to_zero sets the mode for its lifetime in the calling thread and then
// puts back the mode bits it changed, nothing else: exception flags raised in
// between stay raised, and a thread that already flushes keeps flushing.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace velqo {

namespace fpmode {

#if defined(__x86_64__) || defined(__i386__)
/// MXCSR: FTZ, bit 15.
inline constexpr std::uint64_t flush_bits = 1u << 15;
inline std::uint64_t read() { return _mm_getcsr(); }
inline void write(std::uint64_t mode) { _mm_setcsr(static_cast<unsigned>(mode)); }
#elif defined(__aarch64__)
/// FPCR: FZ, bit 24.
inline constexpr std::uint64_t flush_bits = std::uint64_t(1) << 24;
inline std::uint64_t read() {
  std::uint64_t mode;
  asm volatile("mrs %0, fpcr" : "=r"(mode));
  return mode;
}
inline void write(std::uint64_t mode) { asm volatile("msr fpcr, %0" : : "r"(mode)); }
#else
inline constexpr std::uint64_t flush_bits = 0;
inline std::uint64_t read() { return 0; }
inline void write(std::uint64_t) {}
#endif

/// Keeps the compiler from moving memory accesses, and with them the arithmetic
/// on what they load and store, across a change of mode.
inline void fence() { asm volatile("" : : : "memory"); }

}  // namespace fpmode

/// Whether the calling thread flushes subnormal results to zero now (false
/// where the processor has no such mode).
inline bool flushes_to_zero() {
  return fpmode::flush_bits != 0 && (fpmode::read() & fpmode::flush_bits) == fpmode::flush_bits;
}

/// Flush-to-zero in the calling thread from construction to destruction.
class flush_to_zero {
 public:
  flush_to_zero() : saved_(fpmode::read()) {
    if ((saved_ & fpmode::flush_bits) != fpmode::flush_bits) fpmode::write(saved_ | fpmode::flush_bits);
    fpmode::fence();
  }
  ~flush_to_zero() {
    fpmode::fence();
    if ((saved_ & fpmode::flush_bits) != fpmode::flush_bits)
      fpmode::write((fpmode::read() & ~fpmode::flush_bits) | (saved_ & fpmode::flush_bits));
  }
  flush_to_zero(const flush_to_zero&) = delete;
  flush_to_zero& operator=(const flush_to_zero&) = delete;

 private:
  std::uint64_t saved_;  ///< the mode at construction
};

}  // namespace velqo
