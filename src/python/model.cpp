// Python class Model: a compiled model loaded on an endpoint.
#include "python/model.hpp"

#include <fmt/format.h>

#include <string>
#include <vector>

#include "python/model_data.hpp"
#include "python/types.hpp"

namespace ara2py {

using ara2::Direction;
using tallowind::tensor::TensorMemory;

std::optional<BorrowGuard> enter_shared(PyObject* self) { return enter_state(model_state(self), false); }

std::optional<BorrowGuard> enter_exclusive(PyObject* self) { return enter_state(model_state(self), true); }

std::nullptr_t raise_model_closed() { return raise_as(ara2::ErrorClass::Ara2Error, "model is closed"); }

std::nullptr_t raise_not_allocated() {
  return raise_as(ara2::ErrorClass::TensorError, "tensors not allocated: call allocate_tensors() first");
}

bool check_index(const ara2::Model& model, Direction direction, std::uint64_t index) {
  if (model.index_in_range(direction, index)) return true;
  raise_error(PyExc_IndexError, ara2::index_error_text(direction, index, model.count(direction)));
  return false;
}

bool check_allocated_index(const ara2::Model& model, Direction direction, std::uint64_t index) {
  if (!model.is_allocated()) {
    raise_not_allocated();
    return false;
  }
  return check_index(model, direction, index);
}

namespace {

// ---------------------------------------------------------------------------
// Counts and descriptions

PyObject* model_count(PyObject* self, Direction direction) {
  auto access = enter_shared(self);
  if (!access) return nullptr;
  const ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return raise_model_closed();
  return PyLong_FromUnsignedLongLong(model.count(direction));
}

PyObject* model_n_inputs(PyObject* self, void*) { return model_count(self, Direction::Input); }
PyObject* model_n_outputs(PyObject* self, void*) { return model_count(self, Direction::Output); }

/// What a description method reads: the full description, or only the sizing
/// fields (which do not depend on the layer output type being known).
enum class Read { Info, Fields };

/// The shared part of the eleven description methods: bind, enter, convert
/// the index, then the closed check and the index check, in that order.
template <Direction D, Read R, class Build>
PyObject* describe(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Build build) {
  PyObject* argv[1];
  if (!bind_args(name, args, nargs, kwnames, {"index"}, 1, argv)) return nullptr;
  auto access = enter_shared(self);
  if (!access) return nullptr;
  std::uint64_t index = 0;
  if (!convert_u64(argv[0], "index", index)) return nullptr;
  const ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return raise_model_closed();
  if (!check_index(model, D, index)) return nullptr;
  auto value = [&] {
    if constexpr (R == Read::Fields) {
      return model.tensor_fields(D, index);
    } else if constexpr (D == Direction::Input) {
      return model.input_info(index);
    } else {
      return model.output_info(index);
    }
  }();
  if (!value) return to_python(value.error());
  return build(*value);
}

PyObject* shape_tuple(const ara2::TensorFields& fields) {
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(fields.nch),
                       static_cast<unsigned long long>(fields.height), static_cast<unsigned long long>(fields.width));
}

PyObject* u64_object(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

#define ARA2_DESCRIBE(method, direction, read, expression)                                                      \
  PyObject* model_##method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {        \
    return describe<direction, read>(#method, self, args, nargs, kwnames,                                       \
                                     [](const auto& value) { return expression; });                             \
  }

ARA2_DESCRIBE(input_info, Direction::Input, Read::Info, make_input_tensor_info(value))
ARA2_DESCRIBE(output_info, Direction::Output, Read::Info, make_output_tensor_info(value))
ARA2_DESCRIBE(input_shape, Direction::Input, Read::Fields, shape_tuple(value))
ARA2_DESCRIBE(output_shape, Direction::Output, Read::Fields, shape_tuple(value))
ARA2_DESCRIBE(input_size, Direction::Input, Read::Fields, u64_object(value.size))
ARA2_DESCRIBE(output_size, Direction::Output, Read::Fields, u64_object(value.size))
ARA2_DESCRIBE(input_bpp, Direction::Input, Read::Fields, u64_object(value.bpp))
ARA2_DESCRIBE(output_bpp, Direction::Output, Read::Fields, u64_object(value.bpp))
ARA2_DESCRIBE(input_quants, Direction::Input, Read::Info, make_input_quantization(value.quant))
// Built from the whole description, so an unknown layer output type fails here too.
ARA2_DESCRIBE(output_quants, Direction::Output, Read::Info, make_output_quantization(value.quant))
ARA2_DESCRIBE(input_preprocess, Direction::Input, Read::Info, make_input_preprocess(value.preprocess))

#undef ARA2_DESCRIBE

// ---------------------------------------------------------------------------
// Timeout, close, context manager

PyObject* model_set_timeout_ms(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_args("set_timeout_ms", args, nargs, kwnames, {"timeout_ms"}, 1, argv)) return nullptr;
  auto access = enter_exclusive(self);
  if (!access) return nullptr;
  std::uint32_t timeout_ms = 0;
  if (!convert_u32(argv[0], "timeout_ms", timeout_ms)) return nullptr;
  ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return raise_model_closed();
  model.set_timeout_ms(timeout_ms);
  Py_RETURN_NONE;
}

