// The model file's archive readers (metadata presence, labels, metadata text)
// on arbitrary file contents, through the path-taking calls the module makes.
#include <cstdlib>

#include "ara2/dvm_archive.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fuzz::MemFile file("dvm");
  file.assign({data, size});
  const auto has = tallowind::ara2::dvm_has_metadata(file.path());
  (void)tallowind::ara2::dvm_read_labels(file.path());
  const auto text = tallowind::ara2::dvm_read_metadata_text(file.path());
  // Both read the same directory: an entry one finds, the other must not miss,
  // and an archive one cannot use, the other cannot either.
  if (has && text && *has != text->has_value()) std::abort();
  if (!has && text) std::abort();
  return 0;
}
