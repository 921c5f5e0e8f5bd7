// Frame checks and reply frame building for the slave side of DORVIK.
#include "frame.h"

namespace plcsim {

int FrameLength(const uint8_t* p, size_t avail) {
  if (avail == 0) return 0;
  if (p[0] == kSdShort) return 6;
  if (p[0] != kSdLong) return -1;
  if (avail < 2) return 0;
  return p[1] + 6;
}

int CheckRequest(const uint8_t* f, size_t n, uint8_t plc_addr, const char** why) {
  int len = FrameLength(f, n);
  if (len <= 0 || static_cast<size_t>(len) != n) {
    *why = "bad start delimiter or length";
    return 1;
  }
  uint8_t sum = 0;
  if (f[0] == kSdShort) {
    if (f[1] != plc_addr) {
      *why = "not addressed to this station";
      return 1;
    }
    sum = static_cast<uint8_t>(f[1] + f[2] + f[3]);
    if (f[4] != sum) {
      *why = "checksum";
      return 1;
    }
    if (f[5] != kEd) {
      *why = "end delimiter";
      return 1;
    }
    return 0;
  }
  // A request always carries at least its service code.
  if (f[1] < 4 || f[2] != f[1] || f[3] != kSdLong) {
    *why = "bad length or repeated delimiter";
    return 1;
  }
  if (f[4] != plc_addr) {
    *why = "not addressed to this station";
    return 1;
  }
  size_t le = f[1];
  for (size_t i = 4; i < le + 4; i++) sum = static_cast<uint8_t>(sum + f[i]);
  if (f[le + 4] != sum) {
    *why = "checksum";
    return 1;
  }
  if (f[le + 5] != kEd) {
    *why = "end delimiter";
    return 1;
  }
  return 0;
}

void AppendShort(std::vector<uint8_t>& out, uint8_t da, uint8_t sa, uint8_t fc) {
  uint8_t f[6] = {kSdShort, da, sa, fc, static_cast<uint8_t>(da + sa + fc), kEd};
  out.insert(out.end(), f, f + 6);
}

void AppendLong(std::vector<uint8_t>& out, uint8_t da, uint8_t sa, uint8_t fc, const uint8_t* data,
                size_t n) {
  if (n > kMaxLongData) n = kMaxLongData;  // callers keep within; never build a lying LE
  uint8_t le = static_cast<uint8_t>(n + 3);
  uint8_t sum = static_cast<uint8_t>(da + sa + fc);
  for (size_t i = 0; i < n; i++) sum = static_cast<uint8_t>(sum + data[i]);
  uint8_t head[7] = {kSdLong, le, le, kSdLong, da, sa, fc};
  out.insert(out.end(), head, head + 7);
  out.insert(out.end(), data, data + n);
  out.push_back(sum);
  out.push_back(kEd);
}

void AppendRefuse(std::vector<uint8_t>& out, uint8_t da, uint8_t sa, uint8_t code) {
  uint8_t d[2] = {0x30, code};
  AppendLong(out, da, sa, 0x0C, d, 2);
}

}  // namespace plcsim
