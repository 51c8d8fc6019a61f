// The wide instruction sets this CPU runs, for kernels compiled more than once.
#pragma once

namespace tallowind::base {

/// Asked of CPUID and XGETBV directly rather than through
/// __builtin_cpu_supports, which some compiler runtimes (zig's) leave
/// answering no: an instruction set counts when the CPU has it and the kernel
/// saves its registers (XCR0). Always false off x86-64.
struct CpuFeatures {
  bool avx2 = false;
  bool avx512 = false;  // F, BW, VL and DQ
  bool avx512_vbmi = false;  // and VBMI (byte permutes), on top of those
};

/// Worked out once.
const CpuFeatures& cpu_features() noexcept;

}  // namespace tallowind::base
