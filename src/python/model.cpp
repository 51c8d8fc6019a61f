// Python class Model: a compiled model loaded on an endpoint.
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

struct ModelObject {
  PyObject_HEAD
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
    {0, nullptr},
};

PyType_Spec model_spec = {"tallowind_ara2.Model", sizeof(ModelObject), 0, 0, model_slots};

}  // namespace

PyTypeObject* model_type() {
  static PyTypeObject* type = nullptr;
  return create_type_once(type, model_spec);
}

}  // namespace ara2py
