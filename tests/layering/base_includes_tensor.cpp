// A base-layer file reaching up into the tensor layer: the build must refuse it.
#include "tensor/unique_fd.hpp"
