#include "base/cpu_features.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace tallowind::base {
namespace {

CpuFeatures detect() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE) || !(ecx & bit_AVX)) return {};
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  const bool ymm_saved = (xcr0_low & 0x06) == 0x06;  // SSE and AVX state
  const bool zmm_saved = (xcr0_low & 0xe6) == 0xe6;  // and the opmask and upper ZMM state
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return {};
  constexpr unsigned avx512 = bit_AVX512F | bit_AVX512BW | bit_AVX512VL | bit_AVX512DQ;
  const bool has_avx512 = zmm_saved && (ebx & avx512) == avx512;
  return {ymm_saved && (ebx & bit_AVX2), has_avx512, has_avx512 && (ecx & bit_AVX512VBMI)};
#else
  return {};
#endif
}

}  // namespace

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace tallowind::base
