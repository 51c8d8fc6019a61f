// Data between Python objects and tensor slots, and numpy's C API table.
#include "python/tensor_io.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include <sys/mman.h>

#include "ara2/records.hpp"

// numpy's C API table, shared with image.cpp (which defines NO_IMPORT_ARRAY).
#define PY_ARRAY_UNIQUE_SYMBOL tallowind_ara2_numpy_api
#include <numpy/arrayobject.h>

namespace tallowind::python {

namespace {
bool numpy_ready = false;
}  // namespace

bool ensure_numpy() {
  if (numpy_ready) return true;
  if (_import_array() < 0) return false;
  numpy_ready = true;
  return true;
}

namespace {

using ara2::Direction;
using ara2::ElementType;

// ---------------------------------------------------------------------------
// numpy, loaded on first use so that importing the module never imports numpy


/// An exact numpy.ndarray, told without importing numpy when it is not loaded yet.
bool is_exact_ndarray(PyObject* object) {
  if (std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") != 0) return false;
  if (!ensure_numpy()) {
    PyErr_Clear();  // then it is not the ndarray we know; tobytes() decides
    return false;
  }
  return Py_TYPE(object) == &PyArray_Type;
}

// ---------------------------------------------------------------------------
// PySliceContainer: owns the memory of each array handed out

struct SliceContainer {
  PyObject_HEAD
  void* data;
  std::size_t mapped;  // non-zero: `data` is an anonymous mapping of that size, else malloc'd
};

// Arrays this large get their own anonymous mapping (huge pages where the
// kernel allows). Fresh memory faults in page by page, which for a 64 MiB
// dequantised output costs several times the conversion itself, so a few
// released mappings are parked for the next arrays of about their size (a
// frame loop alternates get_output_tensor and dequantize, of different sizes).
// Parked memory is bounded: at most kParkedCount mappings and kParkedBytesLimit
// bytes in all (the oldest go first; a larger array is unmapped at once), and
// all of it is unmapped when any model closes and when the module is torn
// down. The interpreter lock guards the cache: containers are made and freed
// holding it.
constexpr std::size_t kMappedArrayBytes = std::size_t{4} << 20;
constexpr std::size_t kParkedCount = 4;
constexpr std::size_t kParkedBytesLimit = std::size_t{128} << 20;

struct ParkedMapping {
  void* data = nullptr;
  std::size_t size = 0;
};
std::array<ParkedMapping, kParkedCount> parked;  // most recently released first

void* map_array_memory(std::size_t bytes, std::size_t& mapped) {
  for (std::size_t i = 0; i < parked.size(); ++i) {
    ParkedMapping& slot = parked[i];
    if (slot.data == nullptr || slot.size < bytes || slot.size / 2 > bytes) continue;
    const ParkedMapping found = slot;
    for (std::size_t j = i; j + 1 < parked.size(); ++j) parked[j] = parked[j + 1];
    parked.back() = ParkedMapping{};
    mapped = found.size;
    return found.data;
  }
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  (void)::madvise(memory, bytes, MADV_HUGEPAGE);  // a hint; refused where huge pages are off
  mapped = bytes;
  return memory;
}

void unmap_array_memory(void* data, std::size_t size) {
  if (size > kParkedBytesLimit) {
    ::munmap(data, size);
    return;
  }
  // Newest in front; the oldest goes when the cache is full or too large.
  ParkedMapping carry{data, size};
  std::size_t total = 0;
  for (ParkedMapping& slot : parked) {
    std::swap(slot, carry);
    total += slot.size;
  }
  if (carry.data != nullptr) ::munmap(carry.data, carry.size);
  for (std::size_t i = parked.size(); i-- > 0 && total > kParkedBytesLimit;) {
    if (parked[i].data == nullptr) continue;
    total -= parked[i].size;
    ::munmap(parked[i].data, parked[i].size);
    parked[i] = ParkedMapping{};
  }
}

void slice_container_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->mapped != 0) {
    unmap_array_memory(container->data, container->mapped);
  } else {
    std::free(container->data);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, slot<slice_container_dealloc>()},
    {0, nullptr},
};

// Internal and never registered, so it carries no module name. A spec name
// without a dot raises a DeprecationWarning, so the type is made as a
// "builtins" class and then named plainly (see slice_container_type).
PyType_Spec slice_container_spec = {"builtins.PySliceContainer", sizeof(SliceContainer), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slice_container_slots};

PyTypeObject* slice_container_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created = PyType_FromSpec(&slice_container_spec);
    if (created == nullptr) return nullptr;
    if (type == nullptr) {
      type = reinterpret_cast<PyTypeObject*>(created);
      // The spec's name copy stays owned by the type; only the pointer changes.
      type->tp_name = "PySliceContainer";
    } else {
      Py_DECREF(created);
    }
  }
  return type;
}

