#include "ara2/dvm_archive.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fmt/format.h>
#include <unzip.h>
#include <zlib.h>

#include "ara2/text.hpp"

namespace tallowind::ara2 {
namespace {

CoreError io_text(std::string text) { return CoreError::io(OsError::custom(std::move(text))); }

// --- I/O layer for minizip over a descriptor ----------------------------------
// minizip reads by seeking: the end record from the tail, then the directory,
// then one entry. Many of its reads are a few bytes long, so they are served
// from a window of the file read with one pread.

constexpr std::size_t kWindowBytes = 64 << 10;

/// The one stream minizip opens on a file; it lives in the archive's state,
/// so the callbacks allocate nothing.
struct FileStream {
  int fd = -1;
  std::uint64_t size = 0;
  std::uint64_t position = 0;
  // Set by a read that came back short (the end of the file or an I/O
  // error); minizip asks for it right after, which turns the read into an
  // error instead of silently using zeros.
  bool short_read = false;
  std::vector<unsigned char> window = std::vector<unsigned char>(kWindowBytes);
  std::uint64_t window_start = 0;
  std::size_t window_length = 0;

  /// Copies up to n bytes at position from the window, refilled as needed.
  std::size_t read(unsigned char* out, std::size_t n) noexcept {
    std::size_t done = 0;
    while (done < n && position < size) {
      if (position < window_start || position >= window_start + window_length) {
        // Near the end one window holds everything: minizip searches
        // backwards there for the end record.
        window_start = std::min(position, size > kWindowBytes ? size - kWindowBytes : 0);
        const auto got = read_at(fd, window_start, window.data(), window.size());
        window_length = got ? *got : 0;
        if (position >= window_start + window_length) break;
      }
      const auto offset = static_cast<std::size_t>(position - window_start);
      const std::size_t chunk = std::min(n - done, window_length - offset);
      std::memcpy(out + done, window.data() + offset, chunk);
      done += chunk;
      position += chunk;
    }
    return done;
  }
};

voidpf ZCALLBACK file_open(voidpf opaque, const void*, int) {
  auto* stream = static_cast<FileStream*>(opaque);
  stream->position = 0;
  stream->short_read = false;
  return stream;
}

uLong ZCALLBACK file_read(voidpf, voidpf stream, void* buffer, uLong size) {
  auto* s = static_cast<FileStream*>(stream);
  const std::size_t n = s->read(static_cast<unsigned char*>(buffer), size);
  s->short_read = n < size;
  return static_cast<uLong>(n);
}

uLong ZCALLBACK file_write(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK file_tell(voidpf, voidpf stream) { return static_cast<FileStream*>(stream)->position; }

long ZCALLBACK file_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* s = static_cast<FileStream*>(stream);
  std::uint64_t base;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    case ZLIB_FILEFUNC_SEEK_CUR: base = s->position; break;
    case ZLIB_FILEFUNC_SEEK_END: base = s->size; break;
    default: return -1;
  }
  // Offsets past the end belong to structures that lie about where they are.
  if (offset > s->size || base > s->size - offset) return -1;
  s->position = base + offset;
  return 0;
}

int ZCALLBACK file_close(voidpf, voidpf) { return 0; }

int ZCALLBACK file_error(voidpf, voidpf stream) { return static_cast<FileStream*>(stream)->short_read ? 1 : 0; }

// --- End record ------------------------------------------------------------

constexpr std::size_t kEndRecordSize = 22;
constexpr std::uint64_t kEndRecordSearch = 0xFFFF;

std::uint16_t le16(const unsigned char* p) noexcept { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

/// Where minizip's backward search finds the end record in `tail`, the
/// file's last bytes starting at `tail_start`: the last signature in the final
/// 64 KiB (a signature at offset 0 of the file is not taken, as minizip does not).
std::optional<std::size_t> find_end_record(std::string_view tail, std::uint64_t tail_start) noexcept {
  if (tail.size() < 4) return std::nullopt;
  for (std::size_t p = tail.size() - 4 + 1; p-- > 0;) {
    if (tail.substr(p, 4) == "PK\x05\x06") return tail_start + p == 0 ? std::nullopt : std::optional(p);
  }
  return std::nullopt;
}

/// Why minizip refused the file: an archive that is there but unusable is an
/// error, anything else means there is no archive.
Result<std::optional<DvmArchive>> classify_open_failure(const RegularFile& file) {
  const std::uint64_t tail_start = file.size > kEndRecordSearch ? file.size - kEndRecordSearch : 0;
  std::string tail(static_cast<std::size_t>(file.size - tail_start), '\0');
  const auto got = read_at(file.fd.get(), tail_start, tail.data(), tail.size());
  if (!got) return fail(CoreError::io(OsError::from_errno(got.error())));
  tail.resize(*got);
  const auto end = find_end_record(tail, tail_start);
  if (!end) return std::nullopt;
  if (tail.size() - *end < kEndRecordSize) {
    return fail(CoreError::zip("unexpected end of file in the end of central directory record"));
  }
  const auto* record = reinterpret_cast<const unsigned char*>(tail.data() + *end);
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
  RegularFile file;
  FileStream stream;
  zlib_filefunc64_def functions;
  std::unique_ptr<void, UnzipCloser> handle;
  std::vector<EntryInfo> entries;
};

DvmArchive::DvmArchive(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
DvmArchive::DvmArchive(DvmArchive&&) noexcept = default;
DvmArchive& DvmArchive::operator=(DvmArchive&&) noexcept = default;
DvmArchive::~DvmArchive() = default;

Result<std::optional<DvmArchive>> DvmArchive::open(RegularFile file) {
  // The state lives on the heap: minizip keeps a pointer to the source.
  auto state = std::make_unique<State>();
  state->file = std::move(file);
  state->stream.fd = state->file.fd.get();
  state->stream.size = state->file.size;
  state->functions = {file_open, file_read, file_write, file_tell, file_seek, file_close, file_error, &state->stream};
  state->handle.reset(unzOpen2_64(&state->stream, &state->functions));
  if (!state->handle) return classify_open_failure(state->file);

  unzFile zip = state->handle.get();
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip, &global) != UNZ_OK) return std::nullopt;
  std::uint64_t directory_start = 0;
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
    if (i == 0) directory_start = entry.position.pos_in_zip_directory;
    if (entry.position.pos_in_zip_directory - directory_start > kMaxDirectoryBytes) {
      return fail(CoreError::zip(
          fmt::format("unsupported archive: the central directory is larger than the {} bytes this reader accepts",
                      kMaxDirectoryBytes)));
    }
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

Result<RegularFile> open_model_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(io_text("file name contained an unexpected NUL byte"));
  auto file = open_regular_file(std::string(path));
  if (!file) return fail(CoreError::io(file.error()));
  return std::move(*file);
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
  auto file = open_model_file(path);
  if (!file) return fail(std::move(file.error()));
  auto archive = DvmArchive::open(std::move(*file));
  // Any archive failure means "no metadata" here; only the file read raises.
  if (!archive || !*archive) return false;
  return (*archive)->contains(kMetadataEntry);
}

namespace {

Result<std::optional<std::string>> read_entry_text(std::string_view path, std::string_view name) {
  auto file = open_model_file(path);
  if (!file) return fail(std::move(file.error()));
  auto archive = DvmArchive::open(std::move(*file));
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

}  // namespace tallowind::ara2
