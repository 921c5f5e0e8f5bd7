// One cycle of a communication object, one function per step: the idle wait, connection upkeep,
// reading the PLC, serving the clients and writing what they set, rebuilding the read plan,
// following the PLC project's CRC and the public file, and remembering the images.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/clock.h"
#include "app/globals.h"
#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"
#include "comm/commobj_data.h"
#include "cycle/commobj_thread.h"
#include "files/ffile.h"
#include "files/fileaccess.h"
#include "files/pubfile_io.h"
#include "plc/optimreq.h"
#include "plc/plcdef.h"
#include "plc/plcvalue.h"
#include "plc/pubfile_ops.h"

namespace {

// The wait looks at commobj_state at least this often (a stop request also wakes it at once,
// through the stop descriptor in the readiness set).
constexpr long kPollSliceUs = 500000;

#define LOGOBJ(func, obj, fmt, ...) \
  log(func, 0, "PLC-%d (%s): " fmt, (obj)->cfg.plc_num, (obj)->cfg.name, ##__VA_ARGS__)

// The project CRC as the images hold it now; 0 when unknown.
uint32_t ImageCrcCommObject(COMMOBJ_T* obj) {
  char value[kPlcValueText] = {};
  GetValCommObject(obj, "__PF_CRC", value);
  return static_cast<uint32_t>(strtoul(value, nullptr, 10));
}

// Step 3: the flags that hold for one cycle start clear.
void StartCycleCommObject(COMMOBJ_T* obj) {
  obj->link_down = 0;
  obj->shm_down = 0;
  obj->service_error = 0;
}

// Step 4: reads the planned variables and returns the project CRC just read (0 when unknown).
// A failed read is logged once until a read succeeds, and reconnects once; a link that cannot
// be re-initialised is down for the rest of this cycle.
uint32_t ReadCommObject(COMMOBJ_T* obj) {
  if (!sync_var_enabled && IsDownloadedFile(obj->files) == 0) return 0;
  if (GetDataCommObject(obj) == 0) {
    obj->reconnect_logged = 0;
    return ImageCrcCommObject(obj);
  }
  if (!obj->reconnect_logged) {
    LOGOBJ("ThreadCommObject", obj, "Unable to get data from PLC!!!");
    if (obj->link.error.load() != 0) {
      LOGOBJ("ThreadCommObject", obj, "Error of communication service: %s",
             Dorvik_ErrorMSG(&obj->link));
      obj->service_error = 1;
    }
  }
  if (InitConnectCommObject(obj) != 0) {
    if (obj->cfg.link_kind == LINK_SHM)
      obj->shm_down = 1;
    else
      obj->link_down = 1;
  }
  obj->reconnect_logged = 1;
  return 0;
}

// Receives, reports changes to and dispatches one client's requests; false when its turn ends.
bool DispatchClientCommObject(COMMOBJ_T* obj, NETCOMM_T* r) {
  // Only a client the readiness set reported is read: an idle one costs no system call.
  if (!(r->state & NET_FREE) && r->readable) {
    r->readable = 0;
    if (GetReqCommObject(obj, r) != 0) return false;
  }
  if (!obj->link_down && !obj->shm_down && DiffCommObject(obj, r) != 0) return false;
  if (r->set_req) RemoveCliReq(r->set_req, nullptr);
  if (r->set_di_req) RemoveCliReq(r->set_di_req, nullptr);
  r->set_req = r->set_di_req = nullptr;
  return DoReqCommObject(obj, r) == 0;
}

// The notices of this cycle to one client; false when a send failed.
bool NotifyClientCommObject(COMMOBJ_T* obj, NETCOMM_T* r) {
  if (obj->notice != 0 && SendEmsgCommObject(obj, r, obj->notice, obj->pf_name) != 0) return false;
  if (obj->no_pubfile && !obj->pubfile_logged && obj->pf_pending[0] &&
      SendEmsgCommObject(obj, r, 41, obj->pf_pending) != 0)
    return false;
  return true;
}

// The write plan of one SET list, or null (logged when the list was not empty).
OPTIMREQ_T* PlanWritesCommObject(COMMOBJ_T* obj, CLIREQ_T* list, const char* what) {
  if (!list) return nullptr;
  OPTIMREQ_T* plan = CreateCLIOptimReq(nullptr, obj->pf, list);
  if (!plan)
    LOGOBJ("ThreadCommObject", obj, "Unable to optimize communication requests (%s)!!!", what);
  return plan;
}

// Writes what one client set in this cycle. A failed write is answered with code 21, and with
// the link's own code when it cannot be re-initialised either. The plan is dropped once sent.
void WriteClientCommObject(COMMOBJ_T* obj, NETCOMM_T* r) {
  RemoveOptimReq(obj->writeplan);
  obj->writeplan = PlanWritesCommObject(obj, r->set_req, "SET");
  obj->writeplan_di = PlanWritesCommObject(obj, r->set_di_req, "SET DI");
  obj->writeplan = AddOptimReq(obj->writeplan, obj->writeplan_di);
  obj->writeplan_di = nullptr;
  if (!obj->writeplan) return;
  int rc = SendDataCommObject(obj);
  RemoveOptimReq(obj->writeplan);
  obj->writeplan = nullptr;
  if (rc == 0) return;
  LOGOBJ("ThreadCommObject", obj, "Unable to send data to PLC!!!");
  SendEmsgCommObject(obj, r, 21, "");
  if (InitConnectCommObject(obj) == 0) return;
  switch (obj->cfg.link_kind) {
    case LINK_SERIAL:
      SendEmsgCommObject(obj, r, 10, obj->cfg.serial_device);
      break;
    case LINK_SHM:
      SendEmsgCommObject(obj, r, 70, obj->cfg.shm_name);
      break;
    default:
      SendEmsgCommObject(obj, r, 10, obj->cfg.ipaddr);
      break;
  }
}

// A client that closed after its last requests is closed once they are answered.
void CloseAnsweredCommObject(COMMOBJ_T* obj, NETCOMM_T* r) {
  if (!r->peer_closed || (r->state & (NET_PENDING | NET_FREE)) || r->tx_len > 0) return;
  LOGOBJ("GetReqCommObject", obj, "Closed connection from %s", r->addr);
  r->state = NET_FREE;
}

// Step 5: serves every connected client; requests wait while the PLC project is found changed.
void ServeClientsCommObject(COMMOBJ_T* obj, uint32_t crc_read) {
  for (NETCOMM_T* r = obj->clients; r && commobj_state.load() != 3; r = r->next) {
    if (crc_read != 0 && crc_read != obj->pf_crc) continue;
    if (!(r->state & NET_CONNECTED)) continue;
    if (r->state & NET_PENDING) {
      if (r->tx_len == 0) obj->idle_wait = 0;  // a stalled socket wakes the wait itself
    } else if (!DispatchClientCommObject(obj, r)) {
      WatchNetComm(obj, r);
      continue;
    }
    if (NotifyClientCommObject(obj, r)) {
      if (SendReqCommObject(obj, r) == 0) {
        WriteClientCommObject(obj, r);
        CloseAnsweredCommObject(obj, r);
      }
    }
    WatchNetComm(obj, r);
  }
}

// The clients' public-file copies, for the acquisition below the client layer.
void ClientCopiesCommObject(COMMOBJ_T* obj, PubFileCopies* out) {
  GetPubFileCopiesNetComm(obj->clients, out);
}

void LogActiveCommObject(COMMOBJ_T* obj) {
  LOGOBJ("ThreadCommObject", obj, "Changed active variables in public file '%s' [%d/%d].",
         obj->pf_name, CountActRecPublicFile(obj->pf), CountRecPublicFile(obj->pf));
}

// Steps 6 and 11: the clients' choices folded into the public file and the read plan anew.
void RebuildReadPlanCommObject(COMMOBJ_T* obj) {
  RemoveOptimReq(obj->readplan);
  PubFileCopies copies;
  ClientCopiesCommObject(obj, &copies);
  UpdatePubFile(obj->pf, &copies);
  obj->active_changed = 0;
  obj->readplan = CreatePFOptimReq(nullptr, obj->pf);
  ListActiveCommObject(obj);
  if (!obj->readplan && CountActRecPublicFile(obj->pf) > 0)
    LOGOBJ("ThreadCommObject", obj, "Unable to optimize communication requests (GET)!!!");
  LogActiveCommObject(obj);
}

// Acquisition from the cycle; the notice tells the clients whether their copies were renewed.
int ReloadPubfileCommObject(COMMOBJ_T* obj) {
  if (InitPubfileCommObject(obj) != 0) return 1;
  obj->notice = obj->pf_same ? 251 : 250;
  return 0;
}

// Step 9: follows the project CRC. Returns true when it changed from one known value to another.
bool CheckProjectCrcCommObject(COMMOBJ_T* obj) {
  const uint32_t crc = ImageCrcCommObject(obj);
  if (crc == 0) {
    obj->pf_crc = 0;
    return false;
  }
  if (crc == obj->pf_crc) return false;
  const uint32_t old = obj->pf_crc;
  obj->pf_crc = crc;
  LOGOBJ("ThreadCommObject", obj, "New CRC code of PLC project: %X", crc);
  obj->pubfile_logged = 0;
  if (obj->cfg.pubfile_write) {
    RemoveOptimReq(obj->readplan);
    obj->readplan = nullptr;
    LOGOBJ("ThreadCommObject", obj, "Getting public file '%s'.", obj->pf_name);
    obj->no_pubfile = 0;
    if (ReloadPubfileCommObject(obj) != 0) {
      LOGOBJ("ThreadCommObject", obj, "Unable to get public file '%s'!!!", obj->pf_name);
      obj->no_pubfile = 1;
    }
  } else if (strcmp(obj->pf_name, ".") != 0 && !obj->pf_pending[0]) {
    snprintf(obj->pf_pending, sizeof obj->pf_pending, "%s", obj->pf_name);
  }
  return old != 0;
}

// Steps 10 and 11: a missing public file is tried again; otherwise a changed choice of
// variables rebuilds the read plan.
void RetryPubfileCommObject(COMMOBJ_T* obj) {
  if (obj->no_pubfile) {
    if (ReloadPubfileCommObject(obj) != 0) return;
    obj->no_pubfile = 0;
    if (obj->active_changed) RebuildReadPlanCommObject(obj);
  } else if (obj->active_changed) {
    RebuildReadPlanCommObject(obj);
  }
}

// Step 12: a pending public file is loaded only when its file information differs from the
// loaded file's.
void PendingPubfileCommObject(COMMOBJ_T* obj) {
  if (!obj->pf_pending[0]) return;
  const char* dir = obj->cfg.pubfile_write ? obj->cfg.name : "";
  if (!obj->pubfile_logged)
    LOGOBJ("ThreadCommObject", obj, "Getting public file '%s'.", obj->pf_pending);
  FFILE_T info, loaded;
  const bool known =
      GetFileInfo(&info, dir, obj->pf_pending, &obj->link, obj->cfg.dvktout_step) == 0;
  if (known && PubFileInfo(obj->pf, &loaded) == 0 && CompareFileInfo(&info, &loaded) == 0) {
    obj->pf_pending[0] = '\0';
    LOGOBJ("ThreadCommObject", obj, "Public file '%s' not changed. File is same.", obj->pf_name);
    obj->notice = 251;
    if (obj->cfg.pubfile_write && info.source == SRC_PLC) {
      LOGOBJ("ThreadCommObject", obj, "Write public file '%s' to local disk.", obj->pf_name);
      if (!WritePubFile(obj->pf, obj->cfg.name))
        LOGOBJ("ThreadCommObject", obj, "Unable to write public file '%s'!!!", obj->pf_name);
    }
    return;
  }
  snprintf(obj->pf_name, sizeof obj->pf_name, "%s", obj->pf_pending);
  RemoveOptimReq(obj->readplan);
  obj->readplan = nullptr;
  obj->no_pubfile = 0;
  if (ReloadPubfileCommObject(obj) == 0) {
    obj->pf_pending[0] = '\0';
    if (!known) LogActiveCommObject(obj);
    return;
  }
  if (!obj->pubfile_logged)
    LOGOBJ("ThreadCommObject", obj, "Unable to get public file '%s'!!!", obj->pf_name);
  obj->no_pubfile = 1;
}

// At -v -v: every active variable whose value changed since the previous cycle.
void TraceChangesCommObject(COMMOBJ_T* obj) {
  if (verbose.load() < 2 || !obj->pf) return;
  for (PUBFILE_R* rec = FindPubFileRec(obj->pf, "*"); rec; rec = FindPubFileRec(obj->pf, "*")) {
    if (rec->state != PF_ENABLED && rec->state != PF_ALWAYS) continue;
    int img = ImageOfReg(rec->reg);
    uint32_t n = rec->type == PLC_BOOL ? rec->bit / 8u + 1 : rec->size;
    if (img < 0 || rec->addr + static_cast<uint64_t>(n) > obj->img_prev[img].size()) continue;
    if (memcmp(obj->img[img].data() + rec->addr, obj->img_prev[img].data() + rec->addr, n) == 0)
      continue;
    char value[kPlcValueText];
    GetValCommObject(obj, rec->name, value);
    log("ThreadCommObject", 2, "PLC-%d (%s): %s = %s", obj->cfg.plc_num, obj->cfg.name, rec->name,
        value);
  }
}

// Step 13: after a project change the old values are not compared against the new project's;
// the images of this cycle become the previous images.
void RememberImagesCommObject(COMMOBJ_T* obj, bool project_changed) {
  if (project_changed) {
    SetValCommObject(obj, "__PF_CRC", "0");
    if (obj->notice != 251) ClearDataCommObject(obj);
  }
  TraceChangesCommObject(obj);
  CopyDataCommObject(obj);
}

}  // namespace

void IdleWaitCommObject(COMMOBJ_T* obj) {
  // Waits like 1 ms steps would (cut short by input, a new connection or a pending write), but
  // wakes the moment a socket is ready instead of on the next millisecond.
  const int64_t deadline = ClockMonoUs() + obj->idle_wait / 1000 * 1000L;
  const bool backoff = obj->listen_backoff != 0;
  bool polled = false;  // the last thing done was a look at the readiness set
  for (;;) {
    if (obj->wakeup || obj->writeplan) {
      obj->wakeup = 0;
      polled = false;
      break;
    }
    int64_t left = deadline - ClockMonoUs();
    if (left <= 0 || commobj_state.load() == 3) break;
    if (left > kPollSliceUs) left = kPollSliceUs;
    polled = true;
    if (PollNetCommObject(obj, static_cast<long>(left))) break;
  }
  if (backoff) obj->listen_backoff = 0;
  // A listening socket left out of the wait must be looked at again by the cycle.
  obj->fresh_poll = polled && !backoff;
}

void PrepareCycleCommObject(COMMOBJ_T* obj) {
  obj->client_copies = ClientCopiesCommObject;
}

void CycleCommObject(COMMOBJ_T* obj) {
  ++obj->cycle_no;
  // What became ready after the idle wait, unless the wait has only just looked.
  if (!obj->fresh_poll) PollNetCommObject(obj, 0);
  obj->fresh_poll = 0;
  UpdateNetCommObject(obj);
  StartCycleCommObject(obj);
  const uint32_t crc_read = ReadCommObject(obj);
  ServeClientsCommObject(obj, crc_read);
  if (obj->active_changed) RebuildReadPlanCommObject(obj);
  if (obj->no_pubfile) obj->pubfile_logged = 1;
  obj->notice = 0;
  if (obj->link_down || obj->shm_down) return;
  const bool project_changed = CheckProjectCrcCommObject(obj);
  RetryPubfileCommObject(obj);
  PendingPubfileCommObject(obj);
  RememberImagesCommObject(obj, project_changed);
}
