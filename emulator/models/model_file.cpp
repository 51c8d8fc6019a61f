// Reader and executor of emulated .dvm files. The byte layout is documented in
// README.md next to this file; the Python builder writes the same layout.
#include "model_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace emu {

namespace {

constexpr std::string_view kMagic{"ARA2EMU\0", 8};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 20;
// A crafted file must not make a loader allocate without bound.
constexpr std::uint64_t kMaxScratchBytes = 256ull << 20;

enum class BufferKind : std::uint8_t { Input = 0, Output = 1, Scratch = 2 };

struct BufferRef {
  BufferKind kind = BufferKind::Input;
  std::uint32_t index = 0;
};

enum class ElemType : std::uint8_t { U8 = 0, I8 = 1, U16 = 2, I16 = 3, I32 = 4, F32 = 5 };

enum class OpCode : std::uint8_t { Copy = 1, Requantize = 2, MeanPool = 3, Dense = 4, Argmax = 5 };

struct Op {
  OpCode code = OpCode::Copy;
  BufferRef src, dst;
  ElemType src_type = ElemType::U8, dst_type = ElemType::U8;
  std::uint32_t src_offset = 0, dst_offset = 0, count = 0;
  std::uint32_t channels = 0, spatial = 0, in_features = 0, out_features = 0;
  std::int32_t src_zero = 0, dst_zero = 0;
  float scale = 1.0f;
  std::vector<std::int8_t> weights;  // out_features rows of in_features
  std::vector<std::int32_t> bias;
};

std::uint32_t elem_size(ElemType t) {
  switch (t) {
    case ElemType::U8:
    case ElemType::I8:
      return 1;
    case ElemType::U16:
    case ElemType::I16:
      return 2;
    case ElemType::I32:
    case ElemType::F32:
      return 4;
  }
  return 1;
}

const char* elem_name(ElemType t) {
  static constexpr const char* names[] = {"u8", "i8", "u16", "i16", "i32", "f32"};
  return names[static_cast<int>(t)];
}

std::string ref_name(BufferRef r) {
  static constexpr const char* kinds[] = {"input", "output", "scratch"};
  return std::string(kinds[static_cast<int>(r.kind)]) + ":" + std::to_string(r.index);
}

std::uint32_t crc32(std::span<const std::uint8_t> data) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

/// Bounds-checked little-endian cursor; the first failure sticks so callers
/// can read a whole record and check once.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }

  void fail(const std::string& what) {
    if (error_.empty()) error_ = "at byte " + std::to_string(kHeaderSize + pos_) + ": " + what;
  }

  std::span<const std::uint8_t> take(std::size_t n, const char* what) {
    if (!ok()) return {};
    if (n > remaining()) {
      fail(std::string("truncated ") + what);
      return {};
    }
    auto out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }

  std::uint64_t uint(std::size_t width, const char* what) {
    auto bytes = take(width, what);
    std::uint64_t v = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) v = (v << 8) | bytes[i];
    return v;
  }
  std::uint8_t u8(const char* what) { return static_cast<std::uint8_t>(uint(1, what)); }
  std::uint32_t u32(const char* what) { return static_cast<std::uint32_t>(uint(4, what)); }
  std::int32_t i32(const char* what) { return static_cast<std::int32_t>(u32(what)); }
  std::uint64_t u64(const char* what) { return uint(8, what); }
  float f32(const char* what) { return std::bit_cast<float>(u32(what)); }

  bool flag(const char* what) {
    std::uint8_t v = u8(what);
    if (v > 1) fail(std::string(what) + ": flag byte must be 0 or 1, not " + std::to_string(v));
    return v == 1;
  }

  std::string text(const char* what) {
    std::uint32_t n = u32(what);
    auto bytes = take(n, what);
    if (std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end()) {
      fail(std::string(what) + ": text holds a NUL byte");
    }
    return {bytes.begin(), bytes.end()};
  }

  /// A count of records that each take at least min_bytes, so a corrupt count
  /// is caught before anything is allocated for it.
  std::uint32_t count(std::size_t min_bytes, const char* what) {
    std::uint32_t n = u32(what);
    if (ok() && static_cast<std::uint64_t>(n) * min_bytes > remaining()) {
      fail(std::string(what) + " " + std::to_string(n) + " exceeds the file");
      return 0;
    }
    return ok() ? n : 0;
  }

  std::optional<std::array<float, 3>> triple(const char* what) {
    if (!flag(what)) return std::nullopt;
    std::array<float, 3> v{};
    for (auto& x : v) x = f32(what);
    return v;
  }

  std::optional<float> optional_f32(const char* what) {
    if (!flag(what)) return std::nullopt;
    return f32(what);
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  std::string error_;
};

