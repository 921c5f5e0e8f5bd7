// Planned link requests and client request lists: list handling, read and write planning.
#include "plc/optimreq.h"

#include <new>
#include <vector>

#include "app/log.h"
#include "plc/plcdef.h"
#include "plc/plcvalue.h"

static OPTIMREQ_T* OptimTail(OPTIMREQ_T* list) {
  while (list && list->next) list = list->next;
  return list;
}

OPTIMREQ_T* AddOptimReqRec(OPTIMREQ_T* list) {
  OPTIMREQ_T* rec = new (std::nothrow) OPTIMREQ_T;
  if (!rec) return nullptr;
  OPTIMREQ_T* tail = OptimTail(list);
  if (tail) {
    tail->next = rec;
    rec->prev = tail;
  }
  return rec;
}

OPTIMREQ_T* RemoveOptimReqRec(OPTIMREQ_T* rec) {
  if (!rec) return nullptr;
  OPTIMREQ_T* prev = rec->prev;
  OPTIMREQ_T* next = rec->next;
  if (prev) prev->next = next;
  if (next) next->prev = prev;
  delete rec;
  return prev ? prev : next;
}

OPTIMREQ_T* AddOptimReq(OPTIMREQ_T* a, OPTIMREQ_T* b) {
  if (!a) return b;
  if (!b) return a;
  OPTIMREQ_T* tail = OptimTail(a);
  tail->next = b;
  b->prev = tail;
  return a;
}

void RemoveOptimReq(OPTIMREQ_T* list) {
  while (list) {
    OPTIMREQ_T* next = list->next;
    delete list;
    list = next;
  }
}

namespace {

// Appends to a plan while remembering its tail, so long plans are built in linear time.
struct PlanBuilder {
  OPTIMREQ_T* head;
  OPTIMREQ_T* tail;
  OPTIMREQ_T* first_new = nullptr;  // first record this plan appended
  explicit PlanBuilder(OPTIMREQ_T* list) : head(list), tail(OptimTail(list)) {}

  OPTIMREQ_T* Append(uint8_t reg, uint32_t addr, uint32_t len, uint8_t bit) {
    OPTIMREQ_T* rec = new (std::nothrow) OPTIMREQ_T;
    if (!rec) return nullptr;
    rec->reg = reg;
    rec->addr = addr;
    rec->len = len;
    rec->bit = bit;
    rec->prev = tail;
    if (tail) tail->next = rec;
    if (!head) head = rec;
    if (!first_new) first_new = rec;
    tail = rec;
    return rec;
  }

  // Undoes this plan's records; the caller's list stays as it was.
  void Abandon() {
    if (!first_new) return;
    if (first_new->prev) first_new->prev->next = nullptr;
    RemoveOptimReq(first_new);
  }

  // Cuts c to kOptimReqMax bytes and continues in pieces; the last piece is returned.
  // With `data` the pieces carry their own part of the bytes.
  OPTIMREQ_T* Split(OPTIMREQ_T* c, const unsigned char* data) {
    uint32_t rest = c->len - kOptimReqMax;
    uint32_t addr = c->addr + kOptimReqMax;
    uint32_t offset = kOptimReqMax;
    c->len = kOptimReqMax;
    while (rest > 0) {
      uint32_t n = rest < kOptimReqMax ? rest : kOptimReqMax;
      // A piece of a written value keeps "no bit": a bit number would send it as a BOOL.
      c = Append(c->reg, addr, n, data ? 255 : 0);
      if (!c) return nullptr;
      if (data && offset + n <= sizeof c->data) memcpy(c->data, data + offset, n);
      rest -= n;
      addr += n;
      offset += n;
    }
    return c;
  }
};

uint32_t PlanLength(const PUBFILE_R& r) {
  if (r.type == PLC_BOOL) return r.bit / 8u + 1u;
  return r.type == PLC_STRING ? r.size : SizeofPlcReg(r.type);
}

}  // namespace

OPTIMREQ_T* CreatePFOptimReq(OPTIMREQ_T* list, PUBFILE_T* pf) {
  if (!pf) return nullptr;
  PlanBuilder plan(list);
  OPTIMREQ_T* c = nullptr;
  int prev_reg = -1;
  for (const auto& e : pf->index->addrs) {
    const PUBFILE_R& r = pf->recs[e.second];
    if (r.state != PF_ENABLED && r.state != PF_ALWAYS) continue;
    if (r.reg != prev_reg) {
      c = plan.Append(r.reg, r.addr, 0, 255);
      if (!c) return plan.Abandon(), nullptr;
      prev_reg = r.reg;
    }
    const uint32_t len = PlanLength(r);
    c->bit = r.type == PLC_BOOL ? r.bit : 255;
    const int64_t a = r.addr;
    const int64_t s = c->addr;
    const int64_t end = s + c->len;
    if (a < s) {
      // Key order puts a high bit number after later addresses. Shrinking the current request
      // would stop reading the variables it already covers, so this one gets its own request.
      log("CreatePFOptimReq", 0, "Overlapping address: %s %d (%d)", r.name, static_cast<int>(a),
          static_cast<int>(s));
      OPTIMREQ_T* own = plan.Append(r.reg, r.addr, len, c->bit);
      if (!own) return plan.Abandon(), nullptr;
      c = own;
    } else if (a - end <= 9) {
      int64_t want = (a - s) + len;
      if (want > c->len) c->len = static_cast<uint32_t>(want);
    } else {
      c = plan.Append(r.reg, r.addr, len, c->bit);
      if (!c) return plan.Abandon(), nullptr;
    }
    if (c->len > kOptimReqMax) {
      c = plan.Split(c, nullptr);
      if (!c) return plan.Abandon(), nullptr;
    }
  }
  const PUBFILE_R* crc = FindPubFileRecExact(pf, "__PF_CRC");
  if (crc) {
    uint8_t bit = crc->type == PLC_BOOL ? crc->bit : 255;
    if (!plan.Append(crc->reg, crc->addr, SizeofPlcReg(crc->type), bit))
      return plan.Abandon(), nullptr;
  }
  return plan.head;
}

