// Link request planning: the read plan of a public file's enabled variables, the write plan of
// a client's request list, and the two list record types they use.
// Both lists belong to one communication object's thread.
#pragma once
#include <cstdint>

#include "plc/pubfile.h"

constexpr uint32_t kOptimReqMax = 246;  // largest data block of one link request

// One planned link request.
struct OPTIMREQ_T {
  uint8_t reg = 0;
  unsigned char data[259] = {};  // at most kOptimReqMax used
  uint32_t addr = 0;
  uint32_t len = 0;
  uint8_t bit = 0;  // BOOL: its bit; 255 otherwise; 0 for split pieces
  OPTIMREQ_T* prev = nullptr;
  OPTIMREQ_T* next = nullptr;
};

// One variable of a client request.
struct CLIREQ_T {
  char name[256] = {};
  char value[256] = {};
  double key = 0;
  int32_t flags = 0;  // bit 0: first record of a new list; bit 1: set by the dispatcher
  CLIREQ_T* prev = nullptr;
  CLIREQ_T* next = nullptr;
};

OPTIMREQ_T* AddOptimReqRec(OPTIMREQ_T* list);           // new zeroed record at the end, or null
OPTIMREQ_T* RemoveOptimReqRec(OPTIMREQ_T* rec);         // predecessor, else successor
OPTIMREQ_T* AddOptimReq(OPTIMREQ_T* a, OPTIMREQ_T* b);  // b appended to a; the head
void RemoveOptimReq(OPTIMREQ_T* list);

// The read plan of pf appended to `list`; the head, or null when pf is null or memory runs out
// (then `list` is left as it was and still belongs to the caller).
OPTIMREQ_T* CreatePFOptimReq(OPTIMREQ_T* list, PUBFILE_T* pf);
// The write plan of `req` appended to `list`; null on an unknown name or out of memory (`list`
// left as it was).
OPTIMREQ_T* CreateCLIOptimReq(OPTIMREQ_T* list, PUBFILE_T* pf, CLIREQ_T* req);

CLIREQ_T* AddCliReqRec(
    CLIREQ_T* list);  // new zeroed record at the end (flags 1 if it starts a list)
CLIREQ_T* RemoveCliReqRec(CLIREQ_T* rec);
// Frees `first` and every record after it up to and including `last` (null: to the end),
// joining the records before and after the freed run.
void RemoveCliReq(CLIREQ_T* first, CLIREQ_T* last);
CLIREQ_T* FindCliReqRec(CLIREQ_T* list, const char* name);
int ChangeCliReqRec(CLIREQ_T* a, CLIREQ_T* b);        // swaps a and its successor b; 0
CLIREQ_T* SortCliReq(CLIREQ_T* list, PUBFILE_T* pf);  // by address then bit; new head or null
