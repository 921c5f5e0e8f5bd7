// The variables whose bytes changed in this cycle, found once per object and cycle with their
// value texts, so the change report of every client only looks at them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct COMMOBJ_T;
struct PUBFILE_R;

// One variable of the object's public file whose bytes differ from the previous cycle's.
struct CHANGE_T {
  const PUBFILE_R* rec;  // the object's record (name, register, address, type)
  uint32_t text;         // its reply text ("%.255s", a STRING "\"%.253s\"") in CHANGES_T::text
  uint32_t len;
};

struct CHANGES_T {
  uint64_t cycle = ~0ull;      // the cycle the list belongs to
  std::vector<CHANGE_T> list;  // in name order
  std::string text;
};

// The variables the object reads (state 1 or 4), in name order: rebuilt with every read plan.
void ListActiveCommObject(COMMOBJ_T* obj);
// This cycle's changes among them (computed at the first call of the cycle).
const CHANGES_T& ChangesCommObject(COMMOBJ_T* obj);