PyObject* close_model(PyObject* self) {
  auto access = enter_exclusive(self);
  if (!access) return nullptr;
  auto closed = model_state(self).core.close();
  release_parked_arrays();
  if (!closed) return to_python(closed.error());
  Py_RETURN_NONE;
}

PyObject* model_close(PyObject* self, PyObject*) { return close_model(self); }

PyObject* model_enter(PyObject* self, PyObject*) {
  auto access = enter_shared(self);
  if (!access) return nullptr;
  return Py_NewRef(self);
}

PyObject* model_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3];
  if (!bind_args("__exit__", args, nargs, kwnames, {"exc_type", "exc_val", "exc_tb"}, 3, argv)) return nullptr;
  Ref closed = Ref::steal(close_model(self));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* model_repr(PyObject* self) {
  auto access = enter_shared(self);
  if (!access) return nullptr;
  const ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return PyUnicode_FromString("Model(closed)");
  const std::string text = fmt::format("Model(n_inputs={}, n_outputs={})", model.raw_count(Direction::Input),
                                       model.raw_count(Direction::Output));
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---------------------------------------------------------------------------
// Allocation and tensor accessors

PyObject* model_allocate_tensors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_args("allocate_tensors", args, nargs, kwnames, {"memory"}, 0, argv)) return nullptr;
  auto access = enter_exclusive(self);
  if (!access) return nullptr;
  std::optional<std::string> memory_text;
  if (!convert_optional_str(argv[0], "memory", memory_text)) return nullptr;
  std::optional<TensorMemory> memory;
  if (memory_text) {
    if (*memory_text == "mem") {
      memory = TensorMemory::Mem;
    } else if (*memory_text == "shm") {
      memory = TensorMemory::Shm;
    } else if (*memory_text == "dma") {
      memory = TensorMemory::DmaBuf;
    } else {
      return raise_as(ara2::ErrorClass::Ara2Error,
                      fmt::format("unknown memory type '{}': expected 'dma', 'shm', 'mem', or None", *memory_text));
    }
  }
  ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return raise_model_closed();
  if (auto allocated = model.allocate_tensors(memory); !allocated) return to_python(allocated.error());
  Py_RETURN_NONE;
}

/// input_tensor_memory and friends: what they read from the indexed slot.
template <Direction D, bool Exclusive, class Use>
PyObject* tensor_accessor(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Use use) {
  return with_allocated_index<D, Exclusive>(name, self, args, nargs, kwnames,
                                            [&](const ara2::Model& model, std::uint64_t index) {
                                              return use(model.slots(D)[index]);
                                            });
}

