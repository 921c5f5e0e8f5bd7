// Releasing what a communication object owns, once its thread has ended.
#include "comm/commobj.h"
#include "comm/commobj_internal.h"

void FreeCommObject(COMMOBJ_T* obj) {
  Dorvik_EXIT(&obj->link);
  for (int r = 0; r < 4; ++r) {
    std::vector<unsigned char>().swap(obj->img[r]);
    std::vector<unsigned char>().swap(obj->img_prev[r]);
    obj->img_size[r] = 0;
  }
}
