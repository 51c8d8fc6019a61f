#include "ara2/dvm_archive.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unzip.h>
#include <zlib.h>

#include "ara2/file_io.hpp"
#include "ara2/text.hpp"

namespace ara2 {
namespace {

CoreError io_text(std::string text) { return CoreError::io(OsError::custom(std::move(text))); }

// --- In-memory I/O layer for minizip -------------------------------------

struct MemorySource {
  const unsigned char* data;
  std::uint64_t size;
};

struct MemoryStream {
  const MemorySource* source;
  std::uint64_t position = 0;
  // Set by a read that hit the end; minizip asks for it right after a short
  // read, which turns the read into an error instead of silently using zeros.
  bool short_read = false;
};

voidpf ZCALLBACK memory_open(voidpf opaque, const void*, int) {
  return new (std::nothrow) MemoryStream{static_cast<const MemorySource*>(opaque)};
}

uLong ZCALLBACK memory_read(voidpf, voidpf stream, void* buffer, uLong size) {
  auto* s = static_cast<MemoryStream*>(stream);
  const std::uint64_t available = s->position < s->source->size ? s->source->size - s->position : 0;
  const std::uint64_t n = std::min<std::uint64_t>(size, available);
  if (n > 0) std::memcpy(buffer, s->source->data + s->position, n);
  s->position += n;
  s->short_read = n < size;
  return static_cast<uLong>(n);
}

uLong ZCALLBACK memory_write(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK memory_tell(voidpf, voidpf stream) { return static_cast<MemoryStream*>(stream)->position; }

long ZCALLBACK memory_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* s = static_cast<MemoryStream*>(stream);
  std::uint64_t base;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    case ZLIB_FILEFUNC_SEEK_CUR: base = s->position; break;
    case ZLIB_FILEFUNC_SEEK_END: base = s->source->size; break;
    default: return -1;
  }
  // Offsets past the end belong to structures that lie about where they are.
  if (offset > s->source->size || base > s->source->size - offset) return -1;
  s->position = base + offset;
  return 0;
}

int ZCALLBACK memory_close(voidpf, voidpf stream) {
  delete static_cast<MemoryStream*>(stream);
  return 0;
}

int ZCALLBACK memory_error(voidpf, voidpf stream) { return static_cast<MemoryStream*>(stream)->short_read ? 1 : 0; }

// --- End record ------------------------------------------------------------

constexpr std::size_t kEndRecordSize = 22;
constexpr std::uint64_t kEndRecordSearch = 0xFFFF;

std::uint16_t le16(const unsigned char* p) noexcept { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

/// Where minizip's backward search finds the end record: the last signature in
/// the final 64 KiB (a signature at offset 0 is not taken, as minizip does not).
std::optional<std::uint64_t> find_end_record(const MemorySource& source) noexcept {
  if (source.size < 4) return std::nullopt;
  const std::uint64_t lowest = source.size > kEndRecordSearch ? source.size - kEndRecordSearch : 0;
  for (std::uint64_t p = source.size - 4 + 1; p-- > lowest;) {
    const unsigned char* d = source.data + p;
    if (d[0] == 0x50 && d[1] == 0x4B && d[2] == 0x05 && d[3] == 0x06) return p == 0 ? std::nullopt : std::optional(p);
  }
  return std::nullopt;
}

/// Why minizip refused the bytes: an archive that is there but unusable is an
/// error, anything else means there is no archive.
Result<std::optional<DvmArchive>> classify_open_failure(const MemorySource& source) {
  const auto end = find_end_record(source);
  if (!end) return std::nullopt;
  if (source.size - *end < kEndRecordSize) {
    return fail(CoreError::zip("unexpected end of file in the end of central directory record"));
  }
  const unsigned char* record = source.data + *end;
  if (le16(record + 4) != 0 || le16(record + 6) != 0) {
    return fail(CoreError::zip("unsupported archive: multi-disk archives are not supported"));
  }
  return std::nullopt;
}

struct UnzipCloser {
  void operator()(void* handle) const noexcept { unzClose(handle); }
};

struct CurrentFileCloser {
  void operator()(void* handle) const noexcept { unzCloseCurrentFile(handle); }
};

struct EntryInfo {
  std::string name;
  unz64_file_pos position;
  std::uint64_t uncompressed_size;
  std::uint32_t crc;
  std::uint16_t flags;
  std::uint16_t method;
};

}  // namespace

struct DvmArchive::State {
  MemorySource source;
  zlib_filefunc64_def functions;
  std::unique_ptr<void, UnzipCloser> handle;
  std::vector<EntryInfo> entries;
};

DvmArchive::DvmArchive(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
DvmArchive::DvmArchive(DvmArchive&&) noexcept = default;
DvmArchive& DvmArchive::operator=(DvmArchive&&) noexcept = default;
DvmArchive::~DvmArchive() = default;

Result<std::optional<DvmArchive>> DvmArchive::open(std::string_view bytes) {
  // The state lives on the heap: minizip keeps a pointer to the source.
  auto state = std::make_unique<State>();
  state->source = {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
  state->functions = {memory_open, memory_read, memory_write, memory_tell,
                      memory_seek, memory_close, memory_error, &state->source};
  state->handle.reset(unzOpen2_64(&state->source, &state->functions));
  if (!state->handle) return classify_open_failure(state->source);

  unzFile zip = state->handle.get();
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip, &global) != UNZ_OK) return std::nullopt;
  for (std::uint64_t i = 0; i < global.number_entry; ++i) {
    int status = i == 0 ? unzGoToFirstFile(zip) : unzGoToNextFile(zip);
    unz_file_info64 info{};
    if (status == UNZ_OK) status = unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    EntryInfo entry{};
    if (status == UNZ_OK) {
      entry.name.resize(info.size_filename + 1);
      status = unzGetCurrentFileInfo64(zip, &info, entry.name.data(), entry.name.size(), nullptr, 0, nullptr, 0);
      entry.name.resize(info.size_filename);
    }
    if (status == UNZ_OK) status = unzGetFilePos64(zip, &entry.position);
    if (status == UNZ_ERRNO) {
      return fail(CoreError::zip("unexpected end of file in the central directory"));
    }
    if (status != UNZ_OK) return std::nullopt;  // an entry that is not one: no valid directory
    entry.uncompressed_size = info.uncompressed_size;
    entry.crc = static_cast<std::uint32_t>(info.crc);
    entry.flags = static_cast<std::uint16_t>(info.flag);
    entry.method = static_cast<std::uint16_t>(info.compression_method);
    state->entries.push_back(std::move(entry));
  }
  return DvmArchive(std::move(state));
}

std::size_t DvmArchive::entry_count() const noexcept { return state_->entries.size(); }

bool DvmArchive::contains(std::string_view name) const noexcept {
  return std::any_of(state_->entries.begin(), state_->entries.end(),
                     [&](const EntryInfo& e) { return e.name == name; });
}

Result<std::optional<std::string>> DvmArchive::read_text(std::string_view name, std::uint64_t limit) {
  const auto found = std::find_if(state_->entries.begin(), state_->entries.end(),
                                  [&](const EntryInfo& e) { return e.name == name; });
  if (found == state_->entries.end()) return std::nullopt;
  const EntryInfo& entry = *found;

  if (entry.flags & 1) return fail(CoreError::zip("unsupported archive: encrypted entries are not supported"));
  if (entry.method != 0 && entry.method != Z_DEFLATED) {
    return fail(CoreError::zip(fmt::format("unsupported archive: compression method {} is not supported", entry.method)));
  }
  if (entry.uncompressed_size > limit) {
    return fail(CoreError::zip(fmt::format("entry {} declares {} bytes, more than the {} this reader accepts", name,
                                           entry.uncompressed_size, limit)));
  }

  unzFile zip = state_->handle.get();
  int status = unzGoToFilePos64(zip, &entry.position);
  if (status == UNZ_OK) status = unzOpenCurrentFile(zip);
  if (status == UNZ_ERRNO) return fail(CoreError::zip("unexpected end of file in a local file header"));
  if (status != UNZ_OK) return fail(CoreError::zip("invalid Zip archive: bad local file header"));
  const std::unique_ptr<void, CurrentFileCloser> open_entry(zip);

  // Never more than the declared size is inflated; data that runs on past it
  // fails the checksum below.
  std::string data(entry.uncompressed_size, '\0');
  std::uint64_t total = 0;
  while (total < data.size()) {
    const unsigned chunk = static_cast<unsigned>(std::min<std::uint64_t>(data.size() - total, 1u << 20));
    const int n = unzReadCurrentFile(zip, data.data() + total, chunk);
    if (n == UNZ_ERRNO) return fail(io_text("unexpected end of file in entry data"));
    if (n < 0) return fail(io_text("corrupt deflate stream"));
    if (n == 0) return fail(io_text("entry data ended before its declared size"));
    total += static_cast<unsigned>(n);
  }
  std::uint32_t crc = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
  for (std::uint64_t offset = 0; offset < data.size(); offset += 1u << 30) {
    const auto length = static_cast<uInt>(std::min<std::uint64_t>(data.size() - offset, 1u << 30));
    crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data.data() + offset), length));
  }
  if (crc != entry.crc) return fail(io_text("invalid checksum"));
  if (!is_valid_utf8(data)) return fail(io_text("stream did not contain valid UTF-8"));
  return data;
}