/// A container owning `bytes` fresh bytes (never a null address).
Ref new_slice_container(std::size_t bytes, void*& data) {
  PyTypeObject* type = slice_container_type();
  if (type == nullptr) return Ref();
  PyObject* container = type->tp_alloc(type, 0);
  if (container == nullptr) return Ref();
  auto* holder = reinterpret_cast<SliceContainer*>(container);
  holder->data = nullptr;
  holder->mapped = 0;
  if (bytes >= kMappedArrayBytes) holder->data = map_array_memory(bytes, holder->mapped);
  if (holder->data == nullptr) holder->data = std::malloc(bytes == 0 ? 1 : bytes);
  Ref owned = Ref::steal(container);
  if (holder->data == nullptr) {
    PyErr_NoMemory();
    return Ref();
  }
  data = holder->data;
  return owned;
}

int numpy_type(ElementType type) noexcept {
  switch (type) {
    case ElementType::Int8:
      return NPY_INT8;
    case ElementType::UInt8:
      return NPY_UINT8;
    case ElementType::Int16:
      return NPY_INT16;
    case ElementType::UInt16:
      return NPY_UINT16;
    case ElementType::Float32:
      return NPY_FLOAT32;
  }
  return NPY_UINT8;
}

/// A C-ordered writable (nch, height, width) array over the container's memory.
PyObject* array_over(Ref container, void* data, int type, const std::array<std::uint64_t, 3>& shape) {
  npy_intp dims[3] = {static_cast<npy_intp>(shape[0]), static_cast<npy_intp>(shape[1]),
                      static_cast<npy_intp>(shape[2])};
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type), 3, dims, nullptr, data,
                                         NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), container.release()) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

/// The tensor library's own text, without the "Tensor error: " prefix.
std::nullptr_t raise_tensor_text(std::string_view text) { return raise_as(ara2::ErrorClass::TensorError, text); }

}  // namespace

bool input_bytes(PyObject* data, InputBytes& out) {
  // A C-contiguous exact ndarray gives the very bytes tobytes() would copy out.
  if (is_exact_ndarray(data) && PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(data))) {
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    out.data = PyArray_DATA(array);
    out.size = static_cast<std::size_t>(PyArray_NBYTES(array));
    out.owner = Ref();
    return true;
  }
  out.owner = Ref::steal(PyObject_CallMethod(data, "tobytes", nullptr));
  if (!out.owner) return false;
  if (!PyBytes_Check(out.owner.get())) {
    raise_error(PyExc_TypeError, fmt::format("tobytes() must return bytes, not {}", Py_TYPE(out.owner.get())->tp_name));
    return false;
  }
  out.data = PyBytes_AS_STRING(out.owner.get());
  out.size = static_cast<std::size_t>(PyBytes_GET_SIZE(out.owner.get()));
  return true;
}

