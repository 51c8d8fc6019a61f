#include "tensor/error.hpp"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace tallowind::tensor {

namespace {

// Debug rendering of a string field: quoted, with quotes and backslashes escaped.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace

Error Error::io(int os_code) { return Error(ErrorKind::IoError, std::uint64_t(std::uint32_t(os_code))); }
Error Error::nix(int os_code) { return Error(ErrorKind::NixError, std::uint64_t(std::uint32_t(os_code))); }
Error Error::not_implemented(std::string text) { return Error(ErrorKind::NotImplemented, 0, 0, std::move(text)); }
Error Error::unknown_buffer_type(std::uint64_t magic) { return Error(ErrorKind::UnknownBufferType, magic); }
Error Error::quantization_invalid(std::string field, std::string got) {
  return Error(ErrorKind::QuantizationInvalid, 0, 0, std::move(field), std::move(got));
}
Error Error::insufficient_capacity(std::uint64_t needed, std::uint64_t capacity) {
  return Error(ErrorKind::InsufficientCapacity, needed, capacity);
}
Error Error::region_out_of_bounds(std::string region, std::uint64_t width, std::uint64_t height) {
  return Error(ErrorKind::RegionOutOfBounds, width, height, std::move(region));
}
Error Error::batch_index_out_of_bounds(std::uint64_t index, std::uint64_t batch) {
  return Error(ErrorKind::BatchIndexOutOfBounds, index, batch);
}
Error Error::plain(ErrorKind kind) { return Error(kind); }

std::unexpected<Error> fail_errno() { return fail(Error::io(errno)); }

std::string Error::display() const {
  const int code = int(std::uint32_t(a_));
  switch (kind_) {
    case ErrorKind::IoError:
      return fmt::format("IoError(Os {{ code: {}, kind: {}, message: {} }})", code, os_error_kind_name(code),
                         quoted(os_error_message(code)));
    case ErrorKind::NixError:
      return fmt::format("NixError({})", errno_name(code));
    case ErrorKind::NotImplemented:
      return fmt::format("NotImplemented({})", quoted(text_));
    case ErrorKind::UnknownBufferType:
      return fmt::format(
          "UnknownBufferType: fd is on an unrecognized filesystem (magic {:#x}); expected a DMA-BUF or tmpfs/shm fd",
          a_);
    case ErrorKind::QuantizationInvalid:
      return fmt::format("QuantizationInvalid {{ field: {}, got: {} }}", quoted(text_), quoted(text2_));
    case ErrorKind::InsufficientCapacity:
      return fmt::format("insufficient tensor capacity: need {} bytes, have {}", a_, b_);
    case ErrorKind::RegionOutOfBounds:
      return fmt::format("region {} out of bounds for {}x{} frame", text_, a_, b_);
    case ErrorKind::BatchIndexOutOfBounds:
      return fmt::format("batch index {} out of bounds for batch size {}", a_, b_);
    default:
      return std::string(kind_name(kind_));
  }
}

std::string_view kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::IoError: return "IoError";
    case ErrorKind::NixError: return "NixError";
    case ErrorKind::NotImplemented: return "NotImplemented";
    case ErrorKind::InvalidSize: return "InvalidSize";
    case ErrorKind::ShapeMismatch: return "ShapeMismatch";
    case ErrorKind::UnknownDeviceType: return "UnknownDeviceType";
    case ErrorKind::UnknownBufferType: return "UnknownBufferType";
    case ErrorKind::InvalidMemoryType: return "InvalidMemoryType";
    case ErrorKind::PboDisconnected: return "PboDisconnected";
    case ErrorKind::PboMapped: return "PboMapped";
    case ErrorKind::NdArrayError: return "NdArrayError";
    case ErrorKind::InvalidShape: return "InvalidShape";
    case ErrorKind::InvalidArgument: return "InvalidArgument";
    case ErrorKind::InvalidOperation: return "InvalidOperation";
    case ErrorKind::QuantizationInvalid: return "QuantizationInvalid";
    case ErrorKind::InsufficientCapacity: return "InsufficientCapacity";
    case ErrorKind::RegionOutOfBounds: return "RegionOutOfBounds";
    case ErrorKind::BatchIndexOutOfBounds: return "BatchIndexOutOfBounds";
  }
  return "Unknown";
}

std::string_view os_error_kind_name(int os_code) noexcept {
  switch (os_code) {
    case E2BIG: return "ArgumentListTooLong";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case EBUSY: return "ResourceBusy";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNREFUSED: return "ConnectionRefused";
    case ECONNRESET: return "ConnectionReset";
    case EDEADLK: return "Deadlock";
    case EDQUOT: return "FilesystemQuotaExceeded";
    case EEXIST: return "AlreadyExists";
    case EFBIG: return "FileTooLarge";
    case EHOSTUNREACH: return "HostUnreachable";
    case EINTR: return "Interrupted";
    case EINVAL: return "InvalidInput";
    case EISDIR: return "IsADirectory";
    case ELOOP: return "FilesystemLoop";
    case ENOENT: return "NotFound";
    case ENOMEM: return "OutOfMemory";
    case ENOSPC: return "StorageFull";
    case ENOSYS: return "Unsupported";
    case EMLINK: return "TooManyLinks";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ENOTCONN: return "NotConnected";
    case ENOTDIR: return "NotADirectory";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case EPIPE: return "BrokenPipe";
    case EROFS: return "ReadOnlyFilesystem";
    case ESPIPE: return "NotSeekable";
    case ESTALE: return "StaleNetworkFileHandle";
    case ETIMEDOUT: return "TimedOut";
    case ETXTBSY: return "ExecutableFileBusy";
    case EXDEV: return "CrossesDevices";
    case EINPROGRESS: return "InProgress";
    case EACCES:
    case EPERM: return "PermissionDenied";
    case EAGAIN: return "WouldBlock";  // EWOULDBLOCK is the same value on Linux
    default: return "Uncategorized";
  }
}

std::string_view errno_name(int os_code) noexcept {
  const char* name = os_code > 0 ? strerrorname_np(os_code) : nullptr;
  return name != nullptr ? std::string_view(name) : std::string_view("UnknownErrno");
}

std::string os_error_message(int os_code) {
  char buffer[128];
  // GNU strerror_r: returns a pointer that may or may not be `buffer`.
  return std::string(strerror_r(os_code, buffer, sizeof buffer));
}

}  // namespace tallowind::tensor
