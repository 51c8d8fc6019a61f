#include "python/module_state.hpp"

#include <sys/mman.h>

#include <utility>

namespace tallowind::python {

void* ParkedMappings::take(std::size_t bytes, std::size_t& mapped) noexcept {
  for (std::size_t i = 0; i < mappings_.size(); ++i) {
    const Mapping found = mappings_[i];
    if (found.data == nullptr || found.size < bytes || found.size / 2 > bytes) continue;
    for (std::size_t j = i; j + 1 < mappings_.size(); ++j) mappings_[j] = mappings_[j + 1];
    mappings_.back() = Mapping{};
    mapped = found.size;
    return found.data;
  }
  return nullptr;
}

void ParkedMappings::park(void* data, std::size_t size) noexcept {
  if (size > kBytesLimit) {
    ::munmap(data, size);
    return;
  }
  // Newest in front; the oldest goes when the cache is full or too large.
  Mapping carry{data, size};
  std::size_t total = 0;
  for (Mapping& slot : mappings_) {
    std::swap(slot, carry);
    total += slot.size;
  }
  if (carry.data != nullptr) ::munmap(carry.data, carry.size);
  for (std::size_t i = mappings_.size(); i-- > 0 && total > kBytesLimit;) {
    if (mappings_[i].data == nullptr) continue;
    total -= mappings_[i].size;
    ::munmap(mappings_[i].data, mappings_[i].size);
    mappings_[i] = Mapping{};
  }
}

void ParkedMappings::release_all() noexcept {
  for (Mapping& slot : mappings_) {
    if (slot.data != nullptr) ::munmap(slot.data, slot.size);
    slot = Mapping{};
  }
}

namespace {

template <class T, std::size_t N>
void clear_all(std::array<T*, N>& objects) noexcept {
  for (T*& object : objects) Py_CLEAR(object);
}

}  // namespace

void ModuleState::teardown() noexcept {
  parked_arrays.release_all();
  clear_all(state_members);
  clear_all(abi_members);
  clear_all(output_type_members);
  clear_all(exceptions);
  clear_all(types);
  numpy_ready = false;
}

constinit ModuleState detail::the_module_state{};

}  // namespace tallowind::python
