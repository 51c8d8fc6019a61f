#pragma once
// The dequantisation kernel for 64-bit Arm: Advanced SIMD (NEON) intrinsics,
// four floats per instruction, the same bits as the portable loop.

#include <cstddef>
#include <cstdint>

#include "ara2/tensor_data.hpp"

#if defined(__aarch64__) && defined(__ARM_NEON) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define ARA2_NEON_KERNEL 1

namespace tallowind::ara2 {

/// Whether the CPU reports Advanced SIMD (the kernel's AT_HWCAP bit).
bool neon_supported() noexcept;

/// destination[i] = float(raw[i] - offset) * qn, as dequantize_elements.
void dequantize_neon(ElementType type, const std::uint8_t* source, std::size_t count, std::int32_t offset, float qn,
                     float* destination) noexcept;

}  // namespace tallowind::ara2
#endif