OPTIMREQ_T* CreateCLIOptimReq(OPTIMREQ_T* list, PUBFILE_T* pf, CLIREQ_T* req) {
  if (!pf) return nullptr;
  PlanBuilder plan(list);
  for (CLIREQ_T* q = req; q; q = q->next) {
    const PUBFILE_R* r = FindPubFileRec(pf, q->name);
    if (!r) {
      log("CreateCLIOptimReq", 0, "Unknown variable name: %s", q->name);
      plan.Abandon();
      return nullptr;
    }
    const bool is_bool = r->type == PLC_BOOL;
    OPTIMREQ_T* c = plan.Append(r->reg, r->addr, PlanLength(*r), is_bool ? r->bit : 255);
    if (!c) return plan.Abandon(), nullptr;
    // Checked by the dispatcher before it queued the value.
    CharToBinPlc(c->data, q->value, r->type, r->bit, r->size);
    if (c->len > kOptimReqMax) {
      if (!plan.Split(c, c->data)) return plan.Abandon(), nullptr;
    }
  }
  return plan.head;
}

namespace {

// Freed records wait here for reuse by the same thread: reply lines of a busy client come and go
// every cycle, and none of them costs an allocation once the pool is warm.
constexpr size_t kCliReqPoolMax = 4096;
thread_local std::vector<CLIREQ_T*> cli_req_pool;

struct PoolReleaser {
  ~PoolReleaser() {
    for (CLIREQ_T* r : cli_req_pool) delete r;
    cli_req_pool.clear();
  }
};
thread_local PoolReleaser pool_releaser;

CLIREQ_T* NewCliReq() {
  (void)&pool_releaser;  // the pool is released with its thread
  if (cli_req_pool.empty()) return new (std::nothrow) CLIREQ_T;
  CLIREQ_T* r = cli_req_pool.back();
  cli_req_pool.pop_back();
  *r = CLIREQ_T();
  return r;
}

void FreeCliReq(CLIREQ_T* r) {
  if (cli_req_pool.size() < kCliReqPoolMax) {
    cli_req_pool.push_back(r);
    return;
  }
  delete r;
}

}  // namespace

CLIREQ_T* AddCliReqRec(CLIREQ_T* list) {
  CLIREQ_T* rec = NewCliReq();
  if (!rec) return nullptr;
  if (!list) {
    rec->flags = 1;
    return rec;
  }
  while (list->next) list = list->next;
  list->next = rec;
  rec->prev = list;
  return rec;
}

CLIREQ_T* RemoveCliReqRec(CLIREQ_T* rec) {
  if (!rec) return nullptr;
  CLIREQ_T* prev = rec->prev;
  CLIREQ_T* next = rec->next;
  if (prev) prev->next = next;
  if (next) next->prev = prev;
  FreeCliReq(rec);
  return prev ? prev : next;
}

void RemoveCliReq(CLIREQ_T* first, CLIREQ_T* last) {
  if (!first) return;
  CLIREQ_T* before = first->prev;
  CLIREQ_T* p = first;
  while (p) {
    CLIREQ_T* next = p->next;
    bool stop = (p == last);
    FreeCliReq(p);
    p = next;
    if (stop) break;
  }
  if (before) before->next = p;
  if (p) p->prev = before;
}

CLIREQ_T* FindCliReqRec(CLIREQ_T* list, const char* name) {
  if (!name) return nullptr;
  for (; list; list = list->next) {
    if (strcmp(list->name, name) == 0) return list;
  }
  return nullptr;
}

int ChangeCliReqRec(CLIREQ_T* a, CLIREQ_T* b) {
  if (!a || !b || a->next != b) return 0;
  CLIREQ_T* before = a->prev;
  CLIREQ_T* after = b->next;
  if (before) before->next = b;
  b->prev = before;
  b->next = a;
  a->prev = b;
  a->next = after;
  if (after) after->prev = a;
  return 0;
}

CLIREQ_T* SortCliReq(CLIREQ_T* list, PUBFILE_T* pf) {
  if (!pf) return nullptr;
  CLIREQ_T* head = list;
  bool swapped = true;
  while (swapped) {
    swapped = false;
    for (CLIREQ_T* a = head; a && a->next;) {
      CLIREQ_T* b = a->next;
      // Exact look-ups: key 0 would enumerate instead of finding.
      const PubAddrMap& addrs = pf->index->addrs;
      auto ra = addrs.find(a->key);
      auto rb = addrs.find(b->key);
      if (ra == addrs.end() || rb == addrs.end()) {
        double k = ra == addrs.end() ? a->key : b->key;
        log("SortCliReq", 0, "Unable to found record for key: %.6f", k);
        return nullptr;
      }
      const PUBFILE_R& x = pf->recs[ra->second];
      const PUBFILE_R& y = pf->recs[rb->second];
      if (x.addr > y.addr || (x.addr == y.addr && x.bit > y.bit)) {
        ChangeCliReqRec(a, b);
        if (head == a) head = b;
        swapped = true;
      } else {
        a = b;
      }
    }
  }
  return head;
}
