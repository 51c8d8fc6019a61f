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

namespace ara2 {

/// Files are read whole; this bounds the memory one call may take (and stops
/// endless sources such as character devices).
inline constexpr std::uint64_t kMaxDvmFileBytes = std::uint64_t{4} << 30;

/// An entry may not inflate to more than this: both entries are small texts,
/// and what is built from them is larger still.
inline constexpr std::uint64_t kMaxEntryBytes = std::uint64_t{16} << 20;

inline constexpr std::string_view kMetadataEntry = "tallowind.json";
inline constexpr std::string_view kLabelsEntry = "labels.txt";

/// Reads a file completely. A NUL in the path, an unreadable file (a
/// directory included) or one larger than `limit` bytes is an Io error.
Result<std::string> read_whole_file(std::string_view path, std::uint64_t limit = kMaxDvmFileBytes);

/// A ZIP archive located inside a byte buffer by its end record, so it may
/// follow other content. Views the buffer, which must outlive it.
class DvmArchive {
 public:
  /// nullopt when the bytes hold no valid archive (no end record, an
  /// inconsistent directory); an error when an archive is found but cannot be
  /// used (a truncated structure, a multi-disk archive).
  static Result<std::optional<DvmArchive>> open(std::string_view bytes);

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

}  // namespace ara2
