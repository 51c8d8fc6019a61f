// The daemon's request handling driven in-process by frames decoded from each
// input (frames.hpp describes the input format), for one client at a time of
// an engine that lives across inputs.
#include "frames.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fuzz::MemFile model("model.dvm");
  static emu::proxy::Engine engine(fuzz::daemon_config());
  fuzz::serve_frames(engine, model, data, size);
  return 0;
}
