#include "ara2/tensor_set.hpp"

#include <cstring>
#include <utility>

namespace tallowind::ara2 {
namespace {

using tallowind::tensor::Tensor;
using tallowind::tensor::TensorMemory;

// Stands in for the address of an empty buffer and for an empty array, so the
// library never sees a null data pointer.
alignas(8) constinit std::uint8_t empty_bytes[8] = {};
constinit records::TensorIoDescriptor empty_array[1] = {};

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

/// Registered tensors by registration, heap tensors by the address of a fresh map.
Result<void> describe(const std::vector<TensorSlot>& slots, InferenceIo& io) {
  for (const TensorSlot& slot : slots) {
    if (slot.registration != nullptr) {
      io.descriptors.push_back(records::registered_tensor(slot.registration, slot.size()));
      continue;
    }
    auto map = slot.tensor.map();
    if (!map) return fail(CoreError::tensor(map.error().display()));
    void* address = map->data() != nullptr ? static_cast<void*>(map->data()) : empty_bytes;
    io.descriptors.push_back(records::mapped_tensor(address, slot.size()));
    io.mappings.push_back(std::move(*map));
  }
  return {};
}

}  // namespace

std::string_view memory_kind_name(TensorMemory memory) noexcept {
  switch (memory) {
    case TensorMemory::DmaBuf: return "dma";
    case TensorMemory::Shm: return "shm";
    default: return "mem";
  }
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

void* InferenceIo::inputs() noexcept {
  return input_count == 0 ? static_cast<void*>(empty_array) : static_cast<void*>(descriptors.data());
}

void* InferenceIo::outputs() noexcept {
  return descriptors.size() == input_count ? static_cast<void*>(empty_array)
                                           : static_cast<void*>(descriptors.data() + input_count);
}

TensorSet::~TensorSet() {
  io_.reset();
  unregister_slots(*session_, inputs_);
  unregister_slots(*session_, outputs_);
  release_slots(inputs_);
  release_slots(outputs_);
}

Result<TensorSetPtr> TensorSet::create(const LoadedModel& model, std::optional<TensorMemory> memory) {
  auto set = std::make_shared<TensorSet>(model.session_share());
  if (auto allocated = set->allocate(model, memory); !allocated) return fail(std::move(allocated.error()));
  return set;
}

void TensorSet::discard(std::vector<TensorSlot>& slots) const noexcept {
  unregister_slots(*session_, slots);
  release_slots(slots);
}

Result<std::vector<TensorSlot>> TensorSet::create_slots(const LoadedModel& model, Direction direction,
                                                        std::optional<TensorMemory> memory) const {
  const std::uint64_t total = model.count(direction);
  std::vector<TensorSlot> slots;
  // A negative count (sign-extended to a huge value) holds no records.
  if (model.raw_count(direction) <= 0) return slots;
  for (std::uint64_t index = 0; index < total; ++index) {
    auto fields = model.tensor_fields(direction, index);
    if (!fields) {
      discard(slots);
      return fail(std::move(fields.error()));
    }
    // Inputs hold one byte per element whatever `size` and `bpp` say.
    auto tensor = direction == Direction::Input ? Tensor::create({fields->nch, fields->height, fields->width}, memory)
                                                : Tensor::create({fields->size}, memory);
    if (!tensor) {
      discard(slots);
      return fail(CoreError::tensor(tensor.error().display()).with_note(tensor.error().note()));
    }
    void* registration = nullptr;
    if (tensor->memory() != TensorMemory::Mem) {
      auto registered = register_tensor(*session_, *tensor);
      if (!registered) {
        discard(slots);
        return fail(std::move(registered.error()));
      }
      registration = *registered;
    }
    slots.push_back(TensorSlot{std::move(*tensor), registration});
  }
  return slots;
}

Result<void> TensorSet::allocate(const LoadedModel& model, std::optional<TensorMemory> memory) {
  io_.reset();  // describes the slots about to be replaced
  auto inputs = create_slots(model, Direction::Input, memory);
  if (!inputs) return fail(std::move(inputs.error()));
  std::vector<TensorSlot> previous = std::exchange(inputs_, std::move(*inputs));
  discard(previous);

  auto outputs = create_slots(model, Direction::Output, memory);
  if (!outputs) return fail(std::move(outputs.error()));
  previous = std::exchange(outputs_, std::move(*outputs));
  discard(previous);
  allocated_ = true;
  return {};
}

Result<void> TensorSet::check_inputs_writable() const {
  if (pending_ != 0) return fail(CoreError::inputs_in_use());
  return {};
}

CoreError TensorSet::index_error(Direction direction, std::uint64_t index, std::size_t count) {
  return CoreError::index_out_of_range(index_error_text(direction, index, count));
}

Result<void> TensorSet::check_input(std::uint64_t index, std::uint64_t size) const {
  if (auto writable = check_inputs_writable(); !writable) return writable;
  if (index >= inputs_.size()) return fail(index_error(Direction::Input, index, inputs_.size()));
  if (size != inputs_[index].size()) return fail(CoreError::input_size_mismatch(size, inputs_[index].size()));
  return {};
}

Result<void> TensorSet::write_input(std::uint64_t index, std::span<const std::uint8_t> bytes) {
  return with_input(index, bytes.size(), [bytes](std::span<std::uint8_t> tensor) {
    if (!bytes.empty()) std::memcpy(tensor.data(), bytes.data(), bytes.size());
  });
}

Result<InferenceIo*> TensorSet::io() {
  if (io_) return &*io_;
  InferenceIo io;
  // One allocation each for the descriptors and the maps.
  const std::size_t count = inputs_.size() + outputs_.size();
  io.descriptors.reserve(count);
  io.mappings.reserve(count);
  if (auto built = describe(inputs_, io); !built) return fail(std::move(built.error()));
  io.input_count = io.descriptors.size();
  if (auto built = describe(outputs_, io); !built) return fail(std::move(built.error()));
  io_ = std::move(io);
  return &*io_;
}

}  // namespace tallowind::ara2
