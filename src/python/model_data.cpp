// The data and inference methods of Model and TensorSet.
#include "python/model_data.hpp"

#include <span>
#include <string_view>
#include <utility>

#include "ara2/inference.hpp"
#include "python/infer_request.hpp"
#include "python/tensor_io.hpp"
#include "python/types.hpp"

namespace tallowind::python {

using ara2::Direction;

namespace {

/// The start of the methods without arguments: enter exclusively, resolve
/// the target, then `use(target)`.
template <class Use>
PyObject* with_target(const TargetClass& cls, PyObject* self, Use use) {
  auto access = cls.enter(self, true);
  if (!access) return nullptr;
  auto target = cls.target(self);
  if (!target) return nullptr;
  return use(*target);
}

}  // namespace

PyObject* data_run(const TargetClass& cls, const Signature<0>&, PyObject* self) {
  return with_target(cls, self, [](const TensorTarget& target) -> PyObject* {
    auto timing = ara2::run_inference(*target.model, *target.set, target.timeout_ms);
    if (!timing) return to_python(timing.error());
    return make_model_timing(*timing);
  });
}

PyObject* data_submit(const TargetClass& cls, const Signature<0>&, PyObject* self) {
  return with_target(cls, self, [self](const TensorTarget& target) -> PyObject* {
    auto request = ara2::PendingRequest::submit(target.model, target.set);
    if (!request) return to_python(request.error());
    return make_infer_request(std::move(*request), self);
  });
}

PyObject* data_set_input_tensor(const TargetClass& cls, const Signature<2>& signature, const Call& call) {
  return with_index(cls, Direction::Input, true, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<2>& argv) -> PyObject* {
                      // Refused before tobytes() runs; the write checks again, since
                      // tobytes() may have run anything, a submit included.
                      if (auto writable = target.set->check_inputs_writable(); !writable) {
                        return to_python(writable.error());
                      }
                      InputBytes bytes;
                      if (!input_bytes(argv[1].object, bytes)) return nullptr;
                      if (auto written = target.set->write_input(index, bytes.span()); !written) {
                        return to_python(written.error());
                      }
                      Py_RETURN_NONE;
                    });
}

template <bool Dequantize>
PyObject* data_read_output(const TargetClass& cls, const Signature<1>& signature, const Call& call) {
  return with_index(cls, Direction::Output, false, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      auto reader = output_reader(*target.model, index, Dequantize);
                      if (!reader) return nullptr;
                      return read_output(*reader, *target.set);
                    });
}

template <Direction D>
PyObject* data_tensor_memory(const TargetClass& cls, const Signature<1>& signature, const Call& call) {
  return with_index(cls, D, D == Direction::Input, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      const std::string_view name =
                          ara2::memory_kind_name(target.set->slots(D)[index].tensor.memory());
                      return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
                    });
}

template <Direction D>
PyObject* data_tensor_fd(const TargetClass& cls, const Signature<1>& signature, const Call& call) {
  return with_index(cls, D, D == Direction::Input, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      auto fd = target.set->slots(D)[index].tensor.clone_fd();
                      if (!fd) return to_python(ara2::CoreError::tensor_access(fd.error().display()));
                      PyObject* number = PyLong_FromLong(fd->get());
                      if (number != nullptr) (void)fd->release();  // the caller owns it now
                      return number;
                    });
}

template PyObject* data_read_output<false>(const TargetClass&, const Signature<1>&, const Call&);
template PyObject* data_read_output<true>(const TargetClass&, const Signature<1>&, const Call&);
template PyObject* data_tensor_memory<Direction::Input>(const TargetClass&, const Signature<1>&, const Call&);
template PyObject* data_tensor_memory<Direction::Output>(const TargetClass&, const Signature<1>&, const Call&);
template PyObject* data_tensor_fd<Direction::Input>(const TargetClass&, const Signature<1>&, const Call&);
template PyObject* data_tensor_fd<Direction::Output>(const TargetClass&, const Signature<1>&, const Call&);

}  // namespace tallowind::python
