#include "ara2/client_library.hpp"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <fmt/format.h>
#include <vector>

#include "ara2/text.hpp"

namespace tallowind::ara2 {
namespace {

/// The loader's pending error text, if any; reading it clears it.
std::optional<std::string> take_loader_error() {
  const char* text = dlerror();
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

/// The file the loader mapped for a handle, or "?" if it will not say.
std::string mapped_file(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) return "?";
  return map->l_name;
}

/// What a user needs beside the fixed message: each candidate's outcome, where
/// the loader looked, and how to point the module at a library.
std::string load_failure_note(std::string_view reasons, std::string_view directory) {
  std::string where;
  if (!directory.empty()) {
    where = fmt::format("only in {} ({} is set)", directory, kLibraryDirVariable);
  } else {
    const char* search = std::getenv("LD_LIBRARY_PATH");
    where = fmt::format(
        "in the loader's search path: LD_LIBRARY_PATH as the process started ({}), then the loader cache "
        "and the system library directories ({} is unset)",
        search && *search ? search : "unset", kLibraryDirVariable);
  }
  return fmt::format(
      "The client library was looked for {}; per candidate:{}\n"
      "To use the emulator, start the program with `ara2-emulator run -- PROGRAM ...`, or set {} to the "
      "directory `ara2-emulator env` prints before the first session. For a vendor installation, set {} to "
      "its library directory, or add that directory to LD_LIBRARY_PATH before the program starts.",
      where, reasons, kLibraryDirVariable, kLibraryDirVariable);
}

}  // namespace

Result<std::optional<Abi>> parse_abi_override(const char* value) {
  if (value == nullptr) return std::nullopt;
  const std::string_view raw(value);
  if (!is_valid_utf8(raw)) return std::nullopt;
  const std::string_view trimmed = trim_unicode_whitespace(raw);
  if (trimmed == "1.1") return Abi::V1_1;
  if (trimmed == "1.3") return Abi::V1_3;
  return fail(CoreError::invalid_abi_override(quote_escaped(trimmed)));
}

void ClientLibrary::HandleCloser::operator()(void* handle) const noexcept {
  // The close result is of no use to anyone at this point.
  (void)dlclose(handle);
}

std::string ClientLibrary::loaded_path() const { return handle_ ? mapped_file(handle_.get()) : "?"; }

bool ClientLibrary::has(Entry entry) const noexcept {
  return table_ && (*table_)[static_cast<std::size_t>(entry)].address != nullptr;
}

Result<void*> ClientLibrary::function(Entry entry) const {
  const Slot& slot = (*table_)[static_cast<std::size_t>(entry)];
  if (slot.address != nullptr) return slot.address;
  return fail(CoreError::internal(
      fmt::format("Expected function, got error.: LibraryLoad({})", quote_escaped(slot.lookup_error))));
}

Result<ClientLibrary> load_client_library(std::optional<Abi> forced, std::span<const std::string_view> names,
                                          std::string_view directory) {
  struct Unusable {
    std::string file;
    std::optional<Version4> version;
  };
  std::optional<Unusable> first_unusable;
  std::optional<std::string> last_error;  // empty optional: the loader gave no reason
  std::string reasons;                    // one line per candidate, for the error's note

  for (const std::string_view name : names) {
    const std::string name_z(name);
    const std::string path = directory.empty() ? name_z : fmt::format("{}/{}", directory, name);
    (void)dlerror();
    void* raw_handle = dlopen(path.c_str(), RTLD_LAZY);
    if (raw_handle == nullptr) {
      last_error = take_loader_error();
      reasons += fmt::format("\n  {}", last_error ? *last_error : path + ": the loader gave no reason");
      continue;
    }
    ClientLibrary library;
    library.handle_.reset(raw_handle);
    library.file_name_ = name_z;
    library.table_ = std::make_unique<std::array<ClientLibrary::Slot, kEntryCount>>();
    for (std::size_t i = 0; i < kEntryCount; ++i) {
      const std::string symbol(kEntryNames[i]);
      (void)dlerror();
      void* address = dlsym(raw_handle, symbol.c_str());
      auto error = take_loader_error();
      auto& slot = (*library.table_)[i];
      if (address != nullptr && !error) {
        slot.address = address;
      } else {
        // A symbol that resolves to null cannot be called either.
        slot.lookup_error = error ? *error : symbol + ": symbol resolves to a null address";
      }
    }

    std::optional<Version4> version;
    if (library.has(Entry::dv_get_client_lib_version)) {
      std::array<std::uint8_t, 4> bytes{};
      auto status = library.call_raw<Entry::dv_get_client_lib_version>(bytes.data());
      if (status && *status == 0) version = bytes;
    }
    library.version_ = version;

    if (forced) {
      library.abi_ = *forced;
      return library;
    }
    if (version && (*version)[0] == 1 && ((*version)[1] == 1 || (*version)[1] == 3)) {
      library.abi_ = (*version)[1] == 1 ? Abi::V1_1 : Abi::V1_3;
      return library;
    }
    reasons += fmt::format("\n  {}: opened {}, which reports {}", name, mapped_file(raw_handle),
                           version ? "DVAPI " + version_text(*version) : std::string("no DVAPI version"));
    if (!first_unusable) first_unusable = Unusable{name_z, version};
    // `library` closes its handle here.
  }

  auto error = [&]() {
    if (first_unusable) return CoreError::unsupported_generation(first_unusable->file, first_unusable->version);
    std::vector<std::string> tried(names.begin(), names.end());
    return CoreError::library_load_failed(
        tried, last_error ? "dlopen failed" : "dlopen failed, but system did not report the error");
  }();
  return fail(std::move(error).with_note(load_failure_note(reasons, directory)));
}

Result<ClientLibrary> load_client_library() {
  auto forced = parse_abi_override(std::getenv("ARA2_ABI"));
  if (!forced) return fail(std::move(forced.error()));
  const char* directory = std::getenv(kLibraryDirVariable);
  return load_client_library(*forced, kLibraryNames, directory ? directory : "");
}

}  // namespace tallowind::ara2
