#include "python/model_data.hpp"

namespace ara2py {

std::span<const PyMethodDef> model_data_methods() { return {}; }

}  // namespace ara2py
