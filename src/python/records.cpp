// The read-only value records handed back by sessions, endpoints and models.
// Each holds a copy of the core value; reprs come from the core.
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

PyObject* from(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* from(std::int32_t value) { return PyLong_FromLong(value); }
PyObject* from(bool value) { return PyBool_FromLong(value); }
PyObject* from(float value) { return PyFloat_FromDouble(value); }
PyObject* from(const std::string& value) { return to_str(value); }
PyObject* from(const std::array<float, 3>& value) {
  return Py_BuildValue("(ddd)", double(value[0]), double(value[1]), double(value[2]));
}
PyObject* from(ara2::ModelOutputType value) { return output_type_member(value); }
PyObject* from(const ara2::InputQuantization& value) { return make_input_quantization(value); }
PyObject* from(const ara2::InputPreprocess& value) { return make_input_preprocess(value); }
PyObject* from(const ara2::OutputQuantization& value) { return make_output_quantization(value); }

template <class T>
PyObject* record_repr(PyObject* self) {
  return to_str(ara2::record_text(Boxed<T>::of(self)));
}

/// The getter of one attribute: a new Python value built from the record's `Member`.
template <auto Member>
PyObject* field(PyObject* self, void*) {
  using Record = typename MemberClass<decltype(Member)>::type;
  return from(Boxed<Record>::of(self).*Member);
}

using ara2::DramStatistics;
using ara2::InputPreprocess;
using ara2::InputQuantization;
using ara2::InputTensorInfo;
using ara2::ModelTiming;
using ara2::OutputQuantization;
using ara2::OutputTensorInfo;

// Each class's attributes are its description's properties, read from the
// record member of the same name.
#define ARA2_FIELD(T, member) getter<field<&T::member>>(surface::T::member),
#define ARA2_FIELDS(T) \
  PyGetSetDef T##_fields[] = {ARA2_PROPERTIES_##T(ARA2_FIELD){nullptr, nullptr, nullptr, nullptr, nullptr}};

ARA2_FIELDS(ModelTiming)
ARA2_FIELDS(DramStatistics)
ARA2_FIELDS(InputQuantization)
ARA2_FIELDS(OutputQuantization)
ARA2_FIELDS(InputPreprocess)
ARA2_FIELDS(InputTensorInfo)
ARA2_FIELDS(OutputTensorInfo)

#undef ARA2_FIELD
#undef ARA2_FIELDS

template <class T>
PyTypeObject* record_type(TypeId id, const ClassFacts& facts, PyGetSetDef* fields) {
  return value_class<T, record_repr<T>>(id, facts, fields);
}

}  // namespace

PyTypeObject* model_timing_type() {
  return record_type<ModelTiming>(TypeId::ModelTiming, surface::ModelTiming::class_, ModelTiming_fields);
}
PyTypeObject* dram_statistics_type() {
  return record_type<DramStatistics>(TypeId::DramStatistics, surface::DramStatistics::class_, DramStatistics_fields);
}
PyTypeObject* input_quantization_type() {
  return record_type<InputQuantization>(TypeId::InputQuantization, surface::InputQuantization::class_, InputQuantization_fields);
}
PyTypeObject* output_quantization_type() {
  return record_type<OutputQuantization>(TypeId::OutputQuantization, surface::OutputQuantization::class_, OutputQuantization_fields);
}
PyTypeObject* input_preprocess_type() {
  return record_type<InputPreprocess>(TypeId::InputPreprocess, surface::InputPreprocess::class_, InputPreprocess_fields);
}
PyTypeObject* input_tensor_info_type() {
  return record_type<InputTensorInfo>(TypeId::InputTensorInfo, surface::InputTensorInfo::class_, InputTensorInfo_fields);
}
PyTypeObject* output_tensor_info_type() {
  return record_type<OutputTensorInfo>(TypeId::OutputTensorInfo, surface::OutputTensorInfo::class_, OutputTensorInfo_fields);
}

PyObject* make_model_timing(const ModelTiming& value) { return make_value(model_timing_type(), value); }
PyObject* make_dram_statistics(const DramStatistics& value) { return make_value(dram_statistics_type(), value); }
PyObject* make_input_quantization(const InputQuantization& value) {
  return make_value(input_quantization_type(), value);
}
PyObject* make_output_quantization(const OutputQuantization& value) {
  return make_value(output_quantization_type(), value);
}
PyObject* make_input_preprocess(const InputPreprocess& value) { return make_value(input_preprocess_type(), value); }
PyObject* make_input_tensor_info(const InputTensorInfo& value) {
  return make_value(input_tensor_info_type(), value);
}
PyObject* make_output_tensor_info(const OutputTensorInfo& value) {
  return make_value(output_tensor_info_type(), value);
}

}  // namespace tallowind::python
