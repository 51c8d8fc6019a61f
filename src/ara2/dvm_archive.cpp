#include "ara2/dvm_archive.hpp"

#include <algorithm>
#include <memory>
#include <fmt/format.h>
#include <zlib.h>

#include "ara2/text.hpp"

namespace tallowind::ara2 {
namespace {

CoreError io_text(std::string text) { return CoreError::io(OsError::custom(std::move(text))); }

/// An archive whose structures contradict each other.
CoreError damaged(std::string what) { return CoreError::zip("damaged archive: " + what); }

CoreError multi_disk() { return CoreError::zip("unsupported archive: multi-disk archives are not supported"); }

std::uint16_t le16(const unsigned char* p) noexcept { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const unsigned char* p) noexcept { return le16(p) | (std::uint32_t{le16(p + 2)} << 16); }
std::uint64_t le64(const unsigned char* p) noexcept { return le32(p) | (std::uint64_t{le32(p + 4)} << 32); }
const unsigned char* bytes(std::string_view s) noexcept { return reinterpret_cast<const unsigned char*>(s.data()); }

/// True when all n bytes at offset were read; the end of the file and an
/// I/O error both leave them unread.
bool read_exact(int fd, std::uint64_t offset, void* out, std::size_t n) {
  const auto got = read_at(fd, offset, out, n);
  return got && *got == n;
}

// --- Where the directory is ------------------------------------------------
// The end record is searched backwards in the file's last 64 KiB, as ZIP
// readers do; a zip64 locator right before it leads to the zip64 end record,
// whose counts, size and offset replace the end record's. The directory ends
// where the (zip64) end record starts; its declared offset counts from the
// archive's first byte, so the difference is what precedes the archive.

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kDirectoryEntrySize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::uint64_t kEndRecordSearch = 0xFFFF;
constexpr std::uint32_t kZip64Marker = 0xFFFFFFFF;

/// Where the backward search finds the end record in `tail`, the file's last
/// bytes starting at `tail_start`: the last signature in the final 64 KiB (a
/// signature at offset 0 of the file is not taken).
std::optional<std::size_t> find_end_record(std::string_view tail, std::uint64_t tail_start) noexcept {
  if (tail.size() < 4) return std::nullopt;
  for (std::size_t p = tail.size() - 4 + 1; p-- > 0;) {
    if (tail.substr(p, 4) == "PK\x05\x06") return tail_start + p == 0 ? std::nullopt : std::optional(p);
  }
  return std::nullopt;
}

struct DirectoryPlace {
  std::uint64_t entries = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;  // from the archive's first byte
  std::uint64_t end = 0;     // in the file: where the (zip64) end record starts
};

/// The zip64 end record a locator at `locator_pos` leads to. Writers put it
/// right before the locator; the locator's own offset counts from the start
/// of the archive, so it is tried second.
Result<DirectoryPlace> read_zip64_end_record(const RegularFile& file, const unsigned char* locator,
                                             std::uint64_t locator_pos) {
  if (le32(locator + 4) != 0 || le32(locator + 16) > 1) return fail(multi_disk());
  unsigned char record[kZip64EndRecordSize];
  std::optional<std::uint64_t> found;
  for (const std::uint64_t at : {locator_pos - std::min<std::uint64_t>(locator_pos, kZip64EndRecordSize),
                                 le64(locator + 8)}) {
    if (locator_pos >= kZip64EndRecordSize && at <= locator_pos - kZip64EndRecordSize &&
        read_exact(file.fd.get(), at, record, sizeof record) &&
        le32(record) == 0x06064b50) {
      found = at;
      break;
    }
  }
  if (!found) return fail(damaged("the zip64 end of central directory locator leads to no zip64 end record"));
  if (le32(record + 16) != 0 || le32(record + 20) != 0) return fail(multi_disk());
  if (le64(record + 24) != le64(record + 32)) {
    return fail(damaged(fmt::format("the zip64 end record counts {} entries on this disk but {} in all",
                                    le64(record + 24), le64(record + 32))));
  }
  return DirectoryPlace{le64(record + 32), le64(record + 40), le64(record + 48), *found};
}

/// The directory the end record at `end` of `tail` declares.
Result<DirectoryPlace> place_directory(const RegularFile& file, std::string_view tail, std::uint64_t tail_start,
                                       std::size_t end) {
  const unsigned char* record = bytes(tail) + end;
  if (le16(record + 4) != 0 || le16(record + 6) != 0) return fail(multi_disk());
  DirectoryPlace place{le16(record + 10), le32(record + 12), le32(record + 16), tail_start + end};
  if (end >= kLocatorSize && tail.substr(end - kLocatorSize, 4) == "PK\x06\x07") {
    auto zip64 = read_zip64_end_record(file, record - kLocatorSize, place.end - kLocatorSize);
    if (!zip64) return zip64;
    place = *zip64;
  } else if (le16(record + 8) != place.entries) {
    return fail(damaged(fmt::format("the end record counts {} entries on this disk but {} in all",
                                    le16(record + 8), place.entries)));
  }
  if (place.size > kMaxDirectoryBytes) {
    return fail(CoreError::zip(
        fmt::format("unsupported archive: the central directory is larger than the {} bytes this reader accepts",
                    kMaxDirectoryBytes)));
  }
  if (place.offset > place.end || place.size > place.end - place.offset) {
    return fail(damaged(fmt::format("the central directory ({} bytes at offset {}) does not fit before the end "
                                    "record at offset {}", place.size, place.offset, place.end)));
  }
  if (place.entries > place.size / kDirectoryEntrySize) {
    return fail(damaged(fmt::format("the end record counts {} entries, more than its {}-byte central directory "
                                    "holds", place.entries, place.size)));
  }
  return place;
}

struct EntryInfo {
  std::string name;
  std::uint64_t local_header = 0;  // from the archive's first byte
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint32_t crc = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
};

/// Fills the fields an entry marks 0xFFFFFFFF from its zip64 extra field
/// (they appear there in this order); false when that field lacks one.
bool read_zip64_fields(std::string_view extra, EntryInfo& entry) {
  while (extra.size() >= 4) {
    const std::uint16_t id = le16(bytes(extra));
    const std::size_t length = std::min<std::size_t>(le16(bytes(extra) + 2), extra.size() - 4);
    std::string_view data = extra.substr(4, length);
    if (id == 1) {
      for (std::uint64_t* field : {&entry.uncompressed_size, &entry.compressed_size, &entry.local_header}) {
        if (*field != kZip64Marker) continue;
        if (data.size() < 8) return false;
        *field = le64(bytes(data));
        data.remove_prefix(8);
      }
      return true;
    }
    extra.remove_prefix(4 + length);
  }
  return entry.uncompressed_size != kZip64Marker && entry.compressed_size != kZip64Marker &&
         entry.local_header != kZip64Marker;
}

/// Every entry of the directory at `place`, each checked to lie inside it.
Result<std::vector<EntryInfo>> read_directory(const RegularFile& file, const DirectoryPlace& place) {
  std::string directory(static_cast<std::size_t>(place.size), '\0');
  if (!read_exact(file.fd.get(), place.end - place.size, directory.data(), directory.size())) {
    return fail(CoreError::zip("unexpected end of file in the central directory"));
  }
  std::vector<EntryInfo> entries;
  entries.reserve(static_cast<std::size_t>(place.entries));
  std::size_t at = 0;
  for (std::uint64_t i = 0; i < place.entries; ++i) {
    const std::string_view rest = std::string_view(directory).substr(at);
    const unsigned char* header = bytes(rest);
    if (rest.size() < kDirectoryEntrySize || le32(header) != 0x02014b50) {
      return fail(damaged(fmt::format("no central directory entry at offset {} (entry {} of {})",
                                      place.offset + at, i + 1, place.entries)));
    }
    const std::size_t name_length = le16(header + 28), extra_length = le16(header + 30);
    const std::size_t length = kDirectoryEntrySize + name_length + extra_length + le16(header + 32);
    if (length > rest.size()) {
      return fail(damaged(fmt::format("central directory entry {} of {} runs past the end of the directory",
                                      i + 1, place.entries)));
    }
    EntryInfo entry{std::string(rest.substr(kDirectoryEntrySize, name_length)), le32(header + 42),
                    le32(header + 20), le32(header + 24), le32(header + 16), le16(header + 8), le16(header + 10)};
    if (!read_zip64_fields(rest.substr(kDirectoryEntrySize + name_length, extra_length), entry)) {
      return fail(damaged(fmt::format("entry {} refers to a zip64 extra field that does not hold its sizes and "
                                      "offset", entry.name)));
    }
    entries.push_back(std::move(entry));
    at += length;
  }
  if (at != directory.size()) {
    return fail(damaged(fmt::format("the central directory holds {} bytes after its {} entries",
                                    directory.size() - at, place.entries)));
  }
  return entries;
}

struct InflateEnd {
  void operator()(z_stream* stream) const noexcept { inflateEnd(stream); }
};

/// Inflates the raw deflate stream of `compressed` bytes at `offset` into
/// `out`, never past its size: data that runs on fails the checksum later.
Result<void> inflate_entry(int fd, std::uint64_t offset, std::uint64_t compressed, std::string& out) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return fail(io_text("corrupt deflate stream"));
  const std::unique_ptr<z_stream, InflateEnd> owner(&z);
  std::vector<unsigned char> input(std::size_t{64} << 10);
  std::uint64_t produced = 0;
  while (produced < out.size()) {
    if (z.avail_in == 0) {
      const auto got = compressed == 0 ? std::expected<std::size_t, int>(0)
                                       : read_at(fd, offset, input.data(),
                                                 static_cast<std::size_t>(std::min<std::uint64_t>(compressed, input.size())));
      if (!got || *got == 0) {
        return fail(io_text(compressed == 0 ? "entry data ended before its declared size"
                                            : "unexpected end of file in entry data"));
      }
      offset += *got;
      compressed -= *got;
      z.next_in = input.data();
      z.avail_in = static_cast<uInt>(*got);
    }
    z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    z.avail_out = static_cast<uInt>(std::min<std::uint64_t>(out.size() - produced, 1u << 30));
    const int status = inflate(&z, Z_NO_FLUSH);
    produced = z.total_out;
    if (status == Z_STREAM_END && produced < out.size()) return fail(io_text("entry data ended before its declared size"));
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return fail(io_text("corrupt deflate stream"));
  }
  return {};
}

}  // namespace

