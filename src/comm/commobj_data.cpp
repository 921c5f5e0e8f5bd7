// The PLC data cycle over a DORVIK link: the read plan into the register images, the write plan
// to the PLC, single variables between the images and their text, and direct reads and writes
// of one variable.
#include "comm/commobj_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "comm/commobj.h"
#include "comm/commobj_shm.h"
#include "plc/optimreq.h"
#include "plc/plcdef.h"
#include "plc/plcvalue.h"
#include "plc/pubfile.h"

namespace {

constexpr int kMaxDescPerFrame = DORVIK_READN_MAX_DESC;  // 61
constexpr uint32_t kMaxBlock = DORVIK_MAX_BLOCK;         // 246 data bytes per frame
constexpr int kMaxFrames = 5;                            // the most any transport takes
constexpr size_t kReadBuf = 1 + kMaxFrames * kMaxDescPerFrame * 4 + kMaxBlock;  // both uses
constexpr uint32_t kWriteRecMax = kMaxBlock - 1 - 4;  // data of one record of a block write

void PutDescriptor(unsigned char* d, uint8_t reg, uint32_t addr, uint32_t len) {
  d[0] = static_cast<unsigned char>(reg + (addr >> 16));
  d[1] = GetPlcAddrLo(addr);
  d[2] = static_cast<unsigned char>(GetPlcAddrHi(addr) & 0xFF);
  d[3] = static_cast<unsigned char>(len);
}

int MaxFrames(const DORVIK_T* link) {
  return std::max(1, std::min(link->max_frames, kMaxFrames));
}

// Copies a block read from the PLC into its register's image; what lies outside the images
// (registers without one, bytes past an image's end) is dropped.
void StoreBlock(COMMOBJ_T* obj, uint8_t reg, uint32_t addr, const unsigned char* data,
                uint32_t len) {
  int img = ImageOfReg(reg);
  if (img < 0) return;
  std::vector<unsigned char>& image = obj->img[img];
  if (addr >= image.size()) return;
  uint32_t n = std::min<uint32_t>(len, static_cast<uint32_t>(image.size() - addr));
  memcpy(image.data() + addr, data, n);
}

// One READN exchange with its three attempts; true when `expect` bytes came back into buf.
bool ReadExchange(COMMOBJ_T* obj, const unsigned char* desc, int count, int expect,
                  unsigned char* buf, bool quiet) {
  return DorvikRetry(&obj->link, obj->cfg.dvktout_step, [&] {
    memset(buf, 0, kReadBuf);
    memcpy(buf, desc, 1 + 4 * static_cast<size_t>(count));
    int got = Dorvik_READN(&obj->link, buf, static_cast<unsigned>(count));
    if (got == expect) return true;
    if (got >= 0 && !quiet)
      log("GetDataCommObject", 0, "PLC-%d (%s): Bad length of received data: %d (%d)",
          obj->cfg.plc_num, obj->cfg.name, got, expect);
    return false;
  });
}

// One block write (records packed from byte 1) or bit write with its three attempts.
bool WriteExchange(COMMOBJ_T* obj, unsigned char* buf, int count, bool bits) {
  unsigned char copy[kMaxBlock];
  return DorvikRetry(&obj->link, obj->cfg.dvktout_step, [&] {
    memcpy(copy, buf, sizeof copy);
    unsigned n = static_cast<unsigned>(count) & 0xFF;
    return (bits ? Dorvik_WRITEB(&obj->link, copy, n) : Dorvik_WRITEN(&obj->link, copy, n)) == 0;
  });
}

// Block pass of the write plan: records of descriptor and data, as many as fit in 246 bytes
// (byte 0 counted); a record longer than one block write takes is written in pieces.
int SendBlocks(COMMOBJ_T* obj) {
  unsigned char buf[kMaxBlock] = {};
  size_t used = 1;
  int count = 0;
  auto flush = [&]() {
    bool ok = count == 0 || WriteExchange(obj, buf, count, false);
    memset(buf, 0, sizeof buf);
    used = 1;
    count = 0;
    return ok;
  };
  for (OPTIMREQ_T* q = obj->writeplan; q; q = q->next) {
    if (q->bit != 255) continue;
    const uint32_t len = std::min<uint32_t>(q->len, kMaxBlock);
    for (uint32_t off = 0; off < len;) {
      uint32_t piece = std::min(len - off, kWriteRecMax);
      if (used + 4 + piece > kMaxBlock && !flush()) return 1;
      PutDescriptor(buf + used, q->reg, q->addr + off, piece);
      memcpy(buf + used + 4, q->data + off, piece);
      used += 4 + piece;
      ++count;
      off += piece;
    }
  }
  return flush() ? 0 : 1;
}

// Bit pass of the write plan: one descriptor per BOOL, at most 61 per bit write. A bit number
// beyond the first byte addresses the byte that holds it.
int SendBits(COMMOBJ_T* obj) {
  unsigned char buf[kMaxBlock] = {};
  int count = 0;
  for (OPTIMREQ_T* q = obj->writeplan; q; q = q->next) {
    if (q->bit == 255) continue;
    if (count == kMaxDescPerFrame) {
      if (!WriteExchange(obj, buf, count, true)) return 1;
      memset(buf, 0, sizeof buf);
      count = 0;
    }
    unsigned char* d = buf + 1 + 4 * count;
    PutDescriptor(d, q->reg, q->addr + q->bit / 8, 0);
    char on = std::any_of(q->data, q->data + std::min<uint32_t>(q->len, kMaxBlock),
                          [](unsigned char b) { return b != 0; });
    d[3] = GetPlcBit(q->bit % 8, &on, 1);
    ++count;
  }
  if (count > 0 && !WriteExchange(obj, buf, count, true)) return 1;
  return 0;
}

// The variable a text names: a direct PLC address or a public-file record. 0, or 1 for an
// unknown name (logged).
struct VARREF_T {
  uint8_t reg = 0;
  uint32_t addr = 0;
  uint8_t bit = 0;
  uint8_t type = 0;
  uint32_t size = 0;
};

int ResolveVariable(COMMOBJ_T* obj, const char* name, VARREF_T* v) {
  if (IsPlcAddr(name)) {
    if (ParsePlcAddr(name, &v->reg, &v->addr, &v->bit, &v->type, &v->size) == 0) return 0;
  } else if (PUBFILE_R* rec = FindPubFileRecExact(obj->pf, name)) {
    v->reg = rec->reg;
    v->addr = rec->addr;
    v->bit = rec->bit;
    v->type = rec->type;
    v->size = rec->size;
    return 0;
  }
  log("GetDataValCommObject", 0, "PLC-%d (%s): Unknown variable name: %s", obj->cfg.plc_num,
      obj->cfg.name, name);
  return 1;
}

// Bytes a variable takes from its address: its type's size, a STRING its declared length, a
// BOOL every byte up to the one that holds its bit.
uint32_t VariableBytes(uint8_t type, uint8_t bit, uint32_t size) {
  if (type == PLC_BOOL) return bit / 8u + 1;
  if (type == PLC_STRING && size > 0) return std::min<uint32_t>(size, 255);
  return SizeofPlcReg(type);
}

// Value text of a variable's bytes (a BOOL's bit counted from the first byte).
void BytesToText(const unsigned char* bytes, char* value, uint8_t type, uint8_t bit,
                 uint32_t size) {
  if (type == PLC_BOOL)
    BinToCharPlc(bytes + bit / 8, value, type, bit % 8, size);
  else
    BinToCharPlc(bytes, value, type, bit, size);
}

// The image bytes of a public-file variable, or null when they lie outside the images.
unsigned char* ImageBytes(COMMOBJ_T* obj, const PUBFILE_R* rec) {
  int img = ImageOfReg(rec->reg);
  uint32_t n = VariableBytes(rec->type, rec->bit, rec->size);
  if (img < 0 || rec->addr + static_cast<uint64_t>(n) > obj->img[img].size()) return nullptr;
  return obj->img[img].data() + rec->addr;
}

}  // namespace

