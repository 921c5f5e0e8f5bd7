// Sending what is queued for a client: the reply lists in their sections, file and memory data
// as the workers fill them, and DIFF lines, in portions that keep one client from holding the
// thread.
#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"

int SendReqCommObject(COMMOBJ_T* obj, NETCOMM_T* cli) {
  if (cli->state & NET_FREE) return 0;
  if (SendNetComm(cli, -1) != 0) {
    log("SendReqCommObject", 0, "PLC-%d (%s): Closed connection from %s", obj->cfg.plc_num,
        obj->cfg.name, cli->addr);
    cli->state = NET_FREE;
    return 1;
  }
  // Output the socket has not taken yet goes first; nothing new is added behind it.
  if (cli->tx_len > 0) {
    cli->state |= NET_PENDING;
    return 0;
  }
  cli->state &= ~NET_PENDING;
  return 0;
}