PyObject* slot_memory(const ara2::TensorSlot& slot) {
  const std::string_view name = ara2::memory_kind_name(slot.tensor.memory());
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* slot_fd(const ara2::TensorSlot& slot) {
  auto fd = slot.tensor.clone_fd();
  // The tensor library's own text, without the "Tensor error: " prefix.
  if (!fd) return raise_as(ara2::ErrorClass::TensorError, fd.error().display());
  PyObject* number = PyLong_FromLong(fd->get());
  if (number != nullptr) (void)fd->release();  // the caller owns it now
  return number;
}

PyObject* model_input_tensor_memory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tensor_accessor<Direction::Input, true>("input_tensor_memory", self, args, nargs, kwnames, slot_memory);
}
PyObject* model_output_tensor_memory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tensor_accessor<Direction::Output, false>("output_tensor_memory", self, args, nargs, kwnames, slot_memory);
}
PyObject* model_input_tensor_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tensor_accessor<Direction::Input, true>("input_tensor_fd", self, args, nargs, kwnames, slot_fd);
}
PyObject* model_output_tensor_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tensor_accessor<Direction::Output, false>("output_tensor_fd", self, args, nargs, kwnames, slot_fd);
}

// ---------------------------------------------------------------------------
// Finalisation

void model_dealloc(PyObject* self) {
  ModelState& state = model_state(self);
  // Off the owner thread the model is left loaded and its tensors alive.
  if (!state.affinity.may_release()) {
    ModelObject::free_instance(self);
    return;
  }
  if (auto closed = state.core.close(); !closed) report_unraisable(closed.error(), nullptr);
  release_parked_arrays();
  ModelObject::dealloc(self);
}

// ---------------------------------------------------------------------------
// Docstrings and the type

#define ARA2_INDEX_DOC(method, text) #method "($self, index)\n--\n\n" text "\n\nRaises:\n    IndexError: If index is out of range"

constexpr const char input_info_doc[] = ARA2_INDEX_DOC(input_info, "Get detailed information about an input tensor.");
constexpr const char output_info_doc[] =
    ARA2_INDEX_DOC(output_info, "Get detailed information about an output tensor.");
constexpr const char input_shape_doc[] =
    ARA2_INDEX_DOC(input_shape, "Get the shape of an input tensor as (channels, height, width).");
constexpr const char output_shape_doc[] =
    ARA2_INDEX_DOC(output_shape, "Get the shape of an output tensor as (channels, height, width).");
constexpr const char input_size_doc[] = ARA2_INDEX_DOC(input_size, "Get the size in bytes of an input tensor.");
constexpr const char output_size_doc[] = ARA2_INDEX_DOC(output_size, "Get the size in bytes of an output tensor.");
constexpr const char input_bpp_doc[] = ARA2_INDEX_DOC(input_bpp, "Get the bytes per element for an input tensor.");
constexpr const char output_bpp_doc[] =
    ARA2_INDEX_DOC(output_bpp, "Get the bytes per element for an output tensor.");
constexpr const char input_quants_doc[] =
    ARA2_INDEX_DOC(input_quants, "Get quantization parameters for an input tensor.");
constexpr const char output_quants_doc[] =
    ARA2_INDEX_DOC(output_quants, "Get quantization parameters for an output tensor.");
constexpr const char input_preprocess_doc[] = ARA2_INDEX_DOC(
    input_preprocess,
    "Get preprocessing parameters for an input tensor.\n"
    "\n"
    "Returns the per-channel ``mean`` and ``scale`` used to normalize\n"
    "float input data before quantization, plus layout-affecting flags\n"
    "(``bgr_to_rgb``, ``aspect_resize``, ``mirror``, ``center_crop``).");

#undef ARA2_INDEX_DOC

