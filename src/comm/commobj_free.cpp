// Releasing what a communication object owns below the client layer, once its thread has ended.
#include "comm/commobj.h"
#include "comm/commobj_shm.h"
#include "files/ffile.h"
#include "plc/optimreq.h"
#include "plc/pubfile_ops.h"

void FreeCommObject(COMMOBJ_T* obj) {
  for (int r = 0; r < 4; ++r) {
    std::vector<unsigned char>().swap(obj->img[r]);
    std::vector<unsigned char>().swap(obj->img_prev[r]);
    obj->img_size[r] = 0;
  }
  // The cache first: a file-get worker still reading for it needs the link until it is stopped.
  RemoveFile(obj->files);
  obj->files = nullptr;
  Dorvik_EXIT(&obj->link);
  CloseShmCommObject(obj);  // a binding the thread did not get to release
  // The merged public file owns the names it read; the fixed one owns all of its own.
  obj->active.clear();
  RemovePubFile(obj->pf, 1);
  RemovePubFile(obj->pf_fixed, 2);
  obj->pf = obj->pf_fixed = nullptr;
  RemoveOptimReq(obj->readplan);
  RemoveOptimReq(obj->writeplan);
  RemoveOptimReq(obj->writeplan_di);
  obj->readplan = obj->writeplan = obj->writeplan_di = nullptr;
}
