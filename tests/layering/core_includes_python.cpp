// A core file reaching up into the Python layer: the build must refuse it.
#include "tensor/unique_fd.hpp"
#include "python/support.hpp"
