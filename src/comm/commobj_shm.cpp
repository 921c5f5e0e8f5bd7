// The shared-memory module as a communication object's link: linking the module and opening
// the PLC's note, the data cycle through the register images in shared memory under the port
// lock, and releasing it all when the thread ends.
#include "comm/commobj_shm.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/log.h"
#include "comm/commobj.h"
#include "comm/commobj_data.h"
#include "link/shmsrv.h"
#include "plc/optimreq.h"
#include "plc/plcdef.h"

namespace {

// The module's images are addressed as the link addresses them: 16 bits within a register.
constexpr uint32_t kShmRegisterBytes = 65536;
constexpr int kLockTimeout = 10;

void SleepSecond() {
  timespec ts{1, 0};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

int Socket(const COMMOBJ_T* obj) {
  return static_cast<uint16_t>(obj->cfg.shm_socket);
}

int Port(const COMMOBJ_T* obj) {
  return static_cast<uint16_t>(obj->cfg.shm_port);
}

int Slot(uint8_t reg) {
  switch (reg) {
    case PLC_REG_X:
      return kShmSlotX;
    case PLC_REG_Y:
      return kShmSlotY;
    case PLC_REG_S:
      return kShmSlotS;
    case PLC_REG_R:
      return kShmSlotR;
    default:
      return -1;
  }
}

// The bytes of a register image in shared memory, or null outside the module's images.
unsigned char* NoteBytes(COMMOBJ_T* obj, uint8_t reg, uint32_t addr, uint32_t len) {
  int slot = Slot(reg);
  if (slot < 0 || !obj->shm_desc || !obj->shm_desc[slot]) return nullptr;
  if (static_cast<uint64_t>(addr) + len > kShmRegisterBytes) return nullptr;
  return obj->shm_desc[slot] + addr;
}

// Runs body with the port lock held: three tries of "PLC linked, lock taken", each failure
// logged; after the third a second's pause and 1. The lock is released right after body.
template <class Body>
int Locked(COMMOBJ_T* obj, const char* func, Body body) {
  if (!obj->shm_linked || !obj->shm || !obj->shm_desc) {
    SleepSecond();
    return 1;
  }
  ShmSrv* m = obj->shm;
  bool locked = false;
  for (int k = 0; k < 3 && !locked; ++k) {
    if (!m->PlcLink(Socket(obj))) {
      log(func, 0, "PLC-%d (%s): SHARED module disconnected!!!", obj->cfg.plc_num, obj->cfg.name);
      continue;
    }
    locked = m->PortSetLock(Socket(obj), Port(obj), kLockTimeout) != 0;
    if (!locked)
      log(func, 0, "PLC-%d (%s): SHARED module timeout!!!", obj->cfg.plc_num, obj->cfg.name);
  }
  if (!locked) {
    SleepSecond();
    return 1;
  }
  body();
  m->PortResLock(Socket(obj), Port(obj));
  return 0;
}

// The part of a text that starts at `mark`, at most 127 characters; `other` when absent.
void TakeFrom(char* out, size_t cap, const char* text, size_t max, const char* mark,
              const char* other) {
  std::string t(text, strnlen(text, max));
  size_t at = t.find(mark);
  if (at == std::string::npos)
    snprintf(out, cap, "%s", other);
  else
    snprintf(out, cap, "%.127s", t.c_str() + at);
}

}  // namespace

int InitShmCommObject(COMMOBJ_T* obj) {
  const int n = obj->cfg.plc_num;
  const char* s = obj->cfg.name;
  const char* f = "InitShmCommObject";
  if (!obj->shm) {
    int err = 0;
    obj->shm = new ShmSrv(err);
    if (err != 0 || obj->shm->Link(obj->cfg.shm_name) != 0) {
      delete obj->shm;
      obj->shm = nullptr;
      return 1;
    }
    obj->shm_linked = 1;
  }
  ShmSrv* m = obj->shm;
  void* info = nullptr;
  if (!m->GetInfo(&info) || !info) return 1;
  obj->shm_info = static_cast<const unsigned char*>(info);
  const char* version = reinterpret_cast<const char*>(obj->shm_info);
  TakeFrom(obj->plc_version, sizeof obj->plc_version, version, kShmInfoText, "PLC Quen", "???");
  int16_t links = 0;
  memcpy(&links, obj->shm_info + kShmInfoLinks, sizeof links);
  log(f, 0, "PLC-%d (%s): Version: %.*s", n, s, static_cast<int>(strnlen(version, kShmInfoText)),
      version);
  log(f, 0, "PLC-%d (%s): Links:   %d", n, s, links);
  log(f, 0, "PLC-%d (%s): Sockets: %d", n, s, static_cast<int8_t>(obj->shm_info[kShmInfoSockets]));
  log(f, 0, "PLC-%d (%s): Ports:   %d", n, s, static_cast<int8_t>(obj->shm_info[kShmInfoPorts]));

  void* sw = nullptr;
  if (!m->GetPlcSW(Socket(obj), &sw) || !sw) return 1;
  obj->shm_plcsw = static_cast<const unsigned char*>(sw);
  TakeFrom(obj->plc_mode, sizeof obj->plc_mode,
           reinterpret_cast<const char*>(obj->shm_plcsw + kShmPlcSWText), kShmPlcSWTextMax,
           "SimuCtl", "");
  if (!m->PlcLink(Socket(obj))) {
    snprintf(obj->plc_mode, sizeof obj->plc_mode, "!!! PLC not running !!!");
    log(f, 0, "PLC-%d (%s): %s", n, s, obj->plc_mode);
    return 1;
  }
  log(f, 0, "PLC-%d (%s): %s", n, s, obj->plc_mode);
  void* desc = nullptr;
  if (!m->PortSetName(Socket(obj), Port(obj), "Korvane", "RW Note") ||
      !m->OpenNoteEx(Socket(obj), Port(obj), &obj->shm_note) ||
      !m->GetNoteDscEx(Socket(obj), Port(obj), &desc) || !desc)
    return 1;
  obj->shm_desc = static_cast<unsigned char**>(desc);
  return 0;
}

int ShmCopyCommObject(COMMOBJ_T* obj, uint8_t reg, uint32_t addr, unsigned char* buf, uint32_t len,
                      bool to_plc, const char* func) {
  return Locked(obj, func, [&] {
    unsigned char* note = NoteBytes(obj, reg, addr, len);
    if (!note) return;
    if (to_plc)
      memcpy(note, buf, len);
    else
      memcpy(buf, note, len);
  });
}

int GetDataShmCommObject(COMMOBJ_T* obj) {
  if (!obj->shm_linked || !obj->shm_desc) {
    SleepSecond();
    return 1;
  }
  for (OPTIMREQ_T* q = obj->readplan; q; q = q->next) {
    const int img = ImageOfReg(q->reg);
    unsigned char block[DORVIK_MAX_BLOCK + 16];
    const uint32_t len = std::min<uint32_t>(q->len, DORVIK_MAX_BLOCK);
    if (ShmCopyCommObject(obj, q->reg, q->addr, block, len, false, "GetDataCommObject") != 0)
      return 1;
    if (img < 0 || q->addr >= obj->img[img].size()) continue;
    memcpy(obj->img[img].data() + q->addr, block,
           std::min<size_t>(len, obj->img[img].size() - q->addr));
  }
  return 0;
}

int SendDataShmCommObject(COMMOBJ_T* obj) {
  for (OPTIMREQ_T* q = obj->writeplan; q; q = q->next) {
    const uint32_t len = std::min<uint32_t>(q->len, DORVIK_MAX_BLOCK);
    int rc;
    if (q->bit == 255) {
      rc = ShmCopyCommObject(obj, q->reg, q->addr, q->data, len, true, "SendDataCommObject");
    } else {
      const bool on = std::any_of(q->data, q->data + len, [](unsigned char b) { return b != 0; });
      rc = ShmSetBitCommObject(obj, q->reg, q->addr, q->bit, on, "SendDataCommObject");
    }
    if (rc != 0) return 1;
  }
  return 0;
}

int ShmSetBitCommObject(COMMOBJ_T* obj, uint8_t reg, uint32_t addr, uint8_t bit, bool on,
                        const char* func) {
  // The bit changes in the PLC's own byte under the lock, so bits the PLC changed since the
  // last read are not written back stale.
  return Locked(obj, func, [&] {
    unsigned char* note = NoteBytes(obj, reg, addr + bit / 8, 1);
    if (!note) return;
    const unsigned char mask = static_cast<unsigned char>(1u << (bit % 8));
    *note = on ? (*note | mask) : static_cast<unsigned char>(*note & ~mask);
  });
}

void CloseShmCommObject(COMMOBJ_T* obj) {
  if (obj->shm_linked && obj->shm) {
    obj->shm->PortResName(Socket(obj), Port(obj));
    obj->shm->CloseNoteEx(Socket(obj), Port(obj));
    obj->shm->Unlink();
  }
  delete obj->shm;
  obj->shm = nullptr;
  obj->shm_linked = 0;
  obj->shm_info = obj->shm_plcsw = nullptr;
  obj->shm_desc = nullptr;
}
