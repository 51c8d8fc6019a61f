// Every piece of process-wide state of the module, in one struct: the
// classes, the exception classes, the enumeration members, whether numpy's C
// API is imported, and the memory of released arrays kept for reuse.
//
// One instance serves the process: the module refuses subinterpreters, and a
// second import of it (a new module object) shares the classes of the first.
// Everything here is read and written with the interpreter lock held; a build
// without that lock has this one struct to guard. When the last module object
// goes, teardown() releases all of it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "ara2/core_error.hpp"

namespace tallowind::python {

/// The module's classes, each created on first use.
enum class TypeId : std::uint8_t {
  Session, Proxy, ProxyEndpoint, Endpoint, Model, InferRequest, TensorSet, Pipeline, PipelineResult, Trace,
  Abi, State, ModelOutputType,
  DramStatistics, ModelTiming, InputQuantization, InputPreprocess, OutputQuantization, InputTensorInfo,
  OutputTensorInfo,
  DvmMetadata, DatasetInfo, ModelInfo, DeploymentInfo, InputSpec, OutputSpec, CompilationInfo, PpaMetrics, Ara2Info,
  Geometry,
  SliceContainer,  // the internal owner of returned arrays' memory
};
inline constexpr std::size_t kTypeCount = static_cast<std::size_t>(TypeId::SliceContainer) + 1;

/// The memory of released large arrays, kept for the next arrays of about
/// their size (fresh memory faults in page by page). At most four mappings
/// and 128 MiB in all: the oldest go first, a larger one is unmapped at once.
class ParkedMappings {
 public:
  static constexpr std::size_t kCount = 4;
  static constexpr std::size_t kBytesLimit = std::size_t{128} << 20;

  /// A parked mapping of `bytes` to twice that, taken out of the cache, and
  /// its size in `mapped`; nullptr when none fits.
  void* take(std::size_t bytes, std::size_t& mapped) noexcept;
  /// Keeps the mapping `data` of `size` bytes, or unmaps it (or an older one).
  void park(void* data, std::size_t size) noexcept;
  /// Unmaps every parked mapping.
  void release_all() noexcept;

 private:
  struct Mapping {
    void* data = nullptr;
    std::size_t size = 0;
  };
  std::array<Mapping, kCount> mappings_{};  // most recently parked first
};

struct ModuleState {
  /// Borrowed by the getters (session_type() ...); owned here.
  std::array<PyTypeObject*, kTypeCount> types{};
  /// The module's exception classes by ErrorClass; built-in classes stay empty.
  std::array<PyObject*, ara2::kErrorClassCount> exceptions{};
  /// The members of each enumeration class, by value; also class attributes,
  /// held here so that rebinding an attribute cannot free one.
  std::array<PyObject*, 12> state_members{};
  std::array<PyObject*, 2> abi_members{};
  std::array<PyObject*, 4> output_type_members{};
  /// numpy's C API table is imported on first use, never at import.
  bool numpy_ready = false;
  ParkedMappings parked_arrays;
  /// Module objects registered and not yet freed.
  std::size_t live_modules = 0;

  PyTypeObject*& type(TypeId id) noexcept { return types[static_cast<std::size_t>(id)]; }

  /// Releases everything above (the last module object is gone). Later use
  /// creates afresh what it needs.
  void teardown() noexcept;
};

namespace detail {
extern ModuleState the_module_state;  // constant-initialised: no guard on use
}  // namespace detail

/// The one instance.
inline ModuleState& module_state() noexcept { return detail::the_module_state; }

}  // namespace tallowind::python
