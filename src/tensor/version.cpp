#include "tensor/tensor.hpp"

namespace tallowind::tensor {
const char* library_name() noexcept { return "tallowind-tensor"; }
}  // namespace tallowind::tensor