/// Reads one tensor record, each field by its encoding.
template <class Tensor>
Tensor read_tensor(Reader& r, const std::string& kind) {
  Tensor t;
  std::uint8_t bits = 0, used = 0;  // of the byte a run of bit fields shares
  for_each_field(t, [&](const char* name, auto& value, Encoding encoding, auto, auto) {
    const std::string what = kind + " " + name;
    using Value = std::remove_reference_t<decltype(value)>;
    if constexpr (std::is_same_v<Value, std::int32_t>) {
      value = r.i32(what.c_str());
    } else if constexpr (std::is_same_v<Value, std::uint32_t>) {
      value = r.u32(what.c_str());
    } else if constexpr (std::is_same_v<Value, float>) {
      value = r.f32(what.c_str());
    } else if constexpr (std::is_same_v<Value, std::string>) {
      value = r.text(what.c_str());
    } else if constexpr (std::is_same_v<Value, field::opt_f32x3>) {
      value = r.triple(what.c_str());
    } else if (encoding == Encoding::flag) {
      value = r.flag(what.c_str());
    } else {
      const int bit = static_cast<int>(encoding) - static_cast<int>(Encoding::bit0);
      if (bit == 0) bits = r.u8((kind + " flags").c_str());
      used |= static_cast<std::uint8_t>(1u << bit);
      value = (bits >> bit) & 1;
    }
  });
  if (bits & ~used) r.fail(kind + " flags: unknown bits set");
  return t;
}

Faults read_faults(Reader& r) {
  Faults f;
  std::uint32_t n = r.count(4, "completion state count");
  for (std::uint32_t i = 0; i < n && r.ok(); ++i) f.completion_states.push_back(r.u32("completion state"));
  if (r.flag("final state flag")) f.final_state = r.u32("final state");
  std::uint8_t flags = r.u8("fault flags");
  if (flags > 0x07) r.fail("fault flags: unknown bits set");
  f.missing_statistics = flags & 1;
  f.null_request = flags & 2;
  f.null_completed = flags & 4;
  n = r.count(8, "call status count");
  for (std::uint32_t i = 0; i < n && r.ok(); ++i) {
    std::string name = r.text("call status function");
    std::uint32_t status = r.u32("call status value");
    if (r.ok() && name.empty()) r.fail("call status function name is empty");
    if (r.ok() && !f.call_status.emplace(std::move(name), status).second) r.fail("call status given twice for one function");
  }
  f.run_time_us = r.optional_f32("run_time_us");
  f.input_time_us = r.optional_f32("input_time_us");
  f.output_time_us = r.optional_f32("output_time_us");
  f.latency_us = r.u32("latency_us");
  return f;
}

/// Bytes of a tensor's buffer as the client hands it over: inputs are
/// allocated as nch x height x width bytes, outputs as their size field.
std::uint64_t input_capacity(const InputTensor& t) {
  if (t.nch < 0 || t.height < 0 || t.width < 0) return 0;
  return static_cast<std::uint64_t>(t.nch) * static_cast<std::uint64_t>(t.height) *
         static_cast<std::uint64_t>(t.width);
}
std::uint64_t output_capacity(const OutputTensor& t) { return t.size < 0 ? 0 : static_cast<std::uint64_t>(t.size); }

}  // namespace