int ImageOfReg(uint8_t reg) {
  switch (reg) {
    case PLC_REG_X:
      return REG_IMG_X;
    case PLC_REG_Y:
      return REG_IMG_Y;
    case PLC_REG_R:
      return REG_IMG_R;
    case PLC_REG_S:
      return REG_IMG_S;
    default:
      return -1;
  }
}

int GetDataDorvikCommObject(COMMOBJ_T* obj) {
  unsigned char desc[kReadBuf];
  unsigned char buf[kReadBuf];
  const int max_frames = MaxFrames(&obj->link);
  OPTIMREQ_T* next = obj->readplan;
  while (next) {
    // Pack blocks as the service builds its frames: 61 descriptors and 246 data bytes a frame.
    OPTIMREQ_T* first = next;
    int count = 0, frames = 1, in_frame = 0;
    uint32_t frame_bytes = 0, expect = 0;
    memset(desc, 0, sizeof desc);
    for (; next; next = next->next) {
      uint32_t len = std::min<uint32_t>(next->len, kMaxBlock);
      if (len == 0) continue;
      if (in_frame == kMaxDescPerFrame || frame_bytes + len > kMaxBlock) {
        if (frames == max_frames) break;
        ++frames;
        in_frame = 0;
        frame_bytes = 0;
      }
      PutDescriptor(desc + 1 + 4 * count, next->reg, next->addr, len);
      ++count;
      ++in_frame;
      frame_bytes += len;
      expect += len;
    }
    if (count == 0) break;
    if (!ReadExchange(obj, desc, count, static_cast<int>(expect), buf, false)) return 1;
    uint32_t at = 0;
    for (OPTIMREQ_T* q = first; q != next; q = q->next) {
      uint32_t len = std::min<uint32_t>(q->len, kMaxBlock);
      if (len == 0) continue;
      StoreBlock(obj, q->reg, q->addr, buf + at, len);
      at += len;
    }
  }
  return 0;
}

