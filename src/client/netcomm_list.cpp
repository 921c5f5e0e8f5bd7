// The list of client records: adding, removing, seeking, counting, resetting a slot for reuse,
// and the view of the clients' public-file copies.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "app/globals.h"
#include "client/netcomm.h"
#include "files/ffile.h"
#include "files/mem.h"
#include "plc/optimreq.h"
#include "plc/pubfile_ops.h"

namespace {

// Records come straight from the kernel: zero-filled, and the pages of the big buffers stay
// unbacked until written, whatever the allocator's thresholds are at the time. Constructing the
// record writes its small fields only; the buffers keep the kernel's zeros.
NETCOMM_T* AllocRec() {
  void* p =
      mmap(nullptr, sizeof(NETCOMM_T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : new (p) NETCOMM_T;
}

void FreeRec(NETCOMM_T* rec) {
  rec->~NETCOMM_T();
  munmap(rec, sizeof(NETCOMM_T));
}

void FreeCliReqs(CLIREQ_T*& list) {
  if (list) RemoveCliReq(list, nullptr);
  list = nullptr;
}

}  // namespace

NETCOMM_T* AddNetCommRec(NETCOMM_T* rec) {
  NETCOMM_T* n = AllocRec();
  if (!n) return nullptr;
  NETCOMM_T* last = SeekNetComm(rec, 2);
  if (last) {
    last->next = n;
    n->prev = last;
  }
  return n;
}

NETCOMM_T* RemoveNetCommRec(NETCOMM_T* rec) {
  if (!rec) return nullptr;
  NETCOMM_T* next = rec->next;
  if (rec->prev) rec->prev->next = rec->next;
  if (rec->next) rec->next->prev = rec->prev;
  FreeRec(rec);
  return next;
}

void RemoveNetComm(NETCOMM_T* rec) {
  if (!rec) return;
  if (rec->prev) rec->prev->next = nullptr;
  while (rec) {
    NETCOMM_T* next = rec->next;
    FreeRec(rec);
    rec = next;
  }
}

NETCOMM_T* SeekNetComm(NETCOMM_T* rec, int whence) {
  if (!rec) return nullptr;
  if (whence == 0) {
    while (rec->prev) rec = rec->prev;
  } else if (whence == 2) {
    while (rec->next) rec = rec->next;
  }
  return rec;
}

int CountRecNetComm(NETCOMM_T* list) {
  (void)list;
  return net_connect_max;
}

int CountActRecNetComm(NETCOMM_T* list) {
  int n = 0;
  for (NETCOMM_T* r = SeekNetComm(list, 0); r; r = r->next)
    if (r->state & NET_CONNECTED) ++n;
  return n;
}

void RemoveListsNetComm(NETCOMM_T* rec) {
  FreeCliReqs(rec->list_req);
  FreeCliReqs(rec->diff_req);
  FreeCliReqs(rec->get_req);
  FreeCliReqs(rec->set_req);
  FreeCliReqs(rec->set_di_req);
  FreeCliReqs(rec->finfo_req);
  FreeCliReqs(rec->wfinfo_req);
  FreeCliReqs(rec->info_req);
  FreeCliReqs(rec->help_req);
  RemoveFileCliReq(rec->getfile_req);  // the files they name belong to the object's cache
  rec->getfile_req = nullptr;
  RemoveFile(rec->writefile);  // stops a writer still busy with one of them
  rec->writefile = nullptr;
  RemoveMem(rec->mem_req);
  rec->mem_req = nullptr;
}

void ClearRxNetComm(NETCOMM_T* rec) {
  memset(rec->rx, 0, rec->rx_len < kNetBufSize ? rec->rx_len + 1 : kNetBufSize);
  rec->rx_len = 0;
}

void ClearTxNetComm(NETCOMM_T* rec) {
  // A writer that forgot to count still leaves a terminated text behind.
  size_t used = strnlen(rec->tx, kNetBufSize);
  if (rec->tx_len > used) used = rec->tx_len;
  memset(rec->tx, 0, used < kNetBufSize ? used + 1 : kNetBufSize);
  rec->tx_len = 0;
}

void ResetNetCommRec(NETCOMM_T* rec) {
  RemoveListsNetComm(rec);
  if (rec->pf) RemovePubFile(rec->pf, 0);
  rec->pf = nullptr;
  memset(rec->pending, 0, rec->pending_len < kNetBufSize ? rec->pending_len + 1 : kNetBufSize);
  memset(rec->deferred, 0, rec->deferred_len < kNetBufSize ? rec->deferred_len + 1 : kNetBufSize);
  ClearRxNetComm(rec);
  ClearTxNetComm(rec);
  static_cast<NETSLOT_T&>(*rec) = NETSLOT_T();
}

void GetPubFileCopiesNetComm(NETCOMM_T* list, PubFileCopies* out) {
  out->clear();
  for (NETCOMM_T* r = SeekNetComm(list, 0); r; r = r->next)
    if ((r->state & NET_CONNECTED) && r->sock >= 1) out->push_back(&r->pf);  // a copy to come
}
