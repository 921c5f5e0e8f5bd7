// Identification, status and register services of the simulated PLC.
#include "services.h"

#include <cstring>

#include "frame.h"

namespace plcsim {
namespace {

constexpr uint8_t kFcConnect = 0x69;
constexpr uint8_t kFcIdent = 0x6E;
constexpr uint8_t kFcData = 0x6C;
constexpr uint8_t kFcWrite = 0x63;
constexpr uint8_t kFcOk = 0x00;
constexpr uint8_t kFcDataReply = 0x08;
constexpr uint8_t kFcUnknown = 0x02;

// Where a reply goes and comes from.
struct Route {
  uint8_t master;
  uint8_t plc;
};

void Ident(Sim& sim, Route r, std::vector<uint8_t>& out) {
  // Four lengths then the texts; each text is capped so the whole fits one frame.
  uint8_t d[kMaxLongData];
  size_t pos = 4;
  for (int i = 0; i < 4; i++) {
    size_t len = sim.ident[i].size();
    if (len > (kMaxLongData - 4) / 4) len = (kMaxLongData - 4) / 4;
    d[i] = static_cast<uint8_t>(len);
    memcpy(d + pos, sim.ident[i].data(), len);
    pos += len;
  }
  AppendLong(out, r.master, r.plc, kFcOk, d, pos);
}

void Word(Route r, uint16_t w, std::vector<uint8_t>& out) {
  uint8_t d[2] = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8)};
  AppendLong(out, r.master, r.plc, kFcDataReply, d, 2);
}

// READN: descriptors (selector, addr lo, addr hi, length); the blocks concatenated.
void ReadN(Sim& sim, Route r, const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
  if (n % 4 != 0) return AppendRefuse(out, r.master, r.plc, kRefuseReadN);
  uint8_t d[kMaxLongData];
  size_t total = 0;
  for (size_t i = 0; i < n; i += 4) {
    size_t off = p[i + 1] | (p[i + 2] << 8);
    size_t len = p[i + 3];
    const uint8_t* src = RegSpan(sim, RegIndexByCode(p[i]), off, len);
    if (len == 0 || !src) return AppendRefuse(out, r.master, r.plc, kRefuseReadN);
    if (total + len > kMaxLongData) return AppendRefuse(out, r.master, r.plc, kRefuseTooLong);
    memcpy(d + total, src, len);
    total += len;
  }
  AppendLong(out, r.master, r.plc, kFcDataReply, d, total);
}

// READB: descriptors (selector, addr lo, addr hi, bit number); one byte 0 or 1 per bit.
void ReadB(Sim& sim, Route r, const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
  if (n % 4 != 0 || n / 4 > kMaxLongData)
    return AppendRefuse(out, r.master, r.plc, kRefuseBadParam);
  uint8_t d[kMaxLongData];
  size_t count = 0;
  for (size_t i = 0; i < n; i += 4) {
    size_t off = p[i + 1] | (p[i + 2] << 8);
    const uint8_t* src = RegSpan(sim, RegIndexByCode(p[i]), off, 1);
    if (!src || p[i + 3] > 7) return AppendRefuse(out, r.master, r.plc, kRefuseReadBAddr);
    d[count++] = (*src >> p[i + 3]) & 1;
  }
  AppendLong(out, r.master, r.plc, kFcDataReply, d, count);
}

// WRITEN: records of descriptor + data. All are checked before any is written, so a refused
// request changes nothing.
void WriteN(Sim& sim, Route r, const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
  for (int pass = 0; pass < 2; pass++) {
    size_t i = 0;
    while (i < n) {
      if (n - i < 4) return AppendRefuse(out, r.master, r.plc, kRefuseWriteAddr);
      size_t off = p[i + 1] | (p[i + 2] << 8);
      size_t len = p[i + 3];
      uint8_t* dst = RegSpan(sim, RegIndexByCode(p[i]), off, len);
      if (!dst || len > n - i - 4) return AppendRefuse(out, r.master, r.plc, kRefuseWriteAddr);
      if (pass == 1) memcpy(dst, p + i + 4, len);
      i += 4 + len;
    }
  }
  out.push_back(kAck);
}

