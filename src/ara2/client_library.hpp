// The vendor client library, opened at run time: its function table, the
// DVAPI generation it implements, and the one typed way to call an entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "ara2/core_error.hpp"
#include "ara2/values.hpp"

namespace tallowind::ara2 {

/// Candidate file names, tried in this order; the loader's own search finds them.
inline constexpr std::array<std::string_view, 3> kLibraryNames = {
    "libaraclient_x86_64.so", "libaraclient.so", "libaraclient.so.1"};

/// When set and not empty, the directory the candidates are opened from
/// instead of the loader's search (which reads LD_LIBRARY_PATH only at
/// process start, too late for a running interpreter).
inline constexpr const char* kLibraryDirVariable = "ARA2_CLIENT_LIBRARY_DIR";

/// The function table, in table order: X(name) once per entry, the name being
/// the exported symbol's.
#define ARA2_CLIENT_ENTRIES(X) \
  X(dv_stringify_status_code) \
  X(dv_session_create_via_unix_socket) \
  X(dv_session_create_via_named_pipe) \
  X(dv_session_create_via_tcp_ipv4_socket) \
  X(dv_session_close) \
  X(dv_shmfd_register) \
  X(dv_shmfd_unregister) \
  X(dv_endpoint_get_list) \
  X(dv_endpoint_get_default_group) \
  X(dv_endpoint_create_group) \
  X(dv_endpoint_free_group) \
  X(dv_endpoint_check_status) \
  X(dv_endpoint_get_dram_statistics) \
  X(dv_endpoint_free_dram_statistics) \
  X(dv_endpoint_get_statistics) \
  X(dv_endpoint_free_statistics) \
  X(dv_model_load_from_file) \
  X(dv_model_load_from_blob) \
  X(dv_model_unload) \
  X(dv_model_get_parameters_from_file) \
  X(dv_model_get_parameters_from_blob) \
  X(dv_model_free_parameters) \
  X(dv_model_set_llm_cfg_params) \
  X(dv_infer_sync) \
  X(dv_infer_async) \
  X(dv_infer_wait_for_all_completion) \
  X(dv_infer_wait_for_completion) \
  X(dv_infer_get_req_id) \
  X(dv_infer_free) \
  X(dv_infer_get_inflight_count) \
  X(dv_get_endpoint_busyness) \
  X(dv_infer_sync_with_options) \
  X(dv_infer_async_with_options) \
  X(dv_fetch_outputs_by_layer_name) \
  X(dv_model_load_from_file_with_options) \
  X(dv_model_load_from_blob_with_options) \
  X(dv_exchange_current_version_details) \
  X(dv_retrieve_version_details) \
  X(dv_get_client_lib_version) \
  X(dv_free_version_details) \
  X(dv_client_set_log_level) \
  X(dv_endpoint_get_statistics_with_options) \
  X(dv_model_load_from_file_s) \
  X(dv_model_load_from_file_with_options_s) \
  X(dv_model_load_from_blob_with_options_s) \
  X(dv_infer_async_s) \
  X(dv_infer_async_with_options_s) \
  X(dv_infer_wait_for_completion_s)

enum class Entry : std::uint8_t {
#define ARA2_ENTRY_ENUMERATOR(name) name,
  ARA2_CLIENT_ENTRIES(ARA2_ENTRY_ENUMERATOR)
#undef ARA2_ENTRY_ENUMERATOR
};

/// The exported symbol names, indexed by Entry.
inline constexpr std::array kEntryNames = {
#define ARA2_ENTRY_NAME(name) std::string_view(#name),
    ARA2_CLIENT_ENTRIES(ARA2_ENTRY_NAME)
#undef ARA2_ENTRY_NAME
};

inline constexpr std::size_t kEntryCount = kEntryNames.size();
static_assert(kEntryCount == 48);

/// The exported symbol name of an entry.
constexpr std::string_view entry_name(Entry entry) noexcept { return kEntryNames[static_cast<std::size_t>(entry)]; }

/// Every library function returns a 32-bit status; 0 is success.
using Status = std::uint32_t;

/// C signatures of the entries the module calls. Handles are opaque pointers.
/// An entry without a specialisation cannot be called (compile error).
template <Entry E>
struct EntrySignature;
// clang-format off
template <> struct EntrySignature<Entry::dv_get_client_lib_version> { using type = Status(std::uint8_t* version4); };
template <> struct EntrySignature<Entry::dv_session_create_via_unix_socket> { using type = Status(const char* path, void** session); };
template <> struct EntrySignature<Entry::dv_session_create_via_tcp_ipv4_socket> { using type = Status(const char* ip, std::uint16_t port, void** session); };
template <> struct EntrySignature<Entry::dv_session_close> { using type = Status(void* session); };
template <> struct EntrySignature<Entry::dv_endpoint_get_list> { using type = Status(void* session, void** array, std::int32_t* count); };
template <> struct EntrySignature<Entry::dv_endpoint_free_group> { using type = Status(void* array); };
template <> struct EntrySignature<Entry::dv_endpoint_check_status> { using type = Status(void* session, void* endpoint, std::uint32_t* state); };
template <> struct EntrySignature<Entry::dv_endpoint_get_dram_statistics> { using type = Status(void* session, void* endpoint, void** stats, std::uint32_t* count); };
template <> struct EntrySignature<Entry::dv_endpoint_free_dram_statistics> { using type = Status(void* stats, std::uint32_t count); };
template <> struct EntrySignature<Entry::dv_model_load_from_file> { using type = Status(void* session, void* endpoint, const char* path, const char* name, std::int32_t one, void** model); };
template <> struct EntrySignature<Entry::dv_model_unload> { using type = Status(void* model); };
template <> struct EntrySignature<Entry::dv_shmfd_register> { using type = Status(void* session, int fd, std::uint64_t size, std::uint64_t zero1, std::uint64_t zero2, void** registration); };
template <> struct EntrySignature<Entry::dv_shmfd_unregister> { using type = Status(void* session, void* registration); };
template <> struct EntrySignature<Entry::dv_infer_sync> { using type = Status(void* session, void* endpoint, void* model, void* inputs, void* outputs, std::uint32_t timeout_ms, std::int32_t one, void** request); };
template <> struct EntrySignature<Entry::dv_infer_async> { using type = Status(void* session, void* endpoint, void* model, void* inputs, void* outputs, std::int32_t one, void** request); };
template <> struct EntrySignature<Entry::dv_infer_wait_for_completion> { using type = Status(void* session, void** requests, std::int32_t count, std::uint32_t timeout_ms, void** completed); };
template <> struct EntrySignature<Entry::dv_infer_get_req_id> { using type = Status(void* request, std::uint64_t* id); };
template <> struct EntrySignature<Entry::dv_infer_free> { using type = Status(void* request); };
template <> struct EntrySignature<Entry::dv_infer_get_inflight_count> { using type = Status(void* session, std::uint32_t* count); };
template <> struct EntrySignature<Entry::dv_retrieve_version_details> { using type = Status(void* session, void** array, std::uint8_t* count); };
// clang-format on

/// Whether the module ever calls an entry (it has a signature to be called with).
template <Entry E>
inline constexpr bool kEntryCalled = requires { typename EntrySignature<E>::type; };

/// kEntryCalled per entry, indexed by Entry.
inline constexpr std::array kEntriesCalled = {
#define ARA2_ENTRY_CALLED(name) kEntryCalled<Entry::name>,
    ARA2_CLIENT_ENTRIES(ARA2_ENTRY_CALLED)
#undef ARA2_ENTRY_CALLED
};

/// Reads ARA2_ABI's value (null when unset): no override when unset or not
/// UTF-8; "1.1"/"1.3" after trimming Unicode white space; anything else is
/// InvalidAbiOverride.
Result<std::optional<Abi>> parse_abi_override(const char* value);

/// One opened client library. Immutable after loading; closes its handle
/// (dlclose) when destroyed. Move-only.
class ClientLibrary {
 public:
  ClientLibrary(ClientLibrary&&) noexcept = default;
  ClientLibrary& operator=(ClientLibrary&&) noexcept = default;
  ~ClientLibrary() = default;

