// Sending what is queued for a client: the reply lists in their sections, file and memory data
// as the workers fill them, and DIFF lines, in portions that keep one client from holding the
// thread.
#include "client/reply.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"
#include "plc/optimreq.h"

namespace {

const char* Eol(const NETCOMM_T* cli) {
  return cli->crlf ? "\r\n" : "\n";
}

// Lines of one list ("LIST:", "GET:" or "DIFF:") within the section budget; entries queued are
// freed. 0: all queued (the terminator too when asked); 2: the budget is used, more next cycle;
// 1: the client is closing.
int SendListSection(REPLY_T* r, CLIREQ_T** list, const char* tag, int32_t* term) {
  std::string gathered;
  CLIREQ_T* rest = *list;
  bool full = false;
  for (; rest; rest = rest->next) {
    if (!rest->name[0]) continue;
    std::string line = std::string(tag) + rest->name + "," + rest->value + Eol(r->cli);
    if (!gathered.empty() && gathered.size() + line.size() > kReplyBudget) {
      full = true;
      break;
    }
    gathered += line;
  }
  if (!full && term && *term) {
    std::string line = std::string(tag) + Eol(r->cli);
    if (gathered.size() + line.size() > kReplyBudget) {
      full = true;
    } else {
      gathered += line;
      *term = 0;
    }
  }
  if (*list != rest) RemoveCliReq(*list, rest ? rest->prev : nullptr);
  *list = rest;
  if (QueueReply(r, gathered) != 0) {
    RemoveCliReq(*list, nullptr);
    *list = nullptr;
    return 1;
  }
  return full ? 2 : 0;
}

// The information replies, each list gathered and sent at once.
int SendInfoSection(REPLY_T* r) {
  NETCOMM_T* cli = r->cli;
  std::string text;
  for (CLIREQ_T* e = cli->finfo_req; e; e = e->next) {
    char head[300];
    snprintf(head, sizeof head, "GETFILEINFO:%s[%zu]=", e->name, strlen(e->value));
    text += std::string(head) + e->value + Eol(cli);
  }
  for (CLIREQ_T* e = cli->wfinfo_req; e; e = e->next)
    text += std::string("WRITEFILEINFO:") + e->name + " OK" + Eol(cli);
  if (cli->info_req || cli->info_term) {
    if (cli->json) {
      std::string line(kNetBufSize, '\0');
      size_t n = 0;
      if (JsonGetInfoLine(cli->info_req, cli->crlf, &line[0], line.size(), &n) == 0)
        text.append(line, 0, n);
    } else {
      for (CLIREQ_T* e = cli->info_req; e; e = e->next)
        if (e->name[0]) text += std::string("GETINFO:") + e->name + "," + e->value + Eol(cli);
      if (cli->info_term) text += std::string("GETINFO:") + Eol(cli);
    }
  }
  if (cli->help_req || cli->help_term) {
    if (cli->json) {
      std::string line(kNetBufSize, '\0');
      size_t n = 0;
      if (JsonHelpLine(hlp_msgs, cli->crlf, &line[0], line.size(), &n) == 0)
        text.append(line, 0, n);
    } else {
      for (CLIREQ_T* e = cli->help_req; e; e = e->next)
        text += std::string("HELP:") + e->value + Eol(cli);
      if (cli->help_term) text += std::string("HELP:") + Eol(cli);
    }
  }
  for (CLIREQ_T** l : {&cli->finfo_req, &cli->wfinfo_req, &cli->info_req, &cli->help_req}) {
    RemoveCliReq(*l, nullptr);
    *l = nullptr;
  }
  cli->info_term = cli->help_term = 0;
  return QueueReply(r, text) != 0 ? 1 : 0;
}

}  // namespace

int QueueReply(REPLY_T* r, const std::string& text) {
  if (text.size() <= 1) return 0;  // a reply of a single byte is never sent
  if (QueueNetComm(r->cli, text.data(), text.size()) != 0) return DropSlowNetComm(r->obj, r->cli);
  return SendNetComm(r->cli, -1) != 0 ? ClosedReply(r) : 0;
}

int ClosedReply(REPLY_T* r) {
  log("SendReqCommObject", 0, "PLC-%d (%s): Closed connection from %s", r->obj->cfg.plc_num,
      r->obj->cfg.name, r->cli->addr);
  r->cli->state = NET_FREE;
  return 1;
}

int SendReqCommObject(COMMOBJ_T* obj, NETCOMM_T* cli) {
  if (cli->state & NET_FREE) return 0;
  REPLY_T r{obj, cli};
  // Output the socket has not taken yet goes first; nothing new is added behind it.
  if (SendNetComm(cli, -1) != 0) return ClosedReply(&r);
  cli->state |= NET_PENDING;
  if (cli->tx_len > 0) return 0;

  int rc = SendListSection(&r, &cli->list_req, "LIST:", &cli->list_term);
  if (rc != 0) return rc == 1 ? 1 : 0;
  rc = SendListSection(&r, &cli->get_req, "GET:", &cli->get_term);
  if (rc != 0) return rc == 1 ? 1 : 0;
  if (SendInfoSection(&r) != 0) return 1;
  for (auto section : {SendMemSection, SendFileSection, SendWriteFileSection}) {
    rc = section(&r);
    if (rc != 0) return rc == 1 ? 1 : 0;
  }
  if (cli->diff) {
    rc = SendListSection(&r, &cli->diff_req, "DIFF:", nullptr);
    if (rc != 0) return rc == 1 ? 1 : 0;
  }
  RemoveCliReq(cli->diff_req, nullptr);  // unsent entries of a client with DIFF off are dropped
  cli->diff_req = nullptr;
  cli->state &= ~NET_PENDING;
  return 0;
}