// WRITEB: bit descriptors; the bit byte is the bit number, with 0x80 when setting.
void WriteB(Sim& sim, Route r, const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
  if (n % 4 != 0) return AppendRefuse(out, r.master, r.plc, kRefuseWriteAddr);
  for (int pass = 0; pass < 2; pass++) {
    for (size_t i = 0; i < n; i += 4) {
      size_t off = p[i + 1] | (p[i + 2] << 8);
      uint8_t bit = p[i + 3] & 0x7F;
      uint8_t* dst = RegSpan(sim, RegIndexByCode(p[i]), off, 1);
      if (!dst || bit > 7) return AppendRefuse(out, r.master, r.plc, kRefuseWriteAddr);
      if (pass == 0) continue;
      if (p[i + 3] & 0x80)
        *dst = static_cast<uint8_t>(*dst | (1u << bit));
      else
        *dst = static_cast<uint8_t>(*dst & ~(1u << bit));
    }
  }
  out.push_back(kAck);
}

void DataService(Sim& sim, Route r, const uint8_t* d, size_t n, bool wrong_handle, bool* file_rw,
                 std::vector<uint8_t>& out) {
  const uint8_t* p = d + 1;
  size_t pn = n - 1;
  switch (d[0]) {
    case 0x0A:
      return Word(r, sim.status_word, out);
    case 0x0E:
      return Word(r, sim.error_word, out);
    case 0x0B:
      return ReadN(sim, r, p, pn, out);
    case 0x0F:
      return ReadB(sim, r, p, pn, out);
    case 0x28: {
      std::vector<uint8_t> rep;
      FileTransfer(sim, d, n, wrong_handle, file_rw, rep);
      return AppendLong(out, r.master, r.plc, kFcDataReply, rep.data(), rep.size());
    }
    case 0x2A: {
      const uint8_t status[4] = {0, 0, 0, 0};
      return AppendLong(out, r.master, r.plc, kFcDataReply, status, 4);
    }
    case 0x2D:
      out.push_back(kAck);
      return;
    default:
      return AppendRefuse(out, r.master, r.plc, kRefuseUnknown);
  }
}

void WriteService(Sim& sim, Route r, const uint8_t* d, size_t n, std::vector<uint8_t>& out) {
  const uint8_t* p = d + 1;
  size_t pn = n - 1;
  switch (d[0]) {
    case 0x0C:
      return WriteN(sim, r, p, pn, out);
    case 0x10:
      return WriteB(sim, r, p, pn, out);
    case 0x09:
      if (pn != 2) return AppendRefuse(out, r.master, r.plc, kRefuseBadParam);
      sim.control_word = static_cast<uint16_t>(p[0] | (p[1] << 8));
      out.push_back(kAck);
      return;
    case 0x11: {
      // Mask then value: only the bits of the mask change.
      if (pn != 4) return AppendRefuse(out, r.master, r.plc, kRefuseBadParam);
      uint16_t mask = static_cast<uint16_t>(p[0] | (p[1] << 8));
      uint16_t val = static_cast<uint16_t>(p[2] | (p[3] << 8));
      sim.control_word = static_cast<uint16_t>((sim.control_word & ~mask) | (val & mask));
      out.push_back(kAck);
      return;
    }
    default:
      return AppendRefuse(out, r.master, r.plc, kRefuseUnknown);
  }
}

}  // namespace

void ServeFrame(Sim& sim, const uint8_t* f, size_t n, bool wrong_handle, bool* file_rw,
                std::vector<uint8_t>& out) {
  Route r{RequestMaster(f), sim.addr};
  if (f[0] == kSdShort) {
    Verbose(sim, "request from %u: short FC 0x%02x", r.master, f[3]);
    if (f[3] == kFcConnect) return AppendShort(out, r.master, r.plc, kFcOk);
    if (f[3] == kFcIdent) return Ident(sim, r, out);
    return AppendShort(out, r.master, r.plc, kFcUnknown);
  }
  const uint8_t* d = f + 7;
  size_t dn = n - 9;  // CheckRequest made sure there is at least the service code
  Verbose(sim, "request from %u: FC 0x%02x service 0x%02x, %zu data bytes", r.master, f[6], d[0],
          dn - 1);
  if (f[6] == kFcData) return DataService(sim, r, d, dn, wrong_handle, file_rw, out);
  if (f[6] == kFcWrite) return WriteService(sim, r, d, dn, out);
  AppendShort(out, r.master, r.plc, kFcUnknown);
}

}  // namespace plcsim
