// Change detection for one client: the variables it reads whose values moved since the previous
// cycle by at least their delta become DIFF entries.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/globals.h"
#include "app/log.h"
#include "app/text.h"
#include "client/dispatch.h"
#include "client/protocol.h"
#include "comm/commobj_changes.h"
#include "comm/commobj_data.h"
#include "plc/plcdef.h"
#include "plc/plcvalue.h"

namespace {

// Width in bytes at which an integer or time type is compared (its sign ignored); 0 otherwise.
int IntegerWidth(uint8_t type) {
  switch (type) {
    case PLC_USINT:
    case PLC_SINT:
    case PLC_BYTE:
      return 1;
    case PLC_UINT:
    case PLC_INT:
    case PLC_WORD:
      return 2;
    case PLC_UDINT:
    case PLC_DINT:
    case PLC_DWORD:
    case PLC_TIME:
    case PLC_TOD:
      return 4;
    case PLC_ULINT:
    case PLC_LINT:
    case PLC_LWORD:
      return 8;
    default:
      return 0;
  }
}

uint64_t Unsigned(const unsigned char* p, int width) {
  uint64_t v = 0;
  memcpy(&v, p, static_cast<size_t>(width));  // little-endian, as the PLC keeps it
  return v;
}

double Real(const unsigned char* p, uint8_t type) {
  if (type == PLC_REAL) {
    float f;
    memcpy(&f, p, sizeof f);
    return f;
  }
  double v;
  memcpy(&v, p, sizeof v);
  FixDouble(&v);
  return v;
}

std::string Text(const unsigned char* p, const PUBFILE_R* r) {
  char out[kPlcValueText] = {};
  BinToCharPlc(p, out, r->type, r->bit, r->size);
  return out;
}

void Dump(const COMMOBJ_T* obj, const char* which, const unsigned char* p, const PUBFILE_R* r,
          uint32_t n) {
  char bytes[8 * 64] = {};
  size_t k = 0;
  for (uint32_t i = 0; i < n && k + 6 < sizeof bytes; ++i)
    k += static_cast<size_t>(snprintf(bytes + k, sizeof bytes - k, "0x%02x ", p[i]));
  log("DiffCommObject", 2, "%s: %p [%s] - addr: %08u size: %02u bit: %d\t%s", which,
      static_cast<const void*>(p), bytes, r->addr, n, r->bit, r->name);
  (void)obj;
}

// Whether the variable is to be reported now (see the rules of each type).
bool Changed(PUBFILE_R* r, const unsigned char* cur, const unsigned char* prev, uint32_t n) {
  if (r->report_once) {
    r->report_once = 0;
    return true;
  }
  if (r->type == PLC_STRING)
    return strncmp(reinterpret_cast<const char*>(cur), reinterpret_cast<const char*>(prev), n) != 0;
  if (memcmp(cur, prev, n) == 0) return false;
  if (r->delta != 0 && r->retake) {
    memcpy(r->value, prev, n < sizeof r->value ? n : sizeof r->value);
    r->retake = 0;
  }
  if (r->type == PLC_BOOL) return TestBitPlc(cur[0], prev[0], r->bit % 8) != 0;
  const int width = IntegerWidth(r->type);
  if (width > 0 || r->type == PLC_DATE || r->type == PLC_DT) {
    if (r->delta == 0) return true;
    double diff;
    if (width > 0) {
      uint64_t a = Unsigned(cur, width), b = Unsigned(r->value, width);
      diff = static_cast<double>(a > b ? a - b : b - a);
    } else {
      diff = std::fabs(Real(cur, PLC_LREAL) - Real(r->value, PLC_LREAL));
    }
    if (r->delta > diff) return false;
    memcpy(r->value, cur, 8);
    return true;
  }
  if (r->type == PLC_REAL || r->type == PLC_LREAL) {
    const bool limited = lim_of_decimals && !scient_notation;
    if (r->delta == 0) return !limited || Text(cur, r) != Text(prev, r);
    double diff = r->type == PLC_REAL
                      ? std::fabs(static_cast<double>(static_cast<float>(Real(cur, r->type)) -
                                                      static_cast<float>(Real(r->value, r->type))))
                      : std::fabs(Real(cur, r->type) - Real(r->value, r->type));
    if (limited) {
      if (Text(cur, r) == Text(r->value, r)) return false;
      unsigned char d8[8];
      memcpy(d8, &diff, sizeof diff);
      FixDouble(reinterpret_cast<double*>(d8));
      PUBFILE_R as_lreal = *r;
      as_lreal.type = PLC_LREAL;
      sscanf(Text(d8, &as_lreal).c_str(), "%lf", &diff);
    }
    if (r->delta > diff) return false;
    memcpy(r->value, cur, r->type == PLC_REAL ? 4 : 8);
    return true;
  }
  return true;
}

}  // namespace

