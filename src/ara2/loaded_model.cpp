#include "ara2/loaded_model.hpp"

#include <fmt/format.h>
#include <utility>

#include "ara2/counters.hpp"
#include "ara2/text.hpp"

namespace tallowind::ara2 {

std::string model_name_for_path(std::string_view path) {
  // The last normal component: empty and "." components do not count, so
  // "dir/net.dvm/" and "dir/net.dvm/." both name "net.dvm".
  std::string_view last;
  bool found = false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") {
      last = part;
      found = true;
    }
    start = end + 1;
  }
  if (!found || last == "..") return "model";
  const std::size_t dot = last.rfind('.');
  // No dot, or the component starts with its only dot (".hidden"): whole component.
  if (dot == std::string_view::npos || dot == 0) return utf8_lossy(last);
  return utf8_lossy(last.substr(0, dot));
}

std::string index_error_text(Direction direction, std::uint64_t index, std::uint64_t count) {
  const char* noun = direction == Direction::Input ? "input" : "output";
  return fmt::format("{} index {} out of range (model has {} {}s)", noun, index, count, noun);
}

Result<LoadedModelPtr> LoadedModel::load(const EndpointRef& endpoint, std::string_view path_bytes) {
  const std::string name = model_name_for_path(path_bytes);
  if (path_bytes.find('\0') != std::string_view::npos) return fail(CoreError::null_pointer("Invalid model path"));
  if (name.find('\0') != std::string::npos) return fail(CoreError::null_pointer("Invalid model name"));
  const std::string path(path_bytes);

  const SessionShared& session = endpoint.session();
  void* handle = nullptr;
  if (auto ok = session.library().call<Entry::dv_model_load_from_file>(session.handle(), endpoint.record(),
                                                                       path.c_str(), name.c_str(), std::int32_t{1},
                                                                       &handle);
      !ok) {
    return fail(std::move(ok.error()));
  }
  // Every later read goes through the handle; a null one cannot be used.
  if (handle == nullptr) return fail(CoreError::null_pointer("dv_model_load_from_file returned a null model"));
  counters::model_loaded(1);  // observability hook
  return std::make_shared<LoadedModel>(endpoint, handle);
}

Result<void> LoadedModel::unload() noexcept {
  if (handle_ == nullptr) return {};
  counters::model_loaded(-1);  // observability hook
  auto unloaded = session().library().call_raw<Entry::dv_model_unload>(std::exchange(handle_, nullptr));
  if (!unloaded) return fail(std::move(unloaded.error()));
  return {};
}

}  // namespace tallowind::ara2
