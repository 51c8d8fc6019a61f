// The metadata functions (read_metadata, read_labels, has_metadata) and the
// classes of the metadata document they return. Each object holds a private
// copy of its section; every attribute access builds a new Python value.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ara2/dvm_archive.hpp"
#include "ara2/metadata.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

PyObject* make(const ara2::DatasetInfo& value);
PyObject* make(const ara2::InputSpec& value);
PyObject* make(const ara2::ModelInfo& value);
PyObject* make(const ara2::OutputSpec& value);
PyObject* make(const ara2::DeploymentInfo& value);
PyObject* make(const ara2::CompilationInfo& value);
PyObject* make(const ara2::PpaMetrics& value);
PyObject* make(const ara2::Ara2Info& value);
PyObject* make(const ara2::DvmMetadata& value);

PyObject* from(bool value) { return PyBool_FromLong(value); }
PyObject* from(double value) { return PyFloat_FromDouble(value); }
PyObject* from(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }
PyObject* from(std::int32_t value) { return PyLong_FromLong(value); }
PyObject* from(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* from(std::int64_t value) { return PyLong_FromLongLong(value); }
PyObject* from(const std::string& value) { return to_str(value); }

PyObject* from(const ara2::DShapeItem& item) {
  Ref name = Ref::steal(to_str(item.name));
  Ref extent = Ref::steal(PyLong_FromUnsignedLongLong(item.extent));
  if (!name || !extent) return nullptr;
  return PyTuple_Pack(2, name.get(), extent.get());
}

template <class T>
  requires requires(const T& v) { make(v); }
PyObject* from(const T& record) {
  return make(record);
}

template <class T>
PyObject* from(const std::optional<T>& value) {
  if (!value) Py_RETURN_NONE;
  return from(*value);
}

template <class T>
PyObject* from(const std::vector<T>& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = from(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

template <class T>
PyObject* record_repr(PyObject* self) {
  return to_str(ara2::repr(Boxed<T>::of(self)));
}

/// The getter of one attribute: a new Python value built from `Member` (a
/// data member or an accessor of the record) on every access.
template <auto Member>
PyObject* field(PyObject* self, void*) {
  using Record = typename MemberClass<decltype(Member)>::type;
  return from(std::invoke(Member, Boxed<Record>::of(self)));
}

using ara2::Ara2Info;
using ara2::CompilationInfo;
using ara2::DatasetInfo;
using ara2::DeploymentInfo;
using ara2::DvmMetadata;
using ara2::InputSpec;
using ara2::ModelInfo;
using ara2::OutputSpec;
using ara2::PpaMetrics;

// Each class's attributes are its description's properties, read from the
// record member of the same name.
#define ARA2_FIELD(T, member) getter<field<&T::member>>(surface::T::member),
#define ARA2_FIELDS(T) \
  PyGetSetDef T##_fields[] = {ARA2_PROPERTIES_##T(ARA2_FIELD){nullptr, nullptr, nullptr, nullptr, nullptr}};

ARA2_FIELDS(DvmMetadata)
ARA2_FIELDS(DatasetInfo)
ARA2_FIELDS(InputSpec)
ARA2_FIELDS(ModelInfo)
ARA2_FIELDS(OutputSpec)
ARA2_FIELDS(DeploymentInfo)
ARA2_FIELDS(CompilationInfo)
ARA2_FIELDS(PpaMetrics)
ARA2_FIELDS(Ara2Info)

#undef ARA2_FIELD
#undef ARA2_FIELDS

PyObject* input_spec_dimensions(PyObject* self, PyObject*) {
  const auto dimensions = Boxed<InputSpec>::of(self).dimensions();
  if (!dimensions) Py_RETURN_NONE;
  return Py_BuildValue("(kk)", static_cast<unsigned long>(dimensions->first),
                       static_cast<unsigned long>(dimensions->second));
}

PyMethodDef input_spec_methods[] = {
    method<input_spec_dimensions>(surface::InputSpec::dimensions),
    {nullptr, nullptr, 0, nullptr},
};

template <class T>
PyTypeObject* metadata_type(TypeId id, const ClassFacts& facts, PyGetSetDef* fields, PyMethodDef* methods = nullptr) {
  return value_class<T, record_repr<T>>(id, facts, fields, methods);
}

PyObject* make(const DatasetInfo& value) { return make_value(dataset_info_type(), value); }
PyObject* make(const InputSpec& value) { return make_value(input_spec_type(), value); }
PyObject* make(const ModelInfo& value) { return make_value(model_info_type(), value); }
PyObject* make(const OutputSpec& value) { return make_value(output_spec_type(), value); }
PyObject* make(const DeploymentInfo& value) { return make_value(deployment_info_type(), value); }
PyObject* make(const CompilationInfo& value) { return make_value(compilation_info_type(), value); }
PyObject* make(const PpaMetrics& value) { return make_value(ppa_metrics_type(), value); }
PyObject* make(const Ara2Info& value) { return make_value(ara2_info_type(), value); }
PyObject* make(const DvmMetadata& value) { return make_value(dvm_metadata_type(), value); }

// --- Module functions ------------------------------------------------------

/// Binds the one `path` argument; false with a TypeError set.
bool path_argument(const Signature<1>& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PathArg& path) {
  auto argv = bind_args(signature, args, nargs, kwnames);
  return argv && convert_path(argv[0], path);
}

/// Whatever the error's kind, these functions raise it as MetadataError.
std::nullptr_t raise_metadata_error(const ara2::CoreError& error) {
  return to_python(error, ara2::ErrorScope::Metadata);
}

PyObject* read_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PathArg path;
  if (!path_argument(surface::functions::read_metadata, args, nargs, kwnames, path)) return nullptr;
  auto metadata = ara2::dvm_read_metadata(path.bytes);
  if (!metadata) return raise_metadata_error(metadata.error());
  return from(*metadata);
}

PyObject* read_labels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PathArg path;
  if (!path_argument(surface::functions::read_labels, args, nargs, kwnames, path)) return nullptr;
  auto labels = ara2::dvm_read_labels(path.bytes);
  if (!labels) return raise_metadata_error(labels.error());
  return from(*labels);
}

PyObject* has_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PathArg path;
  if (!path_argument(surface::functions::has_metadata, args, nargs, kwnames, path)) return nullptr;
  auto found = ara2::dvm_has_metadata(path.bytes);
  if (!found) return raise_metadata_error(found.error());
  return from(*found);
}