struct Program {
  std::vector<std::uint32_t> scratch_sizes;
  std::vector<Op> ops;
  // Highest byte each op reaches per buffer, checked against the real buffers at run time.
  std::vector<std::uint64_t> input_extent, output_extent;
};

namespace {

BufferRef read_ref(Reader& r, const char* what) {
  BufferRef ref;
  std::uint8_t kind = r.u8(what);
  if (kind > 2) r.fail(std::string(what) + ": unknown buffer kind " + std::to_string(kind));
  ref.kind = static_cast<BufferKind>(kind);
  ref.index = r.u32(what);
  return ref;
}

ElemType read_type(Reader& r, const char* what) {
  std::uint8_t t = r.u8(what);
  if (t > 5) r.fail(std::string(what) + ": unknown element type " + std::to_string(t));
  return static_cast<ElemType>(std::min<std::uint8_t>(t, 5));
}

Op read_op(Reader& r) {
  Op op;
  std::uint8_t code = r.u8("op code");
  op.code = static_cast<OpCode>(code);
  switch (op.code) {
    case OpCode::Copy:
      op.src = read_ref(r, "copy source");
      op.src_offset = r.u32("copy source offset");
      op.dst = read_ref(r, "copy destination");
      op.dst_offset = r.u32("copy destination offset");
      op.count = r.u32("copy length");
      break;
    case OpCode::Requantize:
      op.src = read_ref(r, "requantize source");
      op.src_type = read_type(r, "requantize source type");
      op.count = r.u32("requantize count");
      op.src_zero = r.i32("requantize source zero point");
      op.scale = r.f32("requantize scale");
      op.dst_zero = r.i32("requantize destination zero point");
      op.dst = read_ref(r, "requantize destination");
      op.dst_type = read_type(r, "requantize destination type");
      if (r.ok() && !std::isfinite(op.scale)) r.fail("requantize scale is not finite");
      break;
    case OpCode::MeanPool:
      op.src = read_ref(r, "mean_pool source");
      op.src_type = read_type(r, "mean_pool source type");
      op.channels = r.u32("mean_pool channels");
      op.spatial = r.u32("mean_pool spatial size");
      op.dst = read_ref(r, "mean_pool destination");
      op.dst_type = read_type(r, "mean_pool destination type");
      if (r.ok() && op.spatial == 0) r.fail("mean_pool spatial size is 0");
      break;
    case OpCode::Dense: {
      op.src = read_ref(r, "dense source");
      op.src_type = read_type(r, "dense source type");
      op.src_zero = r.i32("dense source zero point");
      op.in_features = r.u32("dense in_features");
      op.out_features = r.u32("dense out_features");
      if (!r.ok()) break;
      if (op.src_type == ElemType::F32) {
        r.fail("dense source must be an integer type");
        break;
      }
      const std::uint64_t n_weights = static_cast<std::uint64_t>(op.in_features) * op.out_features;
      if (n_weights > r.remaining() || 4ull * op.out_features > r.remaining() - n_weights) {
        r.fail("dense weights exceed the file");
        break;
      }
      auto w = r.take(n_weights, "dense weights");
      op.weights.assign(reinterpret_cast<const std::int8_t*>(w.data()),
                        reinterpret_cast<const std::int8_t*>(w.data()) + w.size());
      op.bias.resize(op.out_features);
      for (auto& b : op.bias) b = r.i32("dense bias");
      op.dst = read_ref(r, "dense destination");
      op.dst_type = ElemType::I32;
      break;
    }
    case OpCode::Argmax:
      op.src = read_ref(r, "argmax source");
      op.src_type = read_type(r, "argmax source type");
      op.count = r.u32("argmax count");
      op.dst = read_ref(r, "argmax destination");
      op.dst_type = read_type(r, "argmax destination type");
      if (r.ok() && op.count == 0) r.fail("argmax count is 0");
      break;
    default:
      r.fail("unknown op code " + std::to_string(code));
  }
  return op;
}

std::string op_text(const Op& op) {
  std::string s;
  switch (op.code) {
    case OpCode::Copy:
      s = "copy " + std::to_string(op.count) + " bytes " + ref_name(op.src) + "+" + std::to_string(op.src_offset) +
          " -> " + ref_name(op.dst) + "+" + std::to_string(op.dst_offset);
      break;
    case OpCode::Requantize:
      s = "requantize " + std::to_string(op.count) + " " + ref_name(op.src) + " " + elem_name(op.src_type) +
          " -> " + ref_name(op.dst) + " " + elem_name(op.dst_type) + " (x - " + std::to_string(op.src_zero) +
          ") * " + std::to_string(op.scale) + " + " + std::to_string(op.dst_zero);
      break;
    case OpCode::MeanPool:
      s = "mean_pool " + std::to_string(op.channels) + "x" + std::to_string(op.spatial) + " " + ref_name(op.src) +
          " " + elem_name(op.src_type) + " -> " + ref_name(op.dst) + " " + elem_name(op.dst_type);
      break;
    case OpCode::Dense:
      s = "dense " + std::to_string(op.in_features) + " -> " + std::to_string(op.out_features) + " " +
          ref_name(op.src) + " " + elem_name(op.src_type) + " (zero " + std::to_string(op.src_zero) + ") -> " +
          ref_name(op.dst) + " i32";
      break;
    case OpCode::Argmax:
      s = "argmax " + std::to_string(op.count) + " " + ref_name(op.src) + " " + elem_name(op.src_type) + " -> " +
          ref_name(op.dst) + " " + elem_name(op.dst_type);
      break;
  }
  return s;
}

/// Byte ranges [begin, end) an op reads and writes.
struct Access {
  BufferRef ref;
  std::uint64_t end;
  bool write;
};

/// a * b * c, saturated so that an absurd op cannot wrap around and pass the check.
std::uint64_t extent(std::uint64_t a, std::uint64_t b, std::uint64_t c = 1) {
  unsigned __int128 v = static_cast<unsigned __int128>(a) * b * c;
  return v > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                        : static_cast<std::uint64_t>(v);
}

std::vector<Access> accesses(const Op& op) {
  const std::uint64_t ss = elem_size(op.src_type), ds = elem_size(op.dst_type);
  switch (op.code) {
    case OpCode::Copy:
      return {{op.src, std::uint64_t{op.src_offset} + op.count, false},
              {op.dst, std::uint64_t{op.dst_offset} + op.count, true}};
    case OpCode::Requantize:
      return {{op.src, ss * op.count, false}, {op.dst, ds * op.count, true}};
    case OpCode::MeanPool:
      return {{op.src, extent(ss, op.channels, op.spatial), false}, {op.dst, ds * op.channels, true}};
    case OpCode::Dense:
      return {{op.src, ss * op.in_features, false}, {op.dst, 4ull * op.out_features, true}};
    case OpCode::Argmax:
      return {{op.src, ss * op.count, false}, {op.dst, ds, true}};
  }
  return {};
}

/// Rejects a program that does not fit the model's tensors, so execution can
/// never leave a buffer.
std::expected<void, std::string> check_program(const Model& m, Program& p) {
  p.input_extent.assign(m.inputs.size(), 0);
  p.output_extent.assign(m.outputs.size(), 0);
  for (std::size_t i = 0; i < p.ops.size(); ++i) {
    const Op& op = p.ops[i];
    for (const Access& a : accesses(op)) {
      std::uint64_t capacity = 0;
      std::string where = "op " + std::to_string(i) + " (" + op_text(op) + "): " + ref_name(a.ref);
      switch (a.ref.kind) {
        case BufferKind::Input:
          if (a.ref.index >= m.inputs.size()) return std::unexpected(where + " does not exist");
          if (a.write) return std::unexpected(where + " is an input and cannot be written");
          capacity = input_capacity(m.inputs[a.ref.index]);
          p.input_extent[a.ref.index] = std::max(p.input_extent[a.ref.index], a.end);
          break;
        case BufferKind::Output:
          if (a.ref.index >= m.outputs.size()) return std::unexpected(where + " does not exist");
          capacity = output_capacity(m.outputs[a.ref.index]);
          p.output_extent[a.ref.index] = std::max(p.output_extent[a.ref.index], a.end);
          break;
        case BufferKind::Scratch:
          if (a.ref.index >= p.scratch_sizes.size()) return std::unexpected(where + " does not exist");
          capacity = p.scratch_sizes[a.ref.index];
          break;
      }
      if (a.end > capacity) {
        return std::unexpected(where + " holds " + std::to_string(capacity) + " bytes, the op needs " +
                               std::to_string(a.end));
      }
    }
  }
  return {};
}

double load(const std::uint8_t* p, ElemType t) {
  switch (t) {
    case ElemType::U8:
      return p[0];
    case ElemType::I8:
      return static_cast<std::int8_t>(p[0]);
    case ElemType::U16:
      return static_cast<std::uint16_t>(p[0] | p[1] << 8);
    case ElemType::I16:
      return static_cast<std::int16_t>(p[0] | p[1] << 8);
    case ElemType::I32:
      return static_cast<std::int32_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                                       std::uint32_t{p[3]} << 24);
    case ElemType::F32: {
      std::uint32_t bits = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                           std::uint32_t{p[3]} << 24;
      return std::bit_cast<float>(bits);
    }
  }
  return 0;
}

