#include "ara2/dequantize_neon.hpp"

#ifdef ARA2_NEON_KERNEL
#include <arm_neon.h>
#include <sys/auxv.h>

#include <asm/hwcap.h>

namespace tallowind::ara2 {
namespace {

// Each step is exact (widening, subtraction modulo 2^32) or one correctly
// rounded operation (int32 to float to nearest, the multiplication), as in
// the portable loop, so the bits agree. Neither touches another's rounding:
// there is no multiply-add to fuse.
inline void scale_and_store(int32x4_t raw, int32x4_t bias, float32x4_t qn, float* destination) noexcept {
  vst1q_f32(destination, vmulq_f32(vcvtq_f32_s32(vsubq_s32(raw, bias)), qn));
}

inline void store_16_bits(int16x8_t wide, int32x4_t bias, float32x4_t qn, float* destination) noexcept {
  scale_and_store(vmovl_s16(vget_low_s16(wide)), bias, qn, destination);
  scale_and_store(vmovl_s16(vget_high_s16(wide)), bias, qn, destination + 4);
}

inline void store_16_bits(uint16x8_t wide, int32x4_t bias, float32x4_t qn, float* destination) noexcept {
  scale_and_store(vreinterpretq_s32_u32(vmovl_u16(vget_low_u16(wide))), bias, qn, destination);
  scale_and_store(vreinterpretq_s32_u32(vmovl_u16(vget_high_u16(wide))), bias, qn, destination + 4);
}

/// The elements before the last partial vector; returns how many were done.
std::size_t dequantize_vectors(ElementType type, const std::uint8_t* source, std::size_t count, std::int32_t offset,
                               float qn, float* destination) noexcept {
  const int32x4_t bias = vdupq_n_s32(offset);
  const float32x4_t scale = vdupq_n_f32(qn);
  std::size_t i = 0;
  switch (type) {
    case ElementType::Int8:
      for (; i + 16 <= count; i += 16) {
        const int8x16_t raw = vreinterpretq_s8_u8(vld1q_u8(source + i));
        store_16_bits(vmovl_s8(vget_low_s8(raw)), bias, scale, destination + i);
        store_16_bits(vmovl_s8(vget_high_s8(raw)), bias, scale, destination + i + 8);
      }
      break;
    case ElementType::UInt8:
      for (; i + 16 <= count; i += 16) {
        const uint8x16_t raw = vld1q_u8(source + i);
        store_16_bits(vmovl_u8(vget_low_u8(raw)), bias, scale, destination + i);
        store_16_bits(vmovl_u8(vget_high_u8(raw)), bias, scale, destination + i + 8);
      }
      break;
    case ElementType::Int16:  // loaded as bytes: the source need not be aligned
      for (; i + 8 <= count; i += 8) {
        store_16_bits(vreinterpretq_s16_u8(vld1q_u8(source + 2 * i)), bias, scale, destination + i);
      }
      break;
    case ElementType::UInt16:
      for (; i + 8 <= count; i += 8) {
        store_16_bits(vreinterpretq_u16_u8(vld1q_u8(source + 2 * i)), bias, scale, destination + i);
      }
      break;
    case ElementType::Float32:
      break;
  }
  return i;
}

}  // namespace

bool neon_supported() noexcept { return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0; }

void dequantize_neon(ElementType type, const std::uint8_t* source, std::size_t count, std::int32_t offset, float qn,
                     float* destination) noexcept {
  const std::size_t done = dequantize_vectors(type, source, count, offset, qn, destination);
  // The tail, element by element, by the portable kernel (always the first).
  dequantize_kernels().front().run(type, source + done * element_size(type), count - done, offset, qn,
                                   destination + done);
}

}  // namespace tallowind::ara2
#endif