PyMethodDef read_metadata_def = method<read_metadata>(surface::functions::read_metadata);
PyMethodDef read_labels_def = method<read_labels>(surface::functions::read_labels);
PyMethodDef has_metadata_def = method<has_metadata>(surface::functions::has_metadata);

}  // namespace

PyTypeObject* dvm_metadata_type() {
  return metadata_type<DvmMetadata>(TypeId::DvmMetadata, surface::DvmMetadata::class_, DvmMetadata_fields);
}
PyTypeObject* dataset_info_type() {
  return metadata_type<DatasetInfo>(TypeId::DatasetInfo, surface::DatasetInfo::class_, DatasetInfo_fields);
}
PyTypeObject* model_info_type() { return metadata_type<ModelInfo>(TypeId::ModelInfo, surface::ModelInfo::class_, ModelInfo_fields); }
PyTypeObject* deployment_info_type() {
  return metadata_type<DeploymentInfo>(TypeId::DeploymentInfo, surface::DeploymentInfo::class_, DeploymentInfo_fields);
}
PyTypeObject* input_spec_type() {
  return metadata_type<InputSpec>(TypeId::InputSpec, surface::InputSpec::class_, InputSpec_fields, input_spec_methods);
}
PyTypeObject* output_spec_type() { return metadata_type<OutputSpec>(TypeId::OutputSpec, surface::OutputSpec::class_, OutputSpec_fields); }
PyTypeObject* compilation_info_type() {
  return metadata_type<CompilationInfo>(TypeId::CompilationInfo, surface::CompilationInfo::class_, CompilationInfo_fields);
}
PyTypeObject* ppa_metrics_type() { return metadata_type<PpaMetrics>(TypeId::PpaMetrics, surface::PpaMetrics::class_, PpaMetrics_fields); }
PyTypeObject* ara2_info_type() { return metadata_type<Ara2Info>(TypeId::Ara2Info, surface::Ara2Info::class_, Ara2Info_fields); }

PyMethodDef* read_metadata_method() { return &read_metadata_def; }
PyMethodDef* read_labels_method() { return &read_labels_def; }
PyMethodDef* has_metadata_method() { return &has_metadata_def; }

}  // namespace tallowind::python