int SendDataDorvikCommObject(COMMOBJ_T* obj) {
  if (!obj->writeplan) return 0;
  if (SendBlocks(obj) != 0) return 1;
  return SendBits(obj);
}

int GetValCommObject(COMMOBJ_T* obj, const char* name, char* value) {
  if (!obj->pf) return 0;
  PUBFILE_R* rec = FindPubFileRecExact(obj->pf, name);
  if (!rec) {
    log("GetValCommObject", 0, "PLC-%d (%s): Unknown variable name: %s", obj->cfg.plc_num,
        obj->cfg.name, name);
    return 1;
  }
  static const unsigned char zeros[kPlcValueText] = {};
  const unsigned char* bytes = ImageBytes(obj, rec);
  BytesToText(bytes ? bytes : zeros, value, rec->type, rec->bit, rec->size);
  return 0;
}

int SetValCommObject(COMMOBJ_T* obj, const char* name, const char* value) {
  if (!obj->pf) return 0;
  PUBFILE_R* rec = FindPubFileRecExact(obj->pf, name);
  if (!rec) {
    log("SetValCommObject", 0, "PLC-%d (%s): Unknown variable name: %s", obj->cfg.plc_num,
        obj->cfg.name, name);
    return 1;
  }
  unsigned char* bytes = ImageBytes(obj, rec);
  if (!bytes) return 0;
  char text[kPlcValueText];
  snprintf(text, sizeof text, "%s", value);
  if (rec->type == PLC_BOOL)
    CharToBinPlc(bytes + rec->bit / 8, text, rec->type, rec->bit % 8, rec->size);
  else
    CharToBinPlc(bytes, text, rec->type, rec->bit, rec->size);
  return 0;
}

