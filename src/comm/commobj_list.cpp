// The list of communication objects.
#include <cstdio>
#include <cstring>
#include <new>

#include "comm/commobj.h"

COMMOBJ_T* SeekCommObject(COMMOBJ_T* list, int where) {
  if (!list) return nullptr;
  if (where == 0) {
    while (list->prev) list = list->prev;
  } else if (where == 2) {
    while (list->next) list = list->next;
  }
  return list;
}

COMMOBJ_T* AddCommObjectRec(COMMOBJ_T* list) {
  COMMOBJ_T* obj = new (std::nothrow) COMMOBJ_T();
  if (!obj) return nullptr;
  COMMOBJ_T* last = SeekCommObject(list, 2);
  if (last) {
    last->next = obj;
    obj->prev = last;
  }
  return obj;
}

COMMOBJ_T* RemoveCommObjectRec(COMMOBJ_T* obj) {
  if (!obj) return nullptr;
  COMMOBJ_T* following = obj->prev ? nullptr : obj->next;
  if (obj->prev) obj->prev->next = obj->next;
  if (obj->next) obj->next->prev = obj->prev;
  delete obj;
  return following;
}

void RemoveCommObject(COMMOBJ_T* list) {
  if (!list) return;
  if (list->prev) list->prev->next = nullptr;
  while (list) {
    COMMOBJ_T* next = list->next;
    delete list;
    list = next;
  }
}

COMMOBJ_T* FindCommObject(COMMOBJ_T* list, const char* ipaddr) {
  for (COMMOBJ_T* o = SeekCommObject(list, 0); o; o = o->next)
    if (strcmp(o->cfg.ipaddr, ipaddr) == 0) return o;
  return nullptr;
}

COMMOBJ_T* CreateCommObject(COMMOBJ_T* list, const PLCCFG_T* cfg) {
  COMMOBJ_T* obj = AddCommObjectRec(list);
  if (!obj) return nullptr;
  obj->cfg = *cfg;
  snprintf(obj->pf_name, sizeof obj->pf_name, "%s", cfg->pubfile);
  return obj;
}
