// Sending what is queued for a client: the reply lists in their sections, file and memory data
// as the workers fill them, and DIFF lines, in portions that keep one client from holding the
// thread.
#include "client/reply.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/log.h"
#include "client/dispatch.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"
#include "comm/commobj_changes.h"
#include "plc/optimreq.h"

int FlushSection(REPLY_T* r) {
  return SendNetComm(r->cli, -1) != 0 ? ClosedReply(r) : 0;
}

namespace {

const char* Eol(const NETCOMM_T* cli) {
  return cli->crlf ? "\r\n" : "\n";
}

// A section's lines written straight into the client's output queue, within the section's
// budget: no line is built anywhere else first.
struct SECTION_T {
  NETCOMM_T* cli;
  size_t used = 0;  // bytes of this section so far

  // Appends tag, a, ",", b and the line end ("," and b only when b is given); false when the
  // line does not fit the budget or the queue (nothing is written then).
  bool Line(const char* tag, const char* a, size_t alen, const char* b, size_t blen) {
    const char* eol = Eol(cli);
    const size_t tlen = strlen(tag), elen = strlen(eol);
    const size_t n = tlen + alen + (b ? 1 + blen : 0) + elen;
    if (used > 0 && used + n > kReplyBudget) return false;
    if (cli->tx_len + n >= kNetBufSize) return false;
    char* out = cli->tx + cli->tx_len;
    memcpy(out, tag, tlen);
    memcpy(out + tlen, a, alen);
    size_t at = tlen + alen;
    if (b) {
      out[at++] = ',';
      memcpy(out + at, b, blen);
      at += blen;
    }
    memcpy(out + at, eol, elen);
    cli->tx_len += n;
    cli->tx[cli->tx_len] = '\0';
    used += n;
    return true;
  }
};

// Lines of one list ("LIST:", "GET:" or "DIFF:") within the section budget; entries queued are
// freed. 0: all queued (the terminator too when asked); 2: the budget is used, more next cycle;
// 1: the client is closing.
int SendListSection(REPLY_T* r, CLIREQ_T** list, const char* tag, int32_t* term,
                    SECTION_T* section) {
  CLIREQ_T* rest = *list;
  bool full = false;
  for (; rest && !full; rest = full ? rest : rest->next) {
    if (!rest->name[0]) continue;
    full = !section->Line(tag, rest->name, strlen(rest->name), rest->value, strlen(rest->value));
  }
  if (!full && term && *term) {
    full = !section->Line(tag, "", 0, nullptr, 0);
    if (!full) *term = 0;
  }
  if (*list != rest) RemoveCliReq(*list, rest ? rest->prev : nullptr);
  *list = rest;
  if (FlushSection(r) != 0) {
    RemoveCliReq(*list, nullptr);
    *list = nullptr;
    return 1;
  }
  return full ? 2 : 0;
}

// The DIFF lines of this cycle's changes (by their place in the object's list of changes), then
// the listed ones. Lines that do not fit this cycle become listed entries, ahead of the others.
int SendDiffSection(REPLY_T* r, SECTION_T* section) {
  NETCOMM_T* cli = r->cli;
  const CHANGES_T& ch = r->obj->changes;
  size_t i = 0;
  if (cli->diff_cycle == ch.cycle) {
    for (; i < cli->diff_idx.size(); ++i) {
      const CHANGE_T& c = ch.list[cli->diff_idx[i]];
      if (!section->Line("DIFF:", c.rec->name, strlen(c.rec->name), ch.text.data() + c.text, c.len))
        break;
    }
    // What is left waits as entries of its own: the list of changes is renewed every cycle.
    CLIREQ_T* carried = nullptr;
    for (size_t k = i; k < cli->diff_idx.size(); ++k) {
      const CHANGE_T& c = ch.list[cli->diff_idx[k]];
      if (!AddReply(&carried, c.rec->name, std::string(ch.text, c.text, c.len).c_str(), 0)) break;
    }
    if (carried) {
      CLIREQ_T* last = carried;
      while (last->next) last = last->next;
      last->next = cli->diff_req;
      if (cli->diff_req) cli->diff_req->prev = last;
      cli->diff_req = carried;
    }
  }
  cli->diff_idx.clear();
  return SendListSection(r, &cli->diff_req, "DIFF:", nullptr, section);
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

  SECTION_T list{cli};
  int rc = SendListSection(&r, &cli->list_req, "LIST:", &cli->list_term, &list);
  if (rc != 0) return rc == 1 ? 1 : 0;
  SECTION_T get{cli};
  rc = SendListSection(&r, &cli->get_req, "GET:", &cli->get_term, &get);
  if (rc != 0) return rc == 1 ? 1 : 0;
  if (SendInfoSection(&r) != 0) return 1;
  for (auto section : {SendMemSection, SendFileSection, SendWriteFileSection}) {
    rc = section(&r);
    if (rc != 1 && FlushSection(&r) != 0) return 1;
    if (rc != 0) return rc == 1 ? 1 : 0;
  }
  if (cli->diff) {
    SECTION_T diff{cli};
    rc = SendDiffSection(&r, &diff);
    if (rc != 0) return rc == 1 ? 1 : 0;
  }
  RemoveCliReq(cli->diff_req, nullptr);  // unsent entries of a client with DIFF off are dropped
  cli->diff_req = nullptr;
  cli->diff_idx.clear();
  cli->state &= ~NET_PENDING;
  return 0;
}
