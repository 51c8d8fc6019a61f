// A kernel file reaching up into the core: the build must refuse it.
#include "base/utf8.hpp"
#include "ara2/core_error.hpp"