Result<std::string> read_whole_file(std::string_view path, std::uint64_t limit) {
  if (path.find('\0') != std::string_view::npos) return fail(io_text("file name contained an unexpected NUL byte"));
  // Non-blocking only for the open: a FIFO without a writer would otherwise
  // hang the caller (who holds the interpreter lock) before the first read.
  const UniqueFd fd = open_for_reading(std::string(path));
  if (!fd) return fail(CoreError::io(OsError::from_errno(errno)));
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return fail(CoreError::io(OsError::from_errno(errno)));
  }

  struct stat info {};
  std::uint64_t expected = 0;
  if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)) expected = static_cast<std::uint64_t>(info.st_size);

  limit = std::min(limit, std::uint64_t{1} << 62);
  auto data = read_up_to(fd.get(), limit, expected);
  if (!data) return fail(CoreError::io(OsError::from_errno(data.error())));
  if (data->size() > limit) return fail(io_text(fmt::format("file is larger than the {} bytes this reader accepts", limit)));
  return std::move(*data);
}

std::vector<std::string> split_labels(std::string_view text) {
  std::vector<std::string> labels;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view label = trim_unicode_whitespace(text.substr(start, end - start));
    if (!label.empty()) labels.emplace_back(label);
    start = end + 1;
  }
  return labels;
}

Result<bool> dvm_has_metadata(std::string_view path) {
  auto bytes = read_whole_file(path);
  if (!bytes) return fail(std::move(bytes.error()));
  auto archive = DvmArchive::open(*bytes);
  // Any archive failure means "no metadata" here; only the file read raises.
  if (!archive || !*archive) return false;
  return (*archive)->contains(kMetadataEntry);
}

namespace {

Result<std::optional<std::string>> read_entry_text(std::string_view path, std::string_view name) {
  auto bytes = read_whole_file(path);
  if (!bytes) return fail(std::move(bytes.error()));
  auto archive = DvmArchive::open(*bytes);
  if (!archive) return fail(std::move(archive.error()));
  if (!*archive) return std::nullopt;
  return (*archive)->read_text(name);
}

}  // namespace

Result<std::vector<std::string>> dvm_read_labels(std::string_view path) {
  auto text = read_entry_text(path, kLabelsEntry);
  if (!text) return fail(std::move(text.error()));
  if (!*text) return std::vector<std::string>{};
  return split_labels(**text);
}

Result<std::optional<std::string>> dvm_read_metadata_text(std::string_view path) {
  return read_entry_text(path, kMetadataEntry);
}

}  // namespace ara2
