// A core file using the rooms below it, as the core does.
#include "base/utf8.hpp"
#include "tensor/unique_fd.hpp"
#include "ara2/text.hpp"

int main() { return 0; }
