// Wire protocol between the stand-in client library and the stand-in proxy:
// length-prefixed frames over a stream socket, one request answered by one
// response, descriptors riding along with SCM_RIGHTS on UNIX sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace emu::wire {

inline constexpr std::uint32_t kMagic = 0x554d4541;  // "AEMU" little-endian
inline constexpr std::uint32_t kProtocolVersion = 1;
// Every length read from the wire is bounded before anything is allocated.
inline constexpr std::uint32_t kMaxPayload = 256u << 20;
inline constexpr std::uint32_t kMaxText = 4096;
inline constexpr std::uint32_t kMaxTensors = 256;

enum class Op : std::uint32_t {
  Hello = 1,
  EndpointList,
  EndpointStatus,
  DramStatistics,
  ModelLoad,
  ModelUnload,
  Register,
  Infer,
  Wait,
  RequestId,
  RequestFree,
  InflightCount,
  Versions,
  Unregister,
};

/// Status codes of the emulated stack; the hundreds follow the ranges
/// applications classify errors by.
namespace status {
inline constexpr std::uint32_t ok = 0;
inline constexpr std::uint32_t invalid_argument = 21;
inline constexpr std::uint32_t invalid_handle = 22;
inline constexpr std::uint32_t unsupported = 23;
inline constexpr std::uint32_t timeout = 30;
inline constexpr std::uint32_t tensor_mismatch = 31;
inline constexpr std::uint32_t inference_failed = 32;
inline constexpr std::uint32_t unknown_endpoint = 110;
inline constexpr std::uint32_t connect_failed = 201;
inline constexpr std::uint32_t handshake_failed = 202;
inline constexpr std::uint32_t connection_lost = 203;
inline constexpr std::uint32_t malformed_message = 204;
inline constexpr std::uint32_t out_of_memory = 205;  // the daemon's memory caps refuse it
inline constexpr std::uint32_t model_unreadable = 240;
inline constexpr std::uint32_t not_a_model = 241;
inline constexpr std::uint32_t out_of_dram = 242;
inline constexpr std::uint32_t unknown_model = 243;
}  // namespace status

/// Where the bytes of one tensor of an inference live, as sent on the wire.
enum class TensorKind : std::uint32_t {
  Inline = 0,        // input bytes in the message; output bytes in the answer
  Registration = 1,  // a descriptor the daemon holds a mapping of
};

/// Flags answered with request states, for faults the client must mirror.
inline constexpr std::uint32_t kFlagNullRequest = 1;
inline constexpr std::uint32_t kFlagNullCompleted = 2;
inline constexpr std::uint32_t kFlagHasStatistics = 4;
inline constexpr std::uint32_t kFlagHasOutputs = 8;
inline constexpr std::uint32_t kFlagWaitTimedOut = 16;

struct FrameHeader {
  std::uint32_t magic = kMagic;
  std::uint32_t code = 0;  // Op of a request, status of a response
  std::uint32_t length = 0;
};
static_assert(sizeof(FrameHeader) == 12);

class Writer {
 public:
  template <class T>
  Writer& put(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    auto at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(bytes_.data() + at, &value, sizeof(T));
    return *this;
  }
  Writer& put_bytes(std::span<const std::uint8_t> data);
  Writer& put_text(std::string_view text);
  /// Like put_bytes, without copying: the bytes are read when the frame is
  /// sent, so they must stay valid until then. `keep` is held until clear().
  Writer& put_view(std::span<const std::uint8_t> data, std::shared_ptr<const void> keep = {});
  /// The copied bytes; a writer with views holds more (see size()).
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::size_t size() const;
  void clear();

 private:
  friend bool send_frame(int, std::uint32_t, const Writer&, int);
  struct View {
    std::size_t at;  // where in bytes_ the view goes
    std::span<const std::uint8_t> data;
  };
  std::vector<std::uint8_t> bytes_;
  std::vector<View> views_;
  std::vector<std::shared_ptr<const void>> keep_;
};

/// Bounds-checked reader: the first failed read poisons it and every later
/// read yields zero values, so handlers check ok() once at the end.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
  template <class T>
  T get() {
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    if (ok_ && data_.size() - pos_ >= sizeof(T)) {
      std::memcpy(&value, data_.data() + pos_, sizeof(T));
      pos_ += sizeof(T);
    } else {
      ok_ = false;
    }
    return value;
  }
  std::span<const std::uint8_t> get_bytes(std::uint32_t max_length);
  std::string get_text(std::uint32_t max_length = kMaxText);
  bool ok() const { return ok_; }
  bool at_end() const { return ok_ && pos_ == data_.size(); }
  void fail() { ok_ = false; }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

/// Writes one frame; pass_fd >= 0 travels with it (UNIX sockets only).
bool send_frame(int socket, std::uint32_t code, std::span<const std::uint8_t> payload,
                int pass_fd = -1);
bool send_frame(int socket, std::uint32_t code, const Writer& payload, int pass_fd = -1);

enum class RecvResult { Ok, Closed, Malformed };

/// Reads a frame header and checks its magic and length bound. A descriptor
/// that came with it is returned in *received_fd (close-on-exec), or -1;
/// extra descriptors are closed. The body is read with a BodyReader.
RecvResult recv_header(int socket, FrameHeader& header, int* received_fd);

/// Reads the body of one frame from the socket piece by piece: small fields
/// through a little buffer (one receive for many of them), large ones
/// straight into their destination. Reads past the body's end fail without
/// touching the socket.
class BodyReader {
 public:
  BodyReader(int socket, std::uint32_t length) : socket_(socket), left_(length) {}
  BodyReader(const BodyReader&) = delete;
  BodyReader& operator=(const BodyReader&) = delete;
  bool read(void* into, std::size_t size);
  template <class T>
  bool get(T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    return read(&value, sizeof(T));
  }
  bool skip(std::size_t size);
  bool skip_rest() { return skip(left_); }
  std::size_t left() const { return left_; }
  /// The socket failed (as opposed to a read past the end).
  bool broken() const { return broken_; }

 private:
  int socket_;
  std::size_t left_;  // not yet read by the caller: buffered, then still in the socket
  std::size_t start_ = 0, end_ = 0;  // the buffered bytes
  bool broken_ = false;
  std::uint8_t buffer_[256];
};

/// Reads one whole frame (header, then body into payload).
RecvResult recv_frame(int socket, FrameHeader& header, std::vector<std::uint8_t>& payload,
                      int* received_fd);

}  // namespace emu::wire