/// Integers are rounded half away from zero and saturated; NaN becomes 0.
void store(std::uint8_t* p, ElemType t, double v) {
  auto saturate = [&](double lo, double hi) -> std::int64_t {
    if (std::isnan(v)) return 0;
    return static_cast<std::int64_t>(std::clamp(std::round(v), lo, hi));
  };
  std::uint32_t bits = 0;
  switch (t) {
    case ElemType::U8:
      p[0] = static_cast<std::uint8_t>(saturate(0, 255));
      return;
    case ElemType::I8:
      p[0] = static_cast<std::uint8_t>(saturate(-128, 127));
      return;
    case ElemType::U16:
    case ElemType::I16: {
      auto x = static_cast<std::uint16_t>(t == ElemType::U16 ? saturate(0, 65535) : saturate(-32768, 32767));
      p[0] = x & 0xFF;
      p[1] = x >> 8;
      return;
    }
    case ElemType::I32:
      bits = static_cast<std::uint32_t>(saturate(-2147483648.0, 2147483647.0));
      break;
    case ElemType::F32: {
      // Narrowing a double beyond the float range is undefined; make it infinite.
      constexpr double kMax = std::numeric_limits<float>::max();
      float f = std::isnan(v) || std::abs(v) <= kMax ? static_cast<float>(v)
                                                      : std::copysign(std::numeric_limits<float>::infinity(), v);
      bits = std::bit_cast<std::uint32_t>(f);
      break;
    }
  }
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

}  // namespace