  Abi abi() const noexcept { return abi_; }
  bool version_reported() const noexcept { return version_.has_value(); }
  /// Meaningful only when version_reported().
  Version4 version() const noexcept { return version_.value_or(Version4{}); }
  const std::optional<Version4>& reported_version() const noexcept { return version_; }
  /// The candidate name the library was opened under.
  std::string_view file_name() const noexcept { return file_name_; }
  /// The file the loader mapped for it, or "?" when the loader will not say.
  std::string loaded_path() const;

  bool has(Entry entry) const noexcept;

  /// Calls an entry and returns its raw status. An entry the library lacks
  /// is an Internal error ("Expected function, got error.: ..."); the call
  /// does not happen and the library stays usable.
  template <Entry E, class... Args>
  Result<Status> call_raw(Args&&... args) const {
    using Fn = typename EntrySignature<E>::type;
    auto address = function(E);
    if (!address) return fail(std::move(address.error()));
    return reinterpret_cast<Fn*>(*address)(std::forward<Args>(args)...);
  }

  /// As call_raw, with a non-zero status turned into a Status error.
  template <Entry E, class... Args>
  Result<void> call(Args&&... args) const {
    auto status = call_raw<E>(std::forward<Args>(args)...);
    if (!status) return fail(std::move(status.error()));
    if (*status != 0) return fail(CoreError::status(*status));
    return {};
  }

 private:
  friend Result<ClientLibrary> load_client_library(std::optional<Abi>, std::span<const std::string_view>,
                                                   std::string_view);

  struct HandleCloser {
    void operator()(void* handle) const noexcept;
  };
  struct Slot {
    void* address = nullptr;
    std::string lookup_error;  // loader's text when address is null
  };

  ClientLibrary() = default;
  Result<void*> function(Entry entry) const;

  std::unique_ptr<void, HandleCloser> handle_;
  std::unique_ptr<std::array<Slot, kEntryCount>> table_;
  Abi abi_ = Abi::V1_3;
  std::optional<Version4> version_;
  std::string file_name_;
};

/// Opens the first usable candidate of kLibraryNames with the generation
/// forced by ARA2_ABI, if any, from ARA2_CLIENT_LIBRARY_DIR when that is set.
/// A failure's note lists each candidate's outcome and where they were looked for.
Result<ClientLibrary> load_client_library();

/// The same over explicit candidates, override and directory (empty: the
/// loader's search); lets tests use other files.
Result<ClientLibrary> load_client_library(std::optional<Abi> forced, std::span<const std::string_view> names,
                                          std::string_view directory = {});

}  // namespace tallowind::ara2