bool copy_input(const ara2::TensorSlot& slot, const InputBytes& bytes) {
  auto map = slot.tensor.map();
  if (!map) {
    raise_tensor_text(map.error().display());
    return false;
  }
  if (bytes.size != map->size()) {
    raise_as(ara2::ErrorClass::TensorError,
             fmt::format("input data size {} bytes does not match tensor size {} bytes", bytes.size, map->size()));
    return false;
  }
  if (bytes.size != 0) std::memcpy(map->data(), bytes.data, bytes.size);
  return true;
}

std::optional<OutputReader> output_reader(const ara2::LoadedModel& model, std::uint64_t index, bool dequantize) {
  // Only the numeric fields: no names are decoded.
  auto info = ara2::records::read_output_data_fields(model.handle(), model.abi(), index);
  if (!info) {
    to_python(info.error());
    return std::nullopt;
  }
  std::optional<ElementType> type;
  if (!dequantize) {
    type = ara2::output_element_type(info->bpp, info->quant.is_signed);
    if (!type) {
      raise_tensor_text(ara2::unsupported_bpp_text(info->bpp, index));
      return std::nullopt;
    }
  } else {
    // The quantisation mode lives on input 0; a model without inputs has none to read.
    if (!model.index_in_range(Direction::Input, 0)) {
      raise_error(PyExc_IndexError, ara2::index_error_text(Direction::Input, 0, model.count(Direction::Input)));
      return std::nullopt;
    }
    auto input = ara2::records::read_input_quantization(model.handle(), 0);
    if (!input || input->qmode != 9) {
      to_python(input ? ara2::CoreError::unsupported_quantization(input->qmode) : input.error());
      return std::nullopt;
    }
    type = ara2::dequantize_element_type(info->bpp, info->quant.is_signed);
    if (!type) {
      raise_tensor_text(ara2::unsupported_dequantize_bpp_text(info->bpp, index));
      return std::nullopt;
    }
  }
  return OutputReader{index, *type, dequantize, {info->nch, info->height, info->width}, info->quant.offset,
                      info->quant.qn};
}

PyObject* read_output(const OutputReader& reader, const ara2::TensorSlot& slot) {
  if (!ensure_numpy()) return nullptr;
  auto map = slot.tensor.map();
  if (!map) return raise_tensor_text(map.error().display());
  const std::uint64_t count = ara2::element_count(map->size(), reader.type);
  if (auto error = ara2::shape_error(count, reader.shape)) return raise_tensor_text(*error);
  const std::size_t element_bytes = reader.dequantize ? sizeof(float) : ara2::element_size(reader.type);
  void* out = nullptr;
  Ref container = new_slice_container(count * element_bytes, out);
  if (!container) return nullptr;
  if (reader.dequantize) {
    ara2::dequantize_elements(reader.type, map->data(), count, reader.offset, reader.qn, static_cast<float*>(out));
  } else {
    ara2::decode_elements(reader.type, map->data(), count, out);
  }
  map->release();
  return array_over(std::move(container), out, reader.dequantize ? NPY_FLOAT32 : numpy_type(reader.type),
                    reader.shape);
}

bool convert_memory(Arg arg, std::optional<tallowind::tensor::TensorMemory>& out) {
  using tallowind::tensor::TensorMemory;
  std::optional<std::string> text;
  if (!convert_optional_str(arg, text)) return false;
  if (!text) {
    out.reset();
  } else if (*text == "mem") {
    out = TensorMemory::Mem;
  } else if (*text == "shm") {
    out = TensorMemory::Shm;
  } else if (*text == "dma") {
    out = TensorMemory::DmaBuf;
  } else {
    raise_as(ara2::ErrorClass::Ara2Error,
             fmt::format("unknown memory type '{}': expected 'dma', 'shm', 'mem', or None", *text));
    return false;
  }
  return true;
}

void release_parked_arrays() noexcept {
  for (ParkedMapping& slot : parked) {
    if (slot.data != nullptr) ::munmap(slot.data, slot.size);
    slot = ParkedMapping{};
  }
}

}  // namespace tallowind::python
