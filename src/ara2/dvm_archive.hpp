// The ZIP archive a compiled model file may carry after its own bytes, with
// the "labels.txt" and "tallowind.json" entries. Files are untrusted input:
// every size is bounded and every entry is checked against its checksum.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ara2/core_error.hpp"
#include "ara2/file_io.hpp"

namespace tallowind::ara2 {

/// An entry may not inflate to more than this: both entries are small texts,
/// and what is built from them is larger still.
inline constexpr std::uint64_t kMaxEntryBytes = std::uint64_t{16} << 20;

/// The central directory is walked no further than this (a model's archive
/// holds a handful of entries).
inline constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t{16} << 20;

inline constexpr std::string_view kMetadataEntry = "tallowind.json";
inline constexpr std::string_view kLabelsEntry = "labels.txt";

/// Opens a model file for its archive. A NUL in the path, an unopenable file
/// or one that is not a regular file (a directory, a FIFO, a device) is an Io
/// error; nothing here blocks.
Result<RegularFile> open_model_file(std::string_view path);

/// The ZIP archive of a file, found as ZIP readers find it: the end record
/// from the file's tail, then the directory, then the wanted entry, each read
/// by seeking (so it may follow other content, and a large model costs only
/// what the archive needs). Owns the file.
class DvmArchive {
 public:
  /// nullopt when the file holds no archive: no end record, or one that does
  /// not end the file (model bytes that look like one) and whose directory
  /// does not hold. An error when an archive is found but cannot be used: a
  /// truncated end record, a directory that is missing or invalid ("damaged
  /// archive: ..."), a multi-disk archive, a directory beyond
  /// kMaxDirectoryBytes. Zip64 records and fields are read.
  static Result<std::optional<DvmArchive>> open(RegularFile file);

  DvmArchive(DvmArchive&&) noexcept;
  DvmArchive& operator=(DvmArchive&&) noexcept;
  ~DvmArchive();

  /// Exact, case-sensitive match on the full entry name.
  bool contains(std::string_view name) const noexcept;

  /// The entry's contents, inflated and checked, as UTF-8 text; nullopt when
  /// there is no such entry.
  Result<std::optional<std::string>> read_text(std::string_view name, std::uint64_t limit = kMaxEntryBytes);

  std::size_t entry_count() const noexcept;

 private:
  struct State;
  explicit DvmArchive(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

/// Lines split at LF, trimmed of Unicode white space, empty ones dropped.
std::vector<std::string> split_labels(std::string_view text);

Result<bool> dvm_has_metadata(std::string_view path);
Result<std::vector<std::string>> dvm_read_labels(std::string_view path);
/// The metadata entry's text, nullopt when the file carries none.
Result<std::optional<std::string>> dvm_read_metadata_text(std::string_view path);

}  // namespace tallowind::ara2
