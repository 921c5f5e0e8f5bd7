// Splitting an exchange into request frames, serving them and applying pending faults.
#include "exchange.h"

#include "frame.h"
#include "services.h"

namespace plcsim {
namespace {

// True when the fault is pending; uses up one of its exchanges.
bool Hit(Sim& sim, FaultKind k) {
  if (sim.faults[k].count == 0) return false;
  sim.faults[k].count--;
  return true;
}

// Offsets of the frames in `p`; 1 when a frame is bad or there are too many.
int SplitFrames(Sim& sim, const uint8_t* p, size_t n, size_t max_frames,
                std::vector<size_t>& starts) {
  size_t pos = 0;
  while (pos < n) {
    int len = FrameLength(p + pos, n - pos);
    if (len <= 0 || static_cast<size_t>(len) > n - pos) {
      Verbose(sim, "ignored: incomplete or unknown frame at byte %zu", pos);
      return 1;
    }
    const char* why = "";
    if (CheckRequest(p + pos, static_cast<size_t>(len), sim.addr, &why) != 0) {
      Verbose(sim, "ignored: frame at byte %zu: %s", pos, why);
      return 1;
    }
    starts.push_back(pos);
    pos += static_cast<size_t>(len);
  }
  if (starts.empty() || starts.size() > max_frames) {
    Verbose(sim, "ignored: %zu frames in one exchange", starts.size());
    return 1;
  }
  return 0;
}

}  // namespace

int ServeExchange(Sim& sim, const uint8_t* p, size_t n, size_t max_frames, Answer& a) {
  std::vector<size_t> starts;
  if (SplitFrames(sim, p, n, max_frames, starts) != 0) return 1;
  sim.stats.requests++;
  sim.stats.frames += starts.size();
  if (Hit(sim, kNoAnswer)) {
    Verbose(sim, "fault: no answer");
    a.send = false;
    return 0;
  }
  bool wrong_handle = sim.faults[kFileHandle].count > 0;
  bool file_rw = false;
  for (size_t i = 0; i < starts.size(); i++) {
    size_t end = i + 1 < starts.size() ? starts[i + 1] : n;
    ServeFrame(sim, p + starts[i], end - starts[i], wrong_handle, &file_rw, a.frames);
  }
  // The wrong-handle fault waits for an exchange that reads or writes a file.
  if (file_rw) Hit(sim, kFileHandle);
  if (Hit(sim, kRefuse)) {
    a.frames.clear();
    for (size_t s : starts)
      AppendRefuse(a.frames, RequestMaster(p + s), sim.addr,
                   static_cast<uint8_t>(sim.faults[kRefuse].param));
  }
  if (Hit(sim, kShort)) a.frames.resize(a.frames.size() / 2 > 0 ? a.frames.size() / 2 : 1);
  if (Hit(sim, kLong)) {
    for (int i = 0; i < 16; i++) a.frames.push_back(static_cast<uint8_t>(0xA5 ^ i));
  }
  if (Hit(sim, kBadSeq)) a.bad_seq = true;
  if (Hit(sim, kDelay)) a.delay_ms = sim.faults[kDelay].param;
  return 0;
}

}  // namespace plcsim