namespace {

/// Reads until `size` bytes or the end of the file; -1 on an error.
std::int64_t read_up_to(int fd, std::uint8_t* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::read(fd, into + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> read_model_file(
    const std::string& path, const std::function<bool(std::uint64_t)>& admit) {
  const auto error_text = [] { return std::string(std::strerror(errno)); };
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  };
  // Only a regular file is opened for reading: opening a device can have side
  // effects. The path is resolved once, into a handle that opens nothing, and
  // that same file is then opened, so it cannot be swapped in between.
  Closer handle{::open(path.c_str(), O_PATH | O_CLOEXEC)};
  if (handle.fd < 0) return std::unexpected(error_text());
  struct stat info {};
  if (::fstat(handle.fd, &info) != 0) return std::unexpected(error_text());
  if (S_ISDIR(info.st_mode)) return std::unexpected("it is a directory");
  if (!S_ISREG(info.st_mode)) return std::unexpected("it is not a regular file");
  const std::string same_file = "/proc/self/fd/" + std::to_string(handle.fd);
  Closer closer{::open(same_file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  const int fd = closer.fd;
  if (fd < 0) return std::unexpected(error_text());
  std::vector<std::uint8_t> bytes(kHeaderSize);
  auto got = read_up_to(fd, bytes.data(), bytes.size());
  if (got < 0) return std::unexpected(error_text());
  bytes.resize(static_cast<std::size_t>(got));
  if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) {
    return bytes;  // parse_model says what is wrong with it
  }
  std::uint32_t body = 0;
  for (int i = 3; i >= 0; --i) body = (body << 8) | bytes[12 + static_cast<std::size_t>(i)];
  if (body > kMaxModelBody) {
    return std::unexpected("its body of " + std::to_string(body) + " bytes is over the limit of " +
                           std::to_string(kMaxModelBody));
  }
  // Sized by what the file holds, so a header announcing more costs nothing.
  auto left = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, kHeaderSize)) - kHeaderSize;
  const std::uint64_t size = kHeaderSize + std::min<std::uint64_t>(body, left);
  if (admit && !admit(size)) return std::unexpected(std::string(kNoMemoryToRead));
  bytes.resize(size);
  got = read_up_to(fd, bytes.data() + kHeaderSize, bytes.size() - kHeaderSize);
  if (got < 0) return std::unexpected(error_text());
  bytes.resize(kHeaderSize + static_cast<std::size_t>(got));
  return bytes;
}

std::expected<Model, std::string> parse_model(std::span<const std::uint8_t> file) {
  const auto fail = [](const std::string& why) { return std::unexpected("invalid emulated model file: " + why); };
  if (file.size() < kHeaderSize || std::memcmp(file.data(), kMagic.data(), kMagic.size()) != 0) {
    return fail("not an emulated model (magic \"ARA2EMU\" missing)");
  }
  Reader header(file.subspan(8, kHeaderSize - 8));
  const std::uint32_t version = header.u32("version");
  const std::uint32_t body_size = header.u32("body size");
  const std::uint32_t checksum = header.u32("checksum");
  if (version != kVersion) {
    return fail("format version " + std::to_string(version) + " is not supported (expected " +
                std::to_string(kVersion) + ")");
  }
  if (body_size > file.size() - kHeaderSize) {
    return fail("truncated: the model needs " + std::to_string(kHeaderSize + std::uint64_t{body_size}) +
                " bytes, the file has " + std::to_string(file.size()));
  }
  // Anything after the body (the ZIP archive of a compiled model) is not ours.
  const auto body = file.subspan(kHeaderSize, body_size);
  if (crc32(body) != checksum) return fail("checksum mismatch (the file is corrupt)");
  Reader r(body);

  Model m;
  m.dram_bytes = r.u64("dram_bytes");
  std::uint32_t n = r.count(64, "input count");
  for (std::uint32_t i = 0; i < n && r.ok(); ++i) m.inputs.push_back(read_tensor<InputTensor>(r, "input"));
  n = r.count(73, "output count");
  for (std::uint32_t i = 0; i < n && r.ok(); ++i) m.outputs.push_back(read_tensor<OutputTensor>(r, "output"));
  m.faults = read_faults(r);

  auto program = std::make_shared<Program>();
  n = r.count(4, "scratch buffer count");
  std::uint64_t scratch_total = 0;
  for (std::uint32_t i = 0; i < n && r.ok(); ++i) {
    program->scratch_sizes.push_back(r.u32("scratch buffer size"));
    scratch_total += program->scratch_sizes.back();
  }
  if (r.ok() && scratch_total > kMaxScratchBytes) r.fail("scratch buffers exceed 256 MiB");
  n = r.count(1, "op count");
  for (std::uint32_t i = 0; i < n && r.ok(); ++i) program->ops.push_back(read_op(r));
  if (r.ok() && !r.at_end()) r.fail(std::to_string(r.remaining()) + " unexpected bytes after the program");
  if (!r.ok()) return fail(r.error());
  if (auto checked = check_program(m, *program); !checked) return fail(checked.error());
  m.program = std::move(program);
  return m;
}

std::vector<std::string> program_listing(const Model& model) {
  std::vector<std::string> lines;
  if (!model.program) return lines;
  for (std::size_t i = 0; i < model.program->scratch_sizes.size(); ++i) {
    lines.push_back("scratch:" + std::to_string(i) + " " + std::to_string(model.program->scratch_sizes[i]) +
                    " bytes");
  }
  for (const Op& op : model.program->ops) lines.push_back(op_text(op));
  return lines;
}

std::uint64_t model_footprint(const Model& model) {
  std::uint64_t bytes = sizeof(Model) + sizeof(Program);
  for (const auto& t : model.inputs) {
    bytes += sizeof t + t.layer_name.size() + t.blob_name.size() + t.layer_type.size() + t.layout.size();
  }
  for (const auto& t : model.outputs) {
    bytes += sizeof t + t.layer_name.size() + t.blob_name.size() + t.layer_fused_parent_name.size() +
             t.layer_type.size() + t.layout.size();
  }
  for (const auto& [name, status] : model.faults.call_status) bytes += 64 + name.size();
  bytes += 4 * model.faults.completion_states.size();
  if (model.program) {
    for (const Op& op : model.program->ops) bytes += sizeof op + op.weights.size() + 4 * op.bias.size();
    bytes += 4 * model.program->scratch_sizes.size() + 8 * (model.inputs.size() + model.outputs.size());
  }
  return bytes;
}

std::uint64_t scratch_bytes(const Model& model) {
  if (!model.program) return 0;
  std::uint64_t total = 0;
  for (std::uint32_t size : model.program->scratch_sizes) total += size;
  return total;
}

std::expected<void, std::string> run_model(const Model& model,
                                           std::span<const std::span<const std::uint8_t>> inputs,
                                           std::span<const std::span<std::uint8_t>> outputs,
                                           const RunContext& context) {
  if (inputs.size() != model.inputs.size() || outputs.size() != model.outputs.size()) {
    return std::unexpected("the model takes " + std::to_string(model.inputs.size()) + " inputs and " +
                           std::to_string(model.outputs.size()) + " outputs, got " + std::to_string(inputs.size()) +
                           " and " + std::to_string(outputs.size()));
  }
  if (!model.program) return {};
  const Program& p = *model.program;
  if (p.input_extent.size() != inputs.size() || p.output_extent.size() != outputs.size()) {
    return std::unexpected("the program was parsed for a different set of tensors");
  }
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i].size() < p.input_extent[i]) {
      return std::unexpected("input " + std::to_string(i) + " buffer holds " + std::to_string(inputs[i].size()) +
                             " bytes, the program reads " + std::to_string(p.input_extent[i]));
    }
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].size() < p.output_extent[i]) {
      return std::unexpected("output " + std::to_string(i) + " buffer holds " + std::to_string(outputs[i].size()) +
                             " bytes, the program uses " + std::to_string(p.output_extent[i]));
    }
  }
  std::vector<std::uint8_t> own_scratch;
  std::span<std::uint8_t> scratch_memory = context.scratch;
  if (scratch_memory.empty()) {
    own_scratch.resize(scratch_bytes(model));
    scratch_memory = own_scratch;
  } else if (scratch_memory.size() < scratch_bytes(model)) {
    return std::unexpected("the scratch memory lent is too small");
  } else {
    std::memset(scratch_memory.data(), 0, scratch_bytes(model));
  }
  std::vector<std::uint8_t*> scratch;
  for (std::uint32_t size : p.scratch_sizes) {
    scratch.push_back(scratch_memory.data());
    scratch_memory = scratch_memory.subspan(size);
  }

  const auto buffer = [&](BufferRef r) -> std::uint8_t* {
    switch (r.kind) {
      case BufferKind::Input:  // never written: check_program refuses writes to inputs
        return const_cast<std::uint8_t*>(inputs[r.index].data());
      case BufferKind::Output:
        return outputs[r.index].data();
      case BufferKind::Scratch:
        return scratch[r.index];
    }
    return nullptr;
  };

  std::vector<double> values;
  for (const Op& op : p.ops) {
    if (context.stop && context.stop()) return std::unexpected("the run was stopped");
    const std::uint8_t* src = buffer(op.src);
    std::uint8_t* dst = buffer(op.dst);
    const std::uint32_t ss = elem_size(op.src_type), ds = elem_size(op.dst_type);
    // Sources are read in full before anything is written, so an op whose
    // source and destination overlap still computes from the old values.
    switch (op.code) {
      case OpCode::Copy:
        if (op.count) std::memmove(dst + op.dst_offset, src + op.src_offset, op.count);
        break;
      case OpCode::Requantize:
        values.resize(op.count);
        for (std::uint32_t i = 0; i < op.count; ++i) {
          values[i] = (load(src + ss * i, op.src_type) - op.src_zero) * static_cast<double>(op.scale);
        }
        for (std::uint32_t i = 0; i < op.count; ++i) {
          // The zero point is added after rounding so integer outputs land on the grid.
          double v = op.dst_type == ElemType::F32 ? values[i] : std::round(values[i]);
          store(dst + ds * i, op.dst_type, v + op.dst_zero);
        }
        break;
      case OpCode::MeanPool:
        values.assign(op.channels, 0.0);
        for (std::uint32_t c = 0; c < op.channels; ++c) {
          double sum = 0;
          const std::uint8_t* plane = src + std::uint64_t{ss} * op.spatial * c;
          for (std::uint32_t k = 0; k < op.spatial; ++k) sum += load(plane + ss * k, op.src_type);
          values[c] = sum / op.spatial;
        }
        for (std::uint32_t c = 0; c < op.channels; ++c) store(dst + ds * c, op.dst_type, values[c]);
        break;
      case OpCode::Dense: {
        std::vector<std::int64_t> x(op.in_features);
        for (std::uint32_t k = 0; k < op.in_features; ++k) {
          x[k] = static_cast<std::int64_t>(load(src + ss * k, op.src_type)) - op.src_zero;
        }
        values.resize(op.out_features);
        for (std::uint32_t o = 0; o < op.out_features; ++o) {
          // Wide enough that no input can overflow; the result saturates to int32.
          __int128 acc = op.bias[o];
          const std::int8_t* row = op.weights.data() + std::uint64_t{o} * op.in_features;
          for (std::uint32_t k = 0; k < op.in_features; ++k) acc += x[k] * row[k];
          values[o] = static_cast<double>(acc);
        }
        for (std::uint32_t o = 0; o < op.out_features; ++o) store(dst + 4 * o, ElemType::I32, values[o]);
        break;
      }
      case OpCode::Argmax: {
        std::uint32_t best = 0;
        double best_value = load(src, op.src_type);
        for (std::uint32_t i = 1; i < op.count; ++i) {
          double v = load(src + ss * i, op.src_type);
          // NaN never wins, so the first real maximum is reported.
          if (v > best_value || (std::isnan(best_value) && !std::isnan(v))) {
            best = i;
            best_value = v;
          }
        }
        store(dst, op.dst_type, best);
        break;
      }
    }
  }
  return {};
}

}  // namespace emu