struct DvmArchive::State {
  RegularFile file;
  std::uint64_t archive_start = 0;  // what precedes the archive in the file
  std::vector<EntryInfo> entries;
};

DvmArchive::DvmArchive(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
DvmArchive::DvmArchive(DvmArchive&&) noexcept = default;
DvmArchive& DvmArchive::operator=(DvmArchive&&) noexcept = default;
DvmArchive::~DvmArchive() = default;

Result<std::optional<DvmArchive>> DvmArchive::open(RegularFile file) {
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
  // An end record whose comment runs to the end of the file closes an
  // archive: what it declares must hold, or the archive is damaged. Any other
  // signature may be model bytes that look like one: unless what it declares
  // holds, the file has no archive.
  const bool closes_file = tail_start + *end + kEndRecordSize + le16(bytes(tail) + *end + 20) == file.size;
  auto place = place_directory(file, tail, tail_start, *end);
  Result<std::vector<EntryInfo>> entries = place ? read_directory(file, *place) : fail(std::move(place.error()));
  if (!entries) {
    if (closes_file) return fail(std::move(entries.error()));
    return std::nullopt;
  }
  auto state = std::make_unique<State>();
  state->file = std::move(file);
  state->archive_start = place->end - place->size - place->offset;
  state->entries = std::move(*entries);
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

  const int fd = state_->file.fd.get();
  const std::uint64_t header_at = state_->archive_start + entry.local_header;
  unsigned char header[kLocalHeaderSize];
  if (header_at < entry.local_header || !read_exact(fd, header_at, header, sizeof header)) {
    return fail(CoreError::zip("unexpected end of file in a local file header"));
  }
  if (le32(header) != 0x04034b50) return fail(CoreError::zip("invalid Zip archive: bad local file header"));
  const std::uint64_t data_at = header_at + kLocalHeaderSize + le16(header + 26) + le16(header + 28);

  // Never more than the declared size is read; data that runs on past it
  // fails the checksum below.
  std::string data(static_cast<std::size_t>(entry.uncompressed_size), '\0');
  if (entry.method == Z_DEFLATED) {
    if (auto inflated = inflate_entry(fd, data_at, entry.compressed_size, data); !inflated) {
      return fail(std::move(inflated.error()));
    }
  } else if (entry.compressed_size < data.size()) {
    return fail(io_text("entry data ended before its declared size"));
  } else if (!read_exact(fd, data_at, data.data(), data.size())) {
    return fail(io_text("unexpected end of file in entry data"));
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
  if (!archive) return fail(std::move(archive.error()));
  return *archive && (*archive)->contains(kMetadataEntry);
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
