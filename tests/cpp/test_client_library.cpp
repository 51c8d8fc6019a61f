#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>

#include <array>
#include <string>

#include "ara2/client_library.hpp"
#include "temp_tree.hpp"

using tallowind::ara2::Abi;
using tallowind::ara2::Entry;
using tallowind::ara2::ErrorKind;

TEST(AbiOverride, TrimsUnicodeWhiteSpaceAndAcceptsOnlyTheTwoGenerations) {
  struct Case {
    const char* value;
    std::optional<Abi> forced;
  };
  const Case accepted[] = {
      {nullptr, std::nullopt},       {"1.1", Abi::V1_1},
      {"1.3", Abi::V1_3},            {" 1.3 ", Abi::V1_3},
      {"\t1.1\n", Abi::V1_1},        {"\xC2\xA0" "1.3\xE2\x80\x83", Abi::V1_3},  // NBSP, em space
      {"\xFF" "1.3", std::nullopt},  // not UTF-8: as if unset
  };
  for (const Case& c : accepted) {
    auto parsed = tallowind::ara2::parse_abi_override(c.value);
    ASSERT_TRUE(parsed) << (c.value ? c.value : "(unset)");
    EXPECT_EQ(*parsed, c.forced) << (c.value ? c.value : "(unset)");
  }
}

TEST(AbiOverride, OtherValuesAreRejectedQuoted) {
  const std::pair<const char*, const char*> cases[] = {
      {"", R"(ARA2_ABI is set to ""; expected 1.1 or 1.3)"},
      {"   ", R"(ARA2_ABI is set to ""; expected 1.1 or 1.3)"},
      {"2.0", R"(ARA2_ABI is set to "2.0"; expected 1.1 or 1.3)"},
      {" 1.2 ", R"(ARA2_ABI is set to "1.2"; expected 1.1 or 1.3)"},
      {"1.3\"", R"(ARA2_ABI is set to "1.3\""; expected 1.1 or 1.3)"},
      {"v1.3", R"(ARA2_ABI is set to "v1.3"; expected 1.1 or 1.3)"},
  };
  for (auto [value, message] : cases) {
    auto parsed = tallowind::ara2::parse_abi_override(value);
    ASSERT_FALSE(parsed) << value;
    EXPECT_EQ(parsed.error().kind(), ErrorKind::InvalidAbiOverride);
    EXPECT_EQ(parsed.error().message(), message);
  }
}

TEST(EntryTable, NamesFollowTableOrder) {
  const std::pair<Entry, const char*> cases[] = {
      {Entry::dv_stringify_status_code, "dv_stringify_status_code"},
      {Entry::dv_session_close, "dv_session_close"},
      {Entry::dv_endpoint_free_group, "dv_endpoint_free_group"},
      {Entry::dv_infer_sync, "dv_infer_sync"},
      {Entry::dv_infer_async, "dv_infer_async"},
      {Entry::dv_infer_get_inflight_count, "dv_infer_get_inflight_count"},
      {Entry::dv_get_client_lib_version, "dv_get_client_lib_version"},
      {Entry::dv_infer_wait_for_completion_s, "dv_infer_wait_for_completion_s"},
  };
  for (auto [entry, name] : cases) EXPECT_EQ(tallowind::ara2::entry_name(entry), name);
  EXPECT_EQ(static_cast<std::size_t>(Entry::dv_infer_sync), 23u);
  EXPECT_EQ(static_cast<std::size_t>(Entry::dv_get_client_lib_version), 38u);
  EXPECT_EQ(static_cast<std::size_t>(Entry::dv_infer_wait_for_completion_s) + 1, tallowind::ara2::kEntryCount);
}

// libm is present on every Linux host and exports none of the dv_ functions,
// which makes it a library that opens but reports no version.
constexpr std::string_view NOT_A_CLIENT = "libm.so.6";

TEST(LoadClientLibrary, NoCandidateOpensNamesAllOfThem) {
  const std::array<std::string_view, 2> names = {"libara2-test-missing-a.so", "libara2-test-missing-b.so"};
  auto library = tallowind::ara2::load_client_library(std::nullopt, names);
  ASSERT_FALSE(library);
  EXPECT_EQ(library.error().kind(), ErrorKind::LibraryLoadFailed);
  EXPECT_EQ(library.error().message(),
            "could not load the ARA-2 client library; tried libara2-test-missing-a.so, libara2-test-missing-b.so "
            "(last error: dlopen failed)");
}

