// Data between Python objects and tensor slots, and numpy's C API table.
#include "python/tensor_io.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include <sys/mman.h>

#include "ara2/records.hpp"
#include "python/module_state.hpp"

// numpy's C API table, shared with image.cpp (which defines NO_IMPORT_ARRAY).
#define PY_ARRAY_UNIQUE_SYMBOL tallowind_ara2_numpy_api
#include <numpy/arrayobject.h>

namespace tallowind::python {

bool ensure_numpy() {
  ModuleState& state = module_state();
  if (state.numpy_ready) return true;
  if (_import_array() < 0) return false;
  state.numpy_ready = true;
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
// dequantised output costs several times the conversion itself, so released
// mappings are parked for the next arrays of about their size (a frame loop
// alternates get_output_tensor and dequantize, of different sizes): the
// module state's ParkedMappings, all unmapped when any model or pipeline
// closes and at teardown. Containers are made and freed holding the
// interpreter lock.
constexpr std::size_t kMappedArrayBytes = std::size_t{4} << 20;

void* map_array_memory(std::size_t bytes, std::size_t& mapped) {
  if (void* parked = module_state().parked_arrays.take(bytes, mapped)) return parked;
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  (void)::madvise(memory, bytes, MADV_HUGEPAGE);  // a hint; refused where huge pages are off
  mapped = bytes;
  return memory;
}

void slice_container_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->mapped != 0) {
    module_state().parked_arrays.park(container->data, container->mapped);
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
  PyTypeObject*& type = module_state().type(TypeId::SliceContainer);
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

/// The tensor memory's own text, without the "Tensor error: " prefix.
std::nullptr_t raise_tensor_text(std::string_view text) { return to_python(ara2::CoreError::tensor_access(text)); }

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
      to_python(ara2::CoreError::index_out_of_range(
          ara2::index_error_text(Direction::Input, 0, model.count(Direction::Input))));
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

PyObject* read_output(const OutputReader& reader, const ara2::TensorSet& set) {
  if (!ensure_numpy()) return nullptr;
  void* out = nullptr;
  // The elements are converted under the map; the array is made after it ends.
  auto container = set.with_output(reader.index, [&](std::span<const std::uint8_t> bytes) -> Ref {
    const std::uint64_t count = ara2::element_count(bytes.size(), reader.type);
    if (auto error = ara2::shape_error(count, reader.shape)) {
      raise_tensor_text(*error);
      return Ref();
    }
    const std::size_t element_bytes = reader.dequantize ? sizeof(float) : ara2::element_size(reader.type);
    Ref made = new_slice_container(count * element_bytes, out);
    if (!made) return made;
    if (reader.dequantize) {
      ara2::dequantize_elements(reader.type, bytes.data(), count, reader.offset, reader.qn, static_cast<float*>(out));
    } else {
      ara2::decode_elements(reader.type, bytes.data(), count, out);
    }
    return made;
  });
  if (!container) return to_python(container.error());
  if (!*container) return nullptr;
  return array_over(std::move(*container), out, reader.dequantize ? NPY_FLOAT32 : numpy_type(reader.type),
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
    to_python(ara2::CoreError::unknown_memory_kind(*text));
    return false;
  }
  return true;
}

void release_parked_arrays() noexcept { module_state().parked_arrays.release_all(); }

}  // namespace tallowind::python
