// Errors of the tensor-memory library. Plain values: nothing here throws.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace tallowind::tensor {

enum class ErrorKind : std::uint8_t {
  IoError,                // operating-system error (errno)
  NixError,               // system-call error (errno)
  NotImplemented,         // text
  InvalidSize,
  ShapeMismatch,
  UnknownDeviceType,
  UnknownBufferType,      // filesystem magic number
  InvalidMemoryType,
  PboDisconnected,
  PboMapped,
  NdArrayError,
  InvalidShape,
  InvalidArgument,
  InvalidOperation,
  QuantizationInvalid,    // field, got
  InsufficientCapacity,   // needed, capacity
  RegionOutOfBounds,      // region, width x height
  BatchIndexOutOfBounds,  // index, batch
};

/// One failure of the library: a kind plus the fields that kind carries.
/// `display()` gives the text callers show, for example
/// `IoError(Os { code: 2, kind: NotFound, message: "No such file or directory" })`.
class Error {
 public:
  static Error io(int os_code);
  static Error nix(int os_code);
  static Error not_implemented(std::string text);
  static Error unknown_buffer_type(std::uint64_t magic);
  static Error quantization_invalid(std::string field, std::string got);
  static Error insufficient_capacity(std::uint64_t needed, std::uint64_t capacity);
  static Error region_out_of_bounds(std::string region, std::uint64_t width, std::uint64_t height);
  static Error batch_index_out_of_bounds(std::uint64_t index, std::uint64_t batch);
  /// A kind without fields (InvalidSize, ShapeMismatch, InvalidShape, ...).
  static Error plain(ErrorKind kind);

  /// Where to look, shown beside the text and never in it: the path and the
  /// operation that failed and what to check; empty when there is nothing to add.
  const std::string& note() const noexcept { return note_; }
  Error with_note(std::string note) && {
    note_ = std::move(note);
    return std::move(*this);
  }

  ErrorKind kind() const noexcept { return kind_; }
  /// errno of IoError / NixError, 0 otherwise.
  int os_code() const noexcept { return kind_ == ErrorKind::IoError || kind_ == ErrorKind::NixError ? int(a_) : 0; }
  std::string display() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Error(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0, std::string text = {}, std::string text2 = {})
      : kind_(kind), a_(a), b_(b), text_(std::move(text)), text2_(std::move(text2)) {}

  ErrorKind kind_;
  std::uint64_t a_;
  std::uint64_t b_;
  std::string text_;
  std::string text2_;
  std::string note_;
};

template <class T>
using Result = std::expected<T, Error>;

/// Shorthand for returning a failure from a function returning Result<T>.
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }
/// IoError from the current errno; call right after the failing system call.
std::unexpected<Error> fail_errno();

/// Name of the kind as displayed ("IoError", "NotImplemented", ...).
std::string_view kind_name(ErrorKind kind) noexcept;
/// Standard error-kind name of an errno ("NotFound", "PermissionDenied", ... "Uncategorized").
std::string_view os_error_kind_name(int os_code) noexcept;
/// Symbolic errno name ("ENOENT"), "UnknownErrno" when the code has none.
std::string_view errno_name(int os_code) noexcept;
/// The system's message for an errno ("No such file or directory").
std::string os_error_message(int os_code);

}  // namespace tallowind::tensor
