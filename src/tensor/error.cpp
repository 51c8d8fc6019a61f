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

// Each code's macro name as strerrorname_np gives it (EAGAIN, not
// EWOULDBLOCK), written out because that function is newer (glibc 2.32) than
// the oldest C library the wheels load on.
std::string_view errno_name(int os_code) noexcept {
  switch (os_code) {
#define ARA2_ERRNO(name) \
  case name:             \
    return #name;
    ARA2_ERRNO(EPERM) ARA2_ERRNO(ENOENT) ARA2_ERRNO(ESRCH) ARA2_ERRNO(EINTR) ARA2_ERRNO(EIO) ARA2_ERRNO(ENXIO)
    ARA2_ERRNO(E2BIG) ARA2_ERRNO(ENOEXEC) ARA2_ERRNO(EBADF) ARA2_ERRNO(ECHILD) ARA2_ERRNO(EAGAIN) ARA2_ERRNO(ENOMEM)
    ARA2_ERRNO(EACCES) ARA2_ERRNO(EFAULT) ARA2_ERRNO(ENOTBLK) ARA2_ERRNO(EBUSY) ARA2_ERRNO(EEXIST) ARA2_ERRNO(EXDEV)
    ARA2_ERRNO(ENODEV) ARA2_ERRNO(ENOTDIR) ARA2_ERRNO(EISDIR) ARA2_ERRNO(EINVAL) ARA2_ERRNO(ENFILE)
    ARA2_ERRNO(EMFILE) ARA2_ERRNO(ENOTTY) ARA2_ERRNO(ETXTBSY) ARA2_ERRNO(EFBIG) ARA2_ERRNO(ENOSPC)
    ARA2_ERRNO(ESPIPE) ARA2_ERRNO(EROFS) ARA2_ERRNO(EMLINK) ARA2_ERRNO(EPIPE) ARA2_ERRNO(EDOM) ARA2_ERRNO(ERANGE)
    ARA2_ERRNO(EDEADLK) ARA2_ERRNO(ENAMETOOLONG) ARA2_ERRNO(ENOLCK) ARA2_ERRNO(ENOSYS) ARA2_ERRNO(ENOTEMPTY)
    ARA2_ERRNO(ELOOP) ARA2_ERRNO(ENOMSG) ARA2_ERRNO(EIDRM) ARA2_ERRNO(ECHRNG) ARA2_ERRNO(EL2NSYNC)
    ARA2_ERRNO(EL3HLT) ARA2_ERRNO(EL3RST) ARA2_ERRNO(ELNRNG) ARA2_ERRNO(EUNATCH) ARA2_ERRNO(ENOCSI)
    ARA2_ERRNO(EL2HLT) ARA2_ERRNO(EBADE) ARA2_ERRNO(EBADR) ARA2_ERRNO(EXFULL) ARA2_ERRNO(ENOANO) ARA2_ERRNO(EBADRQC)
    ARA2_ERRNO(EBADSLT) ARA2_ERRNO(EBFONT) ARA2_ERRNO(ENOSTR) ARA2_ERRNO(ENODATA) ARA2_ERRNO(ETIME)
    ARA2_ERRNO(ENOSR) ARA2_ERRNO(ENONET) ARA2_ERRNO(ENOPKG) ARA2_ERRNO(EREMOTE) ARA2_ERRNO(ENOLINK) ARA2_ERRNO(EADV)
    ARA2_ERRNO(ESRMNT) ARA2_ERRNO(ECOMM) ARA2_ERRNO(EPROTO) ARA2_ERRNO(EMULTIHOP) ARA2_ERRNO(EDOTDOT)
    ARA2_ERRNO(EBADMSG) ARA2_ERRNO(EOVERFLOW) ARA2_ERRNO(ENOTUNIQ) ARA2_ERRNO(EBADFD) ARA2_ERRNO(EREMCHG)
    ARA2_ERRNO(ELIBACC) ARA2_ERRNO(ELIBBAD) ARA2_ERRNO(ELIBSCN) ARA2_ERRNO(ELIBMAX) ARA2_ERRNO(ELIBEXEC)
    ARA2_ERRNO(EILSEQ) ARA2_ERRNO(ERESTART) ARA2_ERRNO(ESTRPIPE) ARA2_ERRNO(EUSERS) ARA2_ERRNO(ENOTSOCK)
    ARA2_ERRNO(EDESTADDRREQ) ARA2_ERRNO(EMSGSIZE) ARA2_ERRNO(EPROTOTYPE) ARA2_ERRNO(ENOPROTOOPT)
    ARA2_ERRNO(EPROTONOSUPPORT) ARA2_ERRNO(ESOCKTNOSUPPORT) ARA2_ERRNO(EOPNOTSUPP) ARA2_ERRNO(EPFNOSUPPORT)
    ARA2_ERRNO(EAFNOSUPPORT) ARA2_ERRNO(EADDRINUSE) ARA2_ERRNO(EADDRNOTAVAIL) ARA2_ERRNO(ENETDOWN)
    ARA2_ERRNO(ENETUNREACH) ARA2_ERRNO(ENETRESET) ARA2_ERRNO(ECONNABORTED) ARA2_ERRNO(ECONNRESET)
    ARA2_ERRNO(ENOBUFS) ARA2_ERRNO(EISCONN) ARA2_ERRNO(ENOTCONN) ARA2_ERRNO(ESHUTDOWN) ARA2_ERRNO(ETOOMANYREFS)
    ARA2_ERRNO(ETIMEDOUT) ARA2_ERRNO(ECONNREFUSED) ARA2_ERRNO(EHOSTDOWN) ARA2_ERRNO(EHOSTUNREACH)
    ARA2_ERRNO(EALREADY) ARA2_ERRNO(EINPROGRESS) ARA2_ERRNO(ESTALE) ARA2_ERRNO(EUCLEAN) ARA2_ERRNO(ENOTNAM)
    ARA2_ERRNO(ENAVAIL) ARA2_ERRNO(EISNAM) ARA2_ERRNO(EREMOTEIO) ARA2_ERRNO(EDQUOT) ARA2_ERRNO(ENOMEDIUM)
    ARA2_ERRNO(EMEDIUMTYPE) ARA2_ERRNO(ECANCELED) ARA2_ERRNO(ENOKEY) ARA2_ERRNO(EKEYEXPIRED) ARA2_ERRNO(EKEYREVOKED)
    ARA2_ERRNO(EKEYREJECTED) ARA2_ERRNO(EOWNERDEAD) ARA2_ERRNO(ENOTRECOVERABLE) ARA2_ERRNO(ERFKILL)
    ARA2_ERRNO(EHWPOISON)
#undef ARA2_ERRNO
    default:
      return "UnknownErrno";
  }
}

std::string os_error_message(int os_code) {
  char buffer[128];
  // GNU strerror_r: returns a pointer that may or may not be `buffer`.
  return std::string(strerror_r(os_code, buffer, sizeof buffer));
}

}  // namespace tallowind::tensor