constexpr const char set_timeout_ms_doc[] =
    "set_timeout_ms($self, timeout_ms)\n--\n\n"
    "Set the inference timeout in milliseconds.\n"
    "\n"
    "Args:\n"
    "    timeout_ms: Timeout in milliseconds (default: 1000)";

constexpr const char close_doc[] =
    "close($self)\n--\n\n"
    "Unload the model and release its resources.\n"
    "\n"
    "After calling ``close()``, any further method call raises\n"
    "``Ara2Error``. Safe to call multiple times.";

constexpr const char enter_doc[] = "__enter__($self)\n--\n\n";
constexpr const char exit_doc[] = "__exit__($self, exc_type, exc_val, exc_tb)\n--\n\n";

constexpr const char allocate_tensors_doc[] =
    "allocate_tensors($self, memory=None)\n--\n\n"
    "Allocate input and output tensors for this model.\n"
    "\n"
    "Must be called before ``run()``, ``set_input_tensor()``, or any\n"
    "tensor accessor method.\n"
    "\n"
    "Args:\n"
    "    memory: Memory type for tensor allocation. One of ``\"dma\"``,\n"
    "            ``\"shm\"``, ``\"mem\"``, or ``None`` for auto-selection\n"
    "            (tries DMA first). Use ``\"dma\"`` for zero-copy workflows\n"
    "            with tallowind-image.";

#define ARA2_MEMORY_DOC(method, what, arg)                      \
  #method "($self, index)\n--\n\n"                              \
  "Get the memory type of " what " tensor.\n"                   \
  "\n"                                                          \
  "Args:\n"                                                     \
  "    index: " arg " tensor index (0-based)\n"                 \
  "\n"                                                          \
  "Returns:\n"                                                  \
  "    str: ``\"dma\"``, ``\"shm\"``, or ``\"mem\"``\n"         \
  "\n"                                                          \
  "Raises:\n"                                                   \
  "    IndexError: If index is out of range\n"                  \
  "    TensorError: If tensors are not allocated"

constexpr const char input_tensor_memory_doc[] = ARA2_MEMORY_DOC(input_tensor_memory, "an input", "Input");
constexpr const char output_tensor_memory_doc[] = ARA2_MEMORY_DOC(output_tensor_memory, "an output", "Output");

#undef ARA2_MEMORY_DOC

constexpr const char input_tensor_fd_doc[] =
    "input_tensor_fd($self, index)\n--\n\n"
    "Get a cloned DMA-BUF file descriptor for an input tensor.\n"
    "\n"
    "The returned FD is owned by the caller. Pass it to\n"
    "``tallowind.image.ImageProcessor.import_image()`` for zero-copy GPU\n"
    "preprocessing. That call duplicates the FD internally, so close the\n"
    "returned FD with ``os.close()`` when done.\n"
    "\n"
    "Args:\n"
    "    index: Input tensor index (0-based)\n"
    "\n"
    "Returns:\n"
    "    int: File descriptor for the input tensor's DMA-BUF\n"
    "\n"
    "Raises:\n"
    "    IndexError: If index is out of range\n"
    "    TensorError: If tensors are not allocated or use system memory";

