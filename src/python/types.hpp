// The module's classes and functions as the registration step and the other
// class files see them. Every *_type() creates its class on first call (once
// per process) and returns it borrowed, or nullptr with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "ara2/values.hpp"

namespace tallowind::ara2 {
class SessionShared;
}

namespace tallowind::python {

// session.cpp
PyTypeObject* session_type();
/// A new open Session object over a session opened elsewhere (discovery).
PyObject* make_session(std::shared_ptr<const ara2::SessionShared> shared);
// discovery.cpp
PyTypeObject* proxy_type();
PyTypeObject* proxy_endpoint_type();
// endpoint.cpp
PyTypeObject* endpoint_type();
// model.cpp
PyTypeObject* model_type();
// infer_request.cpp
PyTypeObject* infer_request_type();
// tensor_set.cpp
PyTypeObject* tensor_set_type();
// trace.cpp
PyTypeObject* trace_type();
/// Starts the recording ARA2_TRACE names, written at exit (once per process);
/// false with an exception set when its file cannot be written.
bool start_trace_from_environment();
// pipeline.cpp
PyTypeObject* pipeline_type();
PyTypeObject* pipeline_result_type();

// enums.cpp
PyTypeObject* abi_type();
PyTypeObject* state_type();
PyTypeObject* model_output_type_type();
/// New references to the shared member objects (nullptr with an exception
/// set only when the class could not be created).
PyObject* abi_member(ara2::Abi abi);
PyObject* state_member(ara2::State state);
PyObject* output_type_member(ara2::ModelOutputType type);

// records.cpp
PyTypeObject* dram_statistics_type();
PyTypeObject* model_timing_type();
PyTypeObject* input_quantization_type();
PyTypeObject* input_preprocess_type();
PyTypeObject* output_quantization_type();
PyTypeObject* input_tensor_info_type();
PyTypeObject* output_tensor_info_type();
/// New record objects holding a copy of the core value.
PyObject* make_dram_statistics(const ara2::DramStatistics& value);
PyObject* make_model_timing(const ara2::ModelTiming& value);
PyObject* make_input_quantization(const ara2::InputQuantization& value);
PyObject* make_input_preprocess(const ara2::InputPreprocess& value);
PyObject* make_output_quantization(const ara2::OutputQuantization& value);
PyObject* make_input_tensor_info(const ara2::InputTensorInfo& value);
PyObject* make_output_tensor_info(const ara2::OutputTensorInfo& value);

// metadata.cpp
PyTypeObject* dvm_metadata_type();
PyTypeObject* dataset_info_type();
PyTypeObject* model_info_type();
PyTypeObject* deployment_info_type();
PyTypeObject* input_spec_type();
PyTypeObject* output_spec_type();
PyTypeObject* compilation_info_type();
PyTypeObject* ppa_metrics_type();
PyTypeObject* ara2_info_type();

// Module functions, bound to the module during registration.
PyMethodDef* read_metadata_method();  // metadata.cpp
PyMethodDef* read_labels_method();    // metadata.cpp
PyMethodDef* has_metadata_method();   // metadata.cpp
PyMethodDef* socket_path_method();    // module.cpp
PyMethodDef* discover_method();       // discovery.cpp
PyMethodDef* library_info_method();   // diagnostics.cpp
PyMethodDef* build_info_method();     // diagnostics.cpp
PyMethodDef* top_k_method();              // image.cpp
PyMethodDef* nms_method();                // image.cpp
PyMethodDef* decode_detections_method();  // image.cpp

// image.cpp
PyTypeObject* geometry_type();

}  // namespace tallowind::python