namespace {

// The bytes of a variable in the current and the previous image; false outside the images.
bool Locate(const COMMOBJ_T* obj, const PUBFILE_R* r, const unsigned char** cur,
            const unsigned char** prev, uint32_t* n) {
  const int img = ImageOfReg(r->reg);
  if (img < 0) return false;
  const uint32_t at = r->addr + (r->type == PLC_BOOL ? r->bit / 8u : 0u);
  *n = r->type == PLC_BOOL ? 1 : SizeofPlcReg(r->type);
  if (r->type == PLC_STRING && r->size) *n = r->size;
  if (at + static_cast<uint64_t>(*n) > obj->img[img].size() ||
      at + static_cast<uint64_t>(*n) > obj->img_prev[img].size())
    return false;
  *cur = obj->img[img].data() + at;
  *prev = obj->img_prev[img].data() + at;
  return true;
}

bool Reads(const PUBFILE_R* r) {
  return r->state == PF_ENABLED || r->state == PF_ALWAYS || r->report_once;
}

// Every variable of the client's copy in name order: the way when a variable is to be reported
// once, whatever its bytes. Entries are listed with their value texts.
int DiffAllCommObject(COMMOBJ_T* obj, NETCOMM_T* cli) {
  cli->report_pending = 0;
  for (const auto& e : cli->pf->index->names) {
    PUBFILE_R* r = &cli->pf->recs[e.second];
    const unsigned char *cur, *prev;
    uint32_t n;
    if (!Reads(r) || !Locate(obj, r, &cur, &prev, &n) || !Changed(r, cur, prev, n)) continue;
    if (verbose.load() >= 2) {
      Dump(obj, "ptr_new", cur, r, n);
      Dump(obj, "ptr_old", prev, r, n);
    }
    char value[kPlcValueText] = {};
    GetValCommObject(obj, r->name, value);
    char line[kPlcValueText + 8];
    snprintf(line, sizeof line, r->type == PLC_STRING ? "\"%.253s\"" : "%.255s", value);
    if (!AddReply(&cli->diff_req, r->name, line, r->key)) {
      log("DiffCommObject", 0, "PLC-%d (%s): Unable to allocate memory for client request!!!",
          obj->cfg.plc_num, obj->cfg.name);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int DiffCommObject(COMMOBJ_T* obj, NETCOMM_T* cli) {
  if (cli->diff_req || !cli->diff_idx.empty() || !cli->pf) return 0;
  if (cli->report_pending) return DiffAllCommObject(obj, cli);
  // Only the variables whose bytes changed can be reported: the object found them once.
  const CHANGES_T& ch = ChangesCommObject(obj);
  cli->diff_cycle = ch.cycle;
  // A copy made from the object's file keeps its records at the same places.
  const bool same_places = obj->pf && cli->pf->index == obj->pf->index;
  for (uint32_t i = 0; i < ch.list.size(); ++i) {
    const PUBFILE_R* of = ch.list[i].rec;
    PUBFILE_R* r = same_places ? &cli->pf->recs[static_cast<size_t>(of - obj->pf->recs.data())]
                               : FindPubFileRecExact(cli->pf, of->name);
    const unsigned char *cur, *prev;
    uint32_t n;
    if (!r || !Reads(r) || !Locate(obj, r, &cur, &prev, &n) || !Changed(r, cur, prev, n)) continue;
    if (verbose.load() >= 2) {
      Dump(obj, "ptr_new", cur, r, n);
      Dump(obj, "ptr_old", prev, r, n);
    }
    cli->diff_idx.push_back(i);
  }
  return 0;
}
