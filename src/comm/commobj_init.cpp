// First connection and public files of a communication object at thread start.
#include <cstdio>

#include "app/log.h"
#include "comm/commobj.h"
#include "files/pubfile_io.h"

namespace {

const char* const kFunc = "InitCommObject";

// The fixed public file from the local disk; it must name where the project CRC lives, and all
// its variables are always read.
int GetFixedPubFileCommObject(COMMOBJ_T* obj) {
  const int n = obj->cfg.plc_num;
  const char* s = obj->cfg.name;
  const char* name = obj->cfg.pubfile_fixed;
  log(kFunc, 0, "PLC-%d (%s): Getting fixed public file '%s'.", n, s, name);
  int source = PF_SRC_LOCAL;
  obj->pf_fixed = GetPubFile(nullptr, "", name, &obj->pf_flag, &obj->link, obj->cfg.dvktout_step,
                             &source, nullptr);
  if (!obj->pf_fixed) source = SRC_NONE;
  const int items = CountRecPublicFile(obj->pf_fixed);
  if (source == SRC_LOCAL)
    log(kFunc, 0, "PLC-%d (%s): Obtained fixed public file '%s' (%d items) from local computer.", n,
        s, name, items);
  else if (source == SRC_PLC)
    log(kFunc, 0, "PLC-%d (%s): Obtained fixed public file '%s' (%d items) from PLC.", n, s, name,
        items);
  if (!obj->pf_fixed) {
    log(kFunc, 0, "PLC-%d (%s): Unable to get fixed public file '%s'!!!", n, s, name);
    return 1;
  }
  if (!FindPubFileRecExact(obj->pf_fixed, "__PF_CRC")) {
    log(kFunc, 0, "PLC-%d (%s): Unable to find variable '%s' in fixed public file!!!", n, s,
        "__PF_CRC");
    return 1;
  }
  for (PUBFILE_R* r = FindPubFileRec(obj->pf_fixed, "*"); r; r = FindPubFileRec(obj->pf_fixed, "*"))
    r->state = PF_ALWAYS;
  return 0;
}

}  // namespace

int InitCommObject(COMMOBJ_T* obj) {
  InitConnectCommObject(obj);  // a PLC that is not reachable yet is retried by the cycle
  if (!obj->pf_fixed && GetFixedPubFileCommObject(obj) != 0) return 1;
  log(kFunc, 0, "PLC-%d (%s): Getting public file '%s'.", obj->cfg.plc_num, obj->cfg.name,
      obj->pf_name);
  if (InitPubfileCommObject(obj) != 0) {
    log(kFunc, 0, "PLC-%d (%s): Unable to get public file '%s'!!!", obj->cfg.plc_num, obj->cfg.name,
        obj->pf_name);
    snprintf(obj->pf_pending, sizeof obj->pf_pending, "%s", obj->pf_name);
  }
  return 0;
}
