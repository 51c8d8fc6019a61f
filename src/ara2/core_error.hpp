// The one internal error type of the core. Everything below the Python layer
// returns Result<T>; only src/python turns a CoreError into an exception.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowind::ara2 {

enum class ErrorKind : std::uint8_t {
  Io,
  LibraryLoad,
  LibraryLoadFailed,
  UnsupportedGeneration,
  InvalidAbiOverride,
  ConfigRead,
  ConfigInvalid,
  NoReachableEndpoint,
  ProcRead,
  Status,
  UnknownProductType,
  UnknownLayerOutputType,
  UnsupportedLayout,
  UnsupportedTypeSize,
  NullPointer,
  Tensor,
  Image,
  Shape,
  Zip,
  Json,
  UnsupportedQuantization,
  SizeMismatch,
  AsyncInferenceFailed,
  InferenceIncomplete,
  /// An object used after close(): "model is closed", "session is closed"...
  Closed,
  NotAllocated,
  /// Inputs written while a request pending on them may still read them.
  InputsInUse,
  InputSizeMismatch,
  /// The tensor memory's own text, shown without a prefix (a failed map, an
  /// element count that does not fill the shape, an unsupported width).
  TensorAccess,
  IndexOutOfRange,
  RequestConsumed,
  UnknownMemoryKind,
  InvalidIpAddress,
  ResultsGoToCallback,
  NoFrames,
  /// Not an error of the module but a broken invariant (for example a call
  /// through a function the opened library lacks); raised as the
  /// internal-failure exception, which derives from BaseException.
  Internal,
};

/// The Python exception class an error is raised as: the module's classes in
/// registration order, then the internal-failure exception, then the
/// built-in classes the module raises.
enum class ErrorClass : std::uint8_t {
  Ara2Error,
  LibraryError,
  HardwareError,
  ProxyError,
  ModelError,
  TensorError,
  MetadataError,
  InternalFailure,
  IndexError,
};
inline constexpr std::size_t kErrorClassCount = 9;

/// Where an error is raised, for the rules that depend on it: the metadata
/// readers raise every failure, whatever its kind, as MetadataError.
enum class ErrorScope : std::uint8_t { Any, Metadata };

/// An operating-system error as the system describes it.
struct OsError {
  int code = 0;             // errno; 0 when the error carries no number
  std::string description;  // strerror text, or a free text when code is 0

  static OsError from_errno(int code);
  static OsError custom(std::string description);
  /// "No such file or directory (os error 2)", or the bare description.
  std::string text() const;
};

using Version4 = std::array<std::uint8_t, 4>;

/// "1.3.0.0"
std::string version_text(const Version4& v);

class CoreError {
 public:
  static CoreError io(const OsError& error);
  static CoreError library_load(std::string loader_text);
  static CoreError library_load_failed(const std::vector<std::string>& names, std::string_view last_error);
  static CoreError unsupported_generation(std::string_view file, std::optional<Version4> version);
  /// `shown_value` is the value already quoted as the message shows it.
  static CoreError invalid_abi_override(std::string_view shown_value);
  static CoreError config_read(std::string_view path, const OsError& error);
  static CoreError config_invalid(std::string_view path, std::string_view reason);
  static CoreError no_reachable_endpoint(std::optional<std::uint32_t> pid);
  static CoreError proc_read(std::string_view path, const OsError& error);
  static CoreError status(std::uint32_t code);
  static CoreError unknown_product_type(std::int32_t component);
  static CoreError unknown_layer_output_type(std::uint32_t raw);
  static CoreError unsupported_layout(std::string_view text);
  static CoreError unsupported_type_size(std::uint64_t size);
  static CoreError null_pointer(std::string_view what);
  static CoreError tensor(std::string_view tensor_error_text);
  static CoreError image(std::string_view text);
  static CoreError shape(std::string_view text);
  static CoreError zip(std::string_view text);
  static CoreError json(std::string_view text);
  static CoreError unsupported_quantization(std::int32_t qmode);
  static CoreError size_mismatch(std::uint64_t expected, std::uint64_t actual);
  static CoreError async_inference_failed();
  static CoreError inference_incomplete(std::uint32_t state);
  static CoreError internal(std::string text);
  /// `object` names what was closed: "model", "session", "pipeline", "tensor set".
  static CoreError closed(std::string_view object);
  static CoreError not_allocated();
  static CoreError inputs_in_use();
  static CoreError input_size_mismatch(std::uint64_t given, std::uint64_t tensor_size);
  static CoreError tensor_access(std::string_view text);
  /// `text` as index_error_text() gives it; raised as IndexError.
  static CoreError index_out_of_range(std::string text);
  static CoreError request_consumed();
  static CoreError unknown_memory_kind(std::string_view given);
  static CoreError invalid_ip_address();
  static CoreError results_go_to_callback();
  static CoreError no_frames();

  ErrorKind kind() const noexcept { return kind_; }
  /// The status code of a Status error, 0 for every other kind.
  std::uint32_t status_code() const noexcept { return status_; }
  const std::string& message() const noexcept { return message_; }
  ErrorClass error_class(ErrorScope scope = ErrorScope::Any) const noexcept;

  /// Diagnostics shown beside the message, never in it (the library loader's
  /// reasons, for example); empty when there are none.
  const std::string& note() const noexcept { return note_; }
  CoreError with_note(std::string note) && {
    note_ = std::move(note);
    return std::move(*this);
  }

 private:
  CoreError(ErrorKind kind, std::string message, std::uint32_t status = 0)
      : kind_(kind), status_(status), message_(std::move(message)) {}

  ErrorKind kind_;
  std::uint32_t status_;
  std::string message_;
  std::string note_;
};

/// The class a client-library status code is raised as.
ErrorClass class_for_status(std::uint32_t code) noexcept;

template <class T>
using Result = std::expected<T, CoreError>;

/// Shorthand for returning an error from a function returning Result<T>.
inline std::unexpected<CoreError> fail(CoreError error) { return std::unexpected<CoreError>(std::move(error)); }

}  // namespace tallowind::ara2