int GetDataValCommObject(COMMOBJ_T* obj, const char* name, char* value) {
  if (!obj->pf) return 0;
  VARREF_T v;
  if (ResolveVariable(obj, name, &v) != 0) return 1;
  const uint32_t total = VariableBytes(v.type, v.bit, v.size);
  unsigned char bytes[kPlcValueText + 32] = {};
  unsigned char desc[kReadBuf];
  unsigned char buf[kReadBuf];
  for (uint32_t off = 0; off < total;) {
    uint32_t len = std::min(total - off, kMaxBlock);
    if (obj->cfg.link_kind == LINK_SHM) {
      if (ShmCopyCommObject(obj, v.reg, v.addr + off, bytes + off, len, false,
                            "GetDataValCommObject") != 0)
        return -1;
      off += len;
      continue;
    }
    memset(desc, 0, sizeof desc);
    PutDescriptor(desc + 1, v.reg, v.addr + off, len);
    if (!ReadExchange(obj, desc, 1, static_cast<int>(len), buf, obj->pubfile_logged != 0))
      return -1;
    memcpy(bytes + off, buf, len);
    off += len;
  }
  BytesToText(bytes, value, v.type, v.bit, v.size);
  return 0;
}

int SetDataValCommObject(COMMOBJ_T* obj, const char* name, const char* value) {
  if (!obj->pf) return 0;
  VARREF_T v;
  if (ResolveVariable(obj, name, &v) != 0) return 1;
  unsigned char buf[kMaxBlock];
  char text[kPlcValueText];
  snprintf(text, sizeof text, "%s", value);
  if (obj->cfg.link_kind == LINK_SHM) {
    const char* f = "SetDataValCommObject";
    if (v.type == PLC_BOOL)
      return ShmSetBitCommObject(obj, v.reg, v.addr, v.bit, GetPlcBit(v.bit % 8, text, 0) & 0x80,
                                 f) == 0
                 ? 0
                 : -1;
    const uint32_t n = VariableBytes(v.type, v.bit, v.size);
    unsigned char bytes[kPlcValueText + 8] = {};
    CharToBinPlc(bytes, text, v.type, v.bit, n);
    return ShmCopyCommObject(obj, v.reg, v.addr, bytes, n, true, f) == 0 ? 0 : -1;
  }
  if (v.type == PLC_BOOL) {
    memset(buf, 0, sizeof buf);
    PutDescriptor(buf + 1, v.reg, v.addr + v.bit / 8, 0);
    buf[4] = GetPlcBit(v.bit % 8, text, 0);
    return WriteExchange(obj, buf, 1, true) ? 0 : -1;
  }
  const uint32_t total = VariableBytes(v.type, v.bit, v.size);
  unsigned char bytes[kPlcValueText + 8] = {};
  CharToBinPlc(bytes, text, v.type, v.bit, total);
  for (uint32_t off = 0; off < total;) {
    uint32_t piece = std::min(total - off, kWriteRecMax);
    memset(buf, 0, sizeof buf);
    PutDescriptor(buf + 1, v.reg, v.addr + off, piece);
    memcpy(buf + 5, bytes + off, piece);
    if (!WriteExchange(obj, buf, 1, false)) return -1;
    off += piece;
  }
  return 0;
}

int CopyDataCommObject(COMMOBJ_T* obj) {
  for (int r = 0; r < 4; ++r) {
    size_t n = std::min(obj->img[r].size(), obj->img_prev[r].size());
    if (n) memcpy(obj->img_prev[r].data(), obj->img[r].data(), n);
  }
  return 0;
}

int ClearDataCommObject(COMMOBJ_T* obj) {
  for (int r = 0; r < 4; ++r) std::fill(obj->img[r].begin(), obj->img[r].end(), 0);
  return 0;
}
