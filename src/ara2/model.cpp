#include "ara2/model.hpp"

#include <fmt/format.h>
#include <utility>

#include "ara2/inference.hpp"
#include "ara2/text.hpp"

namespace tallowind::ara2 {
namespace {

using tallowind::tensor::Tensor;
using tallowind::tensor::TensorMemory;

/// Registers a descriptor-backed tensor with the library through a private
/// duplicate, which is closed whatever the call does.
Result<void*> register_tensor(const SessionShared& session, const Tensor& tensor) {
  auto duplicate = tensor.clone_fd();
  if (!duplicate) return fail(CoreError::unsupported_layout("clone_fd failed: " + duplicate.error().display()));
  void* registration = nullptr;
  auto status = session.library().call<Entry::dv_shmfd_register>(session.handle(), duplicate->get(),
                                                                 tensor.size_bytes(), std::uint64_t{0},
                                                                 std::uint64_t{0}, &registration);
  duplicate->reset();
  if (!status) return fail(std::move(status.error()));
  if (registration == nullptr) return fail(CoreError::null_pointer("shmfd_register returned null"));
  return registration;
}

}  // namespace

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

std::string_view memory_kind_name(TensorMemory memory) noexcept {
  switch (memory) {
    case TensorMemory::DmaBuf: return "dma";
    case TensorMemory::Shm: return "shm";
    default: return "mem";
  }
}

std::string index_error_text(Direction direction, std::uint64_t index, std::uint64_t count) {
  const char* noun = direction == Direction::Input ? "input" : "output";
  return fmt::format("{} index {} out of range (model has {} {}s)", noun, index, count, noun);
}

void unregister_slots(const SessionShared& session, std::vector<TensorSlot>& slots) noexcept {
  const ClientLibrary& library = session.library();
  for (TensorSlot& slot : slots) {
    void* registration = std::exchange(slot.registration, nullptr);
    if (registration != nullptr && library.has(Entry::dv_shmfd_unregister)) {
      (void)library.call_raw<Entry::dv_shmfd_unregister>(session.handle(), registration);
    }
  }
}

void release_slots(std::vector<TensorSlot>& slots) noexcept {
  for (TensorSlot& slot : slots) {
    Tensor released = std::move(slot.tensor);
  }
  slots.clear();
}

namespace {

/// Slots that were never installed or were replaced: withdrawn, then released.
void discard_slots(const SessionShared& session, std::vector<TensorSlot>& slots) noexcept {
  unregister_slots(session, slots);
  release_slots(slots);
}

}  // namespace

Result<Model> Model::load(const EndpointRef& endpoint, std::string_view path_bytes) {
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
  return Model(endpoint, handle);
}

Model::Model(EndpointRef endpoint, void* handle) noexcept : endpoint_(std::move(endpoint)), handle_(handle) {}

Model::Model(Model&& other) noexcept
    : inputs_(std::move(other.inputs_)),
      outputs_(std::move(other.outputs_)),
      endpoint_(std::move(other.endpoint_)),
      handle_(std::exchange(other.handle_, nullptr)),
      timeout_ms_(other.timeout_ms_),
      allocated_(std::exchange(other.allocated_, false)),
      run_io_(std::move(other.run_io_)) {}

Model& Model::operator=(Model&& other) noexcept {
  if (this != &other) {
    (void)close();
    inputs_ = std::move(other.inputs_);
    outputs_ = std::move(other.outputs_);
    endpoint_ = std::move(other.endpoint_);
    handle_ = std::exchange(other.handle_, nullptr);
    timeout_ms_ = other.timeout_ms_;
    allocated_ = std::exchange(other.allocated_, false);
    run_io_ = std::move(other.run_io_);
  }
  return *this;
}

Model::~Model() { (void)close(); }

Result<void> Model::close() noexcept {
  if (handle_ == nullptr) return {};
  auto unloaded = session().library().call_raw<Entry::dv_model_unload>(std::exchange(handle_, nullptr));
  allocated_ = false;
  // Withdrawn while the session is surely still open.
  unregister_slots(session(), inputs_);
  unregister_slots(session(), outputs_);
  // The share may be the session's last: the endpoint array is freed and the
  // session closed here, after the unload and before the tensors go.
  endpoint_ = EndpointRef{};
  run_io_.reset();
  release_slots(inputs_);
  release_slots(outputs_);
  if (!unloaded) return fail(std::move(unloaded.error()));
  return {};
}

records::ModelCounts Model::counts() const noexcept { return records::read_model_counts(handle_); }

std::uint64_t Model::count(Direction direction) const noexcept {
  const auto both = counts();
  return direction == Direction::Input ? both.inputs : both.outputs;
}

std::int32_t Model::raw_count(Direction direction) const noexcept {
  return static_cast<std::int32_t>(static_cast<std::int64_t>(count(direction)));
}

Result<InputTensorInfo> Model::input_info(std::uint64_t index) const {
  return records::read_input_info(handle_, index);
}

Result<OutputTensorInfo> Model::output_info(std::uint64_t index) const {
  return records::read_output_info(handle_, abi(), index);
}

Result<TensorFields> Model::tensor_fields(Direction direction, std::uint64_t index) const {
  return records::read_tensor_fields(handle_, abi(), direction, index);
}

Result<std::vector<TensorSlot>> Model::create_slots(Direction direction, std::optional<TensorMemory> memory) const {
  const std::uint64_t total = count(direction);
  std::vector<TensorSlot> slots;
  // A negative count (sign-extended to a huge value) holds no records.
  if (raw_count(direction) <= 0) return slots;
  for (std::uint64_t index = 0; index < total; ++index) {
    auto fields = tensor_fields(direction, index);
    if (!fields) {
      discard_slots(session(), slots);
      return fail(std::move(fields.error()));
    }
    // Inputs hold one byte per element whatever `size` and `bpp` say.
    auto tensor = direction == Direction::Input ? Tensor::create({fields->nch, fields->height, fields->width}, memory)
                                                : Tensor::create({fields->size}, memory);
    if (!tensor) {
      discard_slots(session(), slots);
      return fail(CoreError::tensor(tensor.error().display()));
    }
    void* registration = nullptr;
    if (tensor->memory() != TensorMemory::Mem) {
      auto registered = register_tensor(session(), *tensor);
      if (!registered) {
        discard_slots(session(), slots);
        return fail(std::move(registered.error()));
      }
      registration = *registered;
    }
    slots.push_back(TensorSlot{std::move(*tensor), registration});
  }
  return slots;
}

Result<void> Model::allocate_tensors(std::optional<TensorMemory> memory) {
  if (!is_open()) return fail(CoreError::internal("allocate_tensors on a closed model"));
  run_io_.reset();  // describes the slots about to be replaced
  auto inputs = create_slots(Direction::Input, memory);
  if (!inputs) return fail(std::move(inputs.error()));
  std::vector<TensorSlot> previous = std::exchange(inputs_, std::move(*inputs));
  discard_slots(session(), previous);

  auto outputs = create_slots(Direction::Output, memory);
  if (!outputs) return fail(std::move(outputs.error()));
  previous = std::exchange(outputs_, std::move(*outputs));
  discard_slots(session(), previous);
  allocated_ = true;
  return {};
}

}  // namespace tallowind::ara2
