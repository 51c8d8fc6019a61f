#include "ara2/client_library.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <fmt/format.h>
#include <vector>

#include "ara2/text.hpp"

namespace ara2 {
namespace {

/// The loader's pending error text, if any; reading it clears it.
std::optional<std::string> take_loader_error() {
  const char* text = dlerror();
  if (text == nullptr) return std::nullopt;
  return std::string(text);
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

bool ClientLibrary::has(Entry entry) const noexcept {
  return table_ && (*table_)[static_cast<std::size_t>(entry)].address != nullptr;
}

Result<void*> ClientLibrary::function(Entry entry) const {
  const Slot& slot = (*table_)[static_cast<std::size_t>(entry)];
  if (slot.address != nullptr) return slot.address;
  return fail(CoreError::internal(
      fmt::format("Expected function, got error.: LibraryLoad({})", quote_escaped(slot.lookup_error))));
}

Result<ClientLibrary> load_client_library(std::optional<Abi> forced, std::span<const std::string_view> names) {
  struct Unusable {
    std::string file;
    std::optional<Version4> version;
  };
  std::optional<Unusable> first_unusable;
  std::optional<std::string> last_error;  // empty optional: the loader gave no reason

  for (const std::string_view name : names) {
    const std::string name_z(name);
    (void)dlerror();
    void* raw_handle = dlopen(name_z.c_str(), RTLD_LAZY);
    if (raw_handle == nullptr) {
      last_error = take_loader_error();
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
    if (!first_unusable) first_unusable = Unusable{name_z, version};
    // `library` closes its handle here.
  }

  if (first_unusable) return fail(CoreError::unsupported_generation(first_unusable->file, first_unusable->version));
  std::vector<std::string> tried(names.begin(), names.end());
  return fail(CoreError::library_load_failed(
      tried, last_error ? "dlopen failed" : "dlopen failed, but system did not report the error"));
}

Result<ClientLibrary> load_client_library() {
  auto forced = parse_abi_override(std::getenv("ARA2_ABI"));
  if (!forced) return fail(std::move(forced.error()));
  return load_client_library(*forced, kLibraryNames);
}

}  // namespace ara2
