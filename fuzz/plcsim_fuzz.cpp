// Fuzzes korvane-plcsim's request handling: the first byte picks the path, the rest is either
// the frames of one exchange (UDP with up to five frames, or one serial frame) or control lines.
// The simulator is a separate program, so its units are compiled in here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "../tools/plcsim/control.cpp"
#include "../tools/plcsim/exchange.cpp"
#include "../tools/plcsim/filetransfer.cpp"
#include "../tools/plcsim/frame.cpp"
#include "../tools/plcsim/plcfs.cpp"
#include "../tools/plcsim/registers.cpp"
#include "../tools/plcsim/services.cpp"
#include "../tools/plcsim/values.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static plcsim::Sim* sim = [] {
    auto* s = new plcsim::Sim;
    s->regsize = 4096;
    plcsim::InitRegisters(*s);
    return s;  // no file folder: file requests are answered without touching the disk
  }();
  if (size == 0) return 0;
  uint8_t mode = data[0] % 3;
  if (mode < 2) {
    plcsim::Answer a;
    plcsim::ServeExchange(*sim, data + 1, size - 1, mode == 0 ? 5 : 1, a);
    return 0;
  }
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start), reply;
    // File commands would write to the current folder; values and faults are what matters here.
    if (line.compare(0, 4, "file") != 0) plcsim::ControlCommand(*sim, line, 0, reply);
    start = nl + 1;
  }
  return 0;
}