TEST(LoadClientLibrary, FirstUnusableLibraryIsReportedWhateverFollows) {
  const std::array<std::string_view, 3> names = {"libara2-test-missing.so", NOT_A_CLIENT, "libz.so.1"};
  auto library = tallowind::ara2::load_client_library(std::nullopt, names);
  ASSERT_FALSE(library);
  EXPECT_EQ(library.error().kind(), ErrorKind::UnsupportedGeneration);
  EXPECT_EQ(library.error().message(),
            "libm.so.6 would not report a DVAPI version (no usable dv_get_client_lib_version); "
            "set ARA2_ABI to 1.1 or 1.3 to force one");
}

TEST(LoadClientLibrary, ForcedGenerationAcceptsAnyLibraryAndMissingEntriesFailPerCall) {
  for (Abi forced : {Abi::V1_1, Abi::V1_3}) {
    const std::array<std::string_view, 2> names = {"libara2-test-missing.so", NOT_A_CLIENT};
    auto library = tallowind::ara2::load_client_library(forced, names);
    ASSERT_TRUE(library) << library.error().message();
    EXPECT_EQ(library->abi(), forced);
    EXPECT_EQ(library->file_name(), NOT_A_CLIENT);
    EXPECT_FALSE(library->version_reported());
    EXPECT_FALSE(library->has(Entry::dv_session_close));
    for (int attempt = 0; attempt < 2; ++attempt) {  // the library stays usable after a failed call
      auto status = library->call_raw<Entry::dv_session_close>(nullptr);
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().kind(), ErrorKind::Internal);
      const std::string& message = status.error().message();
      EXPECT_EQ(message.rfind("Expected function, got error.: LibraryLoad(", 0), 0u) << message;
      EXPECT_NE(message.find("dv_session_close"), std::string::npos) << message;
    }
    auto checked = library->call<Entry::dv_infer_async>(nullptr, nullptr, nullptr, nullptr, nullptr, 1, nullptr);
    ASSERT_FALSE(checked);
    EXPECT_NE(checked.error().message().find("dv_infer_async"), std::string::npos);
  }
}

// Where the loader found a library, so a test can offer it from a directory of its own.
std::string loaded_file(const char* name) {
  void* handle = dlopen(name, RTLD_LAZY);
  link_map* map = nullptr;
  if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) return {};
  std::string path = map->l_name;
  dlclose(handle);
  return path;
}

TEST(LoadClientLibrary, FailureNoteGivesEachCandidatesReasonAndLeavesTheMessageAlone) {
  const std::array<std::string_view, 2> names = {"libara2-test-missing.so", NOT_A_CLIENT};
  auto library = tallowind::ara2::load_client_library(std::nullopt, names);
  ASSERT_FALSE(library);
  EXPECT_EQ(library.error().message().find('\n'), std::string::npos);
  const std::string& note = library.error().note();
  EXPECT_NE(note.find("\n  libara2-test-missing.so: cannot open shared object file"), std::string::npos) << note;
  EXPECT_NE(note.find("\n  libm.so.6: opened /"), std::string::npos) << note;
  EXPECT_NE(note.find("which reports no DVAPI version"), std::string::npos) << note;
  EXPECT_NE(note.find("ARA2_CLIENT_LIBRARY_DIR is unset"), std::string::npos) << note;
  EXPECT_NE(note.find("ara2-emulator run --"), std::string::npos) << note;
}

TEST(LoadClientLibrary, DirectoryReplacesTheLoadersSearchAndKeepsTheListedNames) {
  TempTree tree;
  const std::string libm = loaded_file("libm.so.6");
  ASSERT_FALSE(libm.empty());
  tree.link("libara2-test-client.so", libm);
  const std::array<std::string_view, 2> names = {NOT_A_CLIENT, "libara2-test-client.so"};

  // libm.so.6 is on the loader's path but not in the directory: only the link opens.
  auto library = tallowind::ara2::load_client_library(Abi::V1_3, names, tree.root());
  ASSERT_TRUE(library) << library.error().message();
  EXPECT_EQ(library->file_name(), "libara2-test-client.so");

  auto unusable = tallowind::ara2::load_client_library(std::nullopt, names, tree.root());
  ASSERT_FALSE(unusable);
  EXPECT_EQ(unusable.error().message(),
            "libara2-test-client.so would not report a DVAPI version (no usable dv_get_client_lib_version); "
            "set ARA2_ABI to 1.1 or 1.3 to force one");
  const std::string& note = unusable.error().note();
  EXPECT_NE(note.find("only in " + tree.root() + " (ARA2_CLIENT_LIBRARY_DIR is set)"), std::string::npos) << note;
  EXPECT_NE(note.find(tree.path("libm.so.6") + ": cannot open"), std::string::npos) << note;
}
