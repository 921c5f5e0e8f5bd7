// One cycle of a communication object, one function per step: the idle wait, connection upkeep,
// reading the PLC, serving the clients.
#include "app/clock.h"
#include "app/globals.h"
#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"
#include "cycle/commobj_thread.h"
#include "plc/optimreq.h"

namespace {

constexpr long kPollSliceUs = 50000;  // the wait looks at commobj_state at least this often

// Clears the flags that hold for one cycle.
void StartCycleCommObject(COMMOBJ_T* obj) {
  obj->link_down = 0;
  obj->shm_down = 0;
  obj->service_error = 0;
}

// Reads the planned variables; returns the project CRC just read (0 when unknown). A failed read
// reconnects once; a link that cannot be re-initialised is down for this cycle.
uint32_t ReadCommObject(COMMOBJ_T* obj) {
  if (GetDataCommObject(obj) == 0) {
    obj->reconnect_logged = 0;
    return 0;
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

// Receives and dispatches one client's requests; false when its turn ends here.
bool DispatchClientCommObject(COMMOBJ_T* obj, NETCOMM_T* r) {
  if (!(r->state & NET_FREE) && RecvNetComm(r) != 0) {
    log("GetReqCommObject", 0, "PLC-%d (%s): Closed connection from %s", obj->cfg.plc_num,
        obj->cfg.name, r->addr);
    r->state = NET_FREE;
    return false;
  }
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

// Serves every connected client; requests wait while the PLC project is found changed.
void ServeClientsCommObject(COMMOBJ_T* obj, uint32_t crc_read) {
  for (NETCOMM_T* r = obj->clients; r && commobj_state.load() != 3; r = r->next) {
    if (crc_read != 0 && crc_read != obj->pf_crc) continue;
    if (!(r->state & NET_CONNECTED)) continue;
    if (r->state & NET_PENDING)
      obj->idle_wait = 0;
    else if (!DispatchClientCommObject(obj, r))
      continue;
    if (!NotifyClientCommObject(obj, r)) continue;
  }
}

}  // namespace

void IdleWaitCommObject(COMMOBJ_T* obj) {
  // Waits like 1 ms steps would (cut short by input, a new connection or a pending write), but
  // wakes the moment a socket is ready instead of on the next millisecond.
  const int64_t deadline = ClockMonoUs() + obj->idle_wait / 1000 * 1000L;
  const bool backoff = obj->listen_backoff != 0;
  for (;;) {
    if (obj->wakeup || obj->writeplan) {
      obj->wakeup = 0;
      break;
    }
    int64_t left = deadline - ClockMonoUs();
    if (left <= 0 || commobj_state.load() == 3) break;
    if (left > kPollSliceUs) left = kPollSliceUs;
    if (PollNetCommObject(obj, static_cast<long>(left))) break;
  }
  if (backoff) obj->listen_backoff = 0;
}

void CycleCommObject(COMMOBJ_T* obj) {
  UpdateNetCommObject(obj);
  StartCycleCommObject(obj);
  uint32_t crc_read = ReadCommObject(obj);
  ServeClientsCommObject(obj, crc_read);
  obj->notice = 0;
}
