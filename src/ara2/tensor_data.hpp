// Decoding output tensor bytes into typed elements, and dequantisation to
// float32. Pure functions over byte spans: the Python layer maps the tensor,
// allocates the destination and calls these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tallowind::ara2 {

/// Element types an output tensor can be read as.
enum class ElementType : std::uint8_t { Int8, UInt8, Int16, UInt16, Float32 };

/// Bytes per element of `type`.
constexpr std::size_t element_size(ElementType type) noexcept {
  switch (type) {
    case ElementType::Int8:
    case ElementType::UInt8:
      return 1;
    case ElementType::Int16:
    case ElementType::UInt16:
      return 2;
    case ElementType::Float32:
      return 4;
  }
  return 1;
}

/// What get_output_tensor decodes an output as: bpp 1 and 2 by sign, bpp 4 as
/// float32 whatever the sign; nullopt for any other bpp.
std::optional<ElementType> output_element_type(std::uint64_t bpp, bool is_signed) noexcept;

/// What dequantize reads raw values as: bpp 1 and 2 only.
std::optional<ElementType> dequantize_element_type(std::uint64_t bpp, bool is_signed) noexcept;

/// Whole elements held by `byte_size` bytes; trailing bytes that do not fill
/// an element are ignored.
constexpr std::uint64_t element_count(std::uint64_t byte_size, ElementType type) noexcept {
  return byte_size / element_size(type);
}

inline constexpr std::string_view kIncompatibleShapeText = "ShapeError/IncompatibleShape: incompatible shapes";
inline constexpr std::string_view kOutOfBoundsText = "ShapeError/OutOfBounds: out of bounds indexing";

/// Whether `elements` fill the (nch, height, width) shape exactly; otherwise
/// the error text: more elements than the shape holds is an incompatible
/// shape, fewer is out of bounds. A dimension no array can have (above 2^63 - 1)
/// or a product beyond 64 bits holds more than any buffer, so it is out of bounds.
std::optional<std::string_view> shape_error(std::uint64_t elements, const std::array<std::uint64_t, 3>& shape) noexcept;

/// "unsupported output bpp={bpp} for index {index}"
std::string unsupported_bpp_text(std::uint64_t bpp, std::uint64_t index);
/// "unsupported output bpp={bpp} for dequantize on index {index}"
std::string unsupported_dequantize_bpp_text(std::uint64_t bpp, std::uint64_t index);

/// Copies `count` little-endian elements of `type` from `source` to `destination`
/// in native byte order. The buffers must not overlap; neither needs alignment.
void decode_elements(ElementType type, const std::uint8_t* source, std::size_t count, void* destination) noexcept;

/// destination[i] = float(raw[i] - offset) * qn, the subtraction in 32-bit
/// integers with wrap-around (raw is widened to i32 first). `type` must be
/// one of the four integer types. Runs the widest kernel the CPU supports;
/// every kernel gives the same bits.
void dequantize_elements(ElementType type, const std::uint8_t* source, std::size_t count, std::int32_t offset,
                         float qn, float* destination) noexcept;

/// One compiled form of the dequantisation loop, for one instruction set.
struct DequantizeKernel {
  std::string_view name;          // "portable", "avx2", "avx512", "neon"
  bool (*supported)() noexcept;   // whether this CPU can run it
  void (*run)(ElementType type, const std::uint8_t* source, std::size_t count, std::int32_t offset, float qn,
              float* destination) noexcept;
};

/// The kernels built into this binary, narrowest first ("portable" runs on any CPU).
std::span<const DequantizeKernel> dequantize_kernels() noexcept;

/// The kernel dequantize_elements uses: the last supported one, chosen once.
const DequantizeKernel& chosen_dequantize_kernel() noexcept;

}  // namespace tallowind::ara2
