// Finding the variables that changed in this cycle once per object.
#include "comm/commobj_changes.h"

#include <cstdio>
#include <cstring>

#include "comm/commobj.h"
#include "comm/commobj_data.h"
#include "plc/plcdef.h"
#include "plc/plcvalue.h"
#include "plc/pubfile.h"

void ListActiveCommObject(COMMOBJ_T* obj) {
  obj->active.clear();
  obj->changes.cycle = ~0ull;
  if (!obj->pf) return;
  for (PUBFILE_R* r = FindPubFileRec(obj->pf, "*"); r; r = FindPubFileRec(obj->pf, "*"))
    if (r->state == PF_ENABLED || r->state == PF_ALWAYS) obj->active.push_back(r);
}

const CHANGES_T& ChangesCommObject(COMMOBJ_T* obj) {
  CHANGES_T& ch = obj->changes;
  if (ch.cycle == obj->cycle_no) return ch;
  ch.cycle = obj->cycle_no;
  ch.list.clear();
  ch.text.clear();
  // Images equal to the previous ones (a quiet PLC) hold no change: no variable is visited.
  bool same = true;
  for (int i = 0; i < 4 && same; ++i) same = obj->img[i] == obj->img_prev[i];
  if (same) return ch;
  for (const PUBFILE_R* r : obj->active) {
    const int img = ImageOfReg(r->reg);
    if (img < 0) continue;
    const uint32_t at = r->addr + (r->type == PLC_BOOL ? r->bit / 8u : 0u);
    uint32_t n = r->type == PLC_BOOL ? 1 : SizeofPlcReg(r->type);
    if (r->type == PLC_STRING && r->size) n = r->size;
    if (at + static_cast<uint64_t>(n) > obj->img[img].size() ||
        at + static_cast<uint64_t>(n) > obj->img_prev[img].size())
      continue;
    const unsigned char* cur = obj->img[img].data() + at;
    if (memcmp(cur, obj->img_prev[img].data() + at, n) == 0) continue;
    char value[kPlcValueText] = {};
    BinToCharPlc(cur, value, r->type, r->type == PLC_BOOL ? r->bit % 8 : r->bit, r->size);
    char line[kPlcValueText + 8];
    int len = snprintf(line, sizeof line, r->type == PLC_STRING ? "\"%.253s\"" : "%.255s", value);
    ch.list.push_back({r, static_cast<uint32_t>(ch.text.size()), static_cast<uint32_t>(len)});
    ch.text.append(line, static_cast<size_t>(len));
  }
  return ch;
}