constexpr const char output_tensor_fd_doc[] =
    "output_tensor_fd($self, index)\n--\n\n"
    "Get a cloned DMA-BUF file descriptor for an output tensor.\n"
    "\n"
    "The returned FD is owned by the caller. Pass it to\n"
    "``tallowind.tensor.Tensor.from_fd()`` to decode the raw NPU output\n"
    "without a copy. ``from_fd`` takes ownership of the FD \xe2\x80\x94 do not close\n"
    "it yourself in that case.\n"
    "\n"
    "Args:\n"
    "    index: Output tensor index (0-based)\n"
    "\n"
    "Returns:\n"
    "    int: File descriptor for the output tensor's DMA-BUF\n"
    "\n"
    "Raises:\n"
    "    IndexError: If index is out of range\n"
    "    TensorError: If tensors are not allocated or use system memory";

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef own_methods[] = {
    {"input_info", as_method(model_input_info), fastcall, input_info_doc},
    {"output_info", as_method(model_output_info), fastcall, output_info_doc},
    {"input_shape", as_method(model_input_shape), fastcall, input_shape_doc},
    {"output_shape", as_method(model_output_shape), fastcall, output_shape_doc},
    {"input_size", as_method(model_input_size), fastcall, input_size_doc},
    {"output_size", as_method(model_output_size), fastcall, output_size_doc},
    {"input_bpp", as_method(model_input_bpp), fastcall, input_bpp_doc},
    {"output_bpp", as_method(model_output_bpp), fastcall, output_bpp_doc},
    {"input_quants", as_method(model_input_quants), fastcall, input_quants_doc},
    {"output_quants", as_method(model_output_quants), fastcall, output_quants_doc},
    {"input_preprocess", as_method(model_input_preprocess), fastcall, input_preprocess_doc},
    {"set_timeout_ms", as_method(model_set_timeout_ms), fastcall, set_timeout_ms_doc},
    {"allocate_tensors", as_method(model_allocate_tensors), fastcall, allocate_tensors_doc},
    {"input_tensor_memory", as_method(model_input_tensor_memory), fastcall, input_tensor_memory_doc},
    {"output_tensor_memory", as_method(model_output_tensor_memory), fastcall, output_tensor_memory_doc},
    {"input_tensor_fd", as_method(model_input_tensor_fd), fastcall, input_tensor_fd_doc},
    {"output_tensor_fd", as_method(model_output_tensor_fd), fastcall, output_tensor_fd_doc},
    {"close", as_method(model_close), METH_NOARGS, close_doc},
    {"__enter__", as_method(model_enter), METH_NOARGS, enter_doc},
    {"__exit__", as_method(model_exit), fastcall, exit_doc},
};

/// The class's own methods, then the data and inference methods, then the sentinel.
PyMethodDef* all_methods() {
  static std::vector<PyMethodDef> methods = [] {
    std::vector<PyMethodDef> all(std::begin(own_methods), std::end(own_methods));
    for (const PyMethodDef& method : model_data_methods()) all.push_back(method);
    all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return methods.data();
}

PyGetSetDef model_getset[] = {
    {"n_inputs", model_n_inputs, nullptr, "Number of input tensors.", nullptr},
    {"n_outputs", model_n_outputs, nullptr, "Number of output tensors.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char model_doc[] =
    "Neural network model loaded on an endpoint.\n"
    "\n"
    "The Model class provides methods to run inference on a loaded neural network.\n"
    "Input and output tensors are accessed via zero-based indices.\n"
    "\n"
    "Model supports the context-manager protocol. The model is unloaded from\n"
    "the NPU when the last Python reference to it is garbage-collected; a\n"
    "``with`` statement releases it promptly when the block is left instead.\n"
    "\n"
    "Example:\n"
    "    >>> with endpoint.load_model(\"model.dvm\") as model:\n"
    "    ...     model.allocate_tensors()\n"
    "    ...     model.set_input_tensor(0, input_data)\n"
    "    ...     timing = model.run()\n"
    "    ...     output = model.get_output_tensor(0)";

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char*>(model_doc)},
    {Py_tp_methods, nullptr},  // filled with all_methods() before the type is built
    {Py_tp_getset, model_getset},
    {Py_tp_repr, reinterpret_cast<void*>(model_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {0, nullptr},
};

PyType_Spec model_spec = {"tallowind_ara2.Model", sizeof(ModelObject), 0, 0, model_slots};

}  // namespace

PyTypeObject* model_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) model_slots[1].pfunc = all_methods();
  return create_type_once(type, model_spec);
}

PyObject* make_model(ara2::Model model) {
  PyTypeObject* type = model_type();
  if (type == nullptr) return nullptr;  // `model` closes as it goes
  return ModelObject::create(type, std::move(model));
}

}  // namespace ara2py
