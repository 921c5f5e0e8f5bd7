// The requests on the server itself: SETCONF, GETINFO and HELP.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "app/globals.h"
#include "app/log.h"
#include "app/version.h"
#include "client/dispatch.h"
#include "client/protocol.h"
#include "ini/iniparser.h"
#include "link/dorvik.h"
#include "link/shmsrv.h"
#include "plc/pubfile.h"

namespace {

constexpr int kDefaultDvkPort = 61682;
constexpr int32_t kNetworkItem = 2;  // CLIREQ_T flags: an entry of the client list

const char* const kConnect = "InitConnectCommObject";

// A setting's number: decimal, clamped to int; text that is no number reads as 0.
int Number(const std::string& value) {
  long n = strtol(value.c_str(), nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

// A client names only a device node: an absolute path below /dev without "..", that fits.
bool DevicePath(const std::string& path, size_t cap) {
  return path.size() < cap && path.compare(0, 5, "/dev/") == 0 &&
         path.find("/..") == std::string::npos;
}

bool Yes(const std::string& value) {
  return NameOf(value) == "YES";
}

// After a link was (re)opened for a changed setting: a ready PLC has its public file checked
// again; a failed one is reported to the client and the cycle's reconnection stays quiet.
int LinkResult(DISPATCH_T* d, int rc) {
  COMMOBJ_T* obj = d->obj;
  obj->link_ready = rc == 0 ? 1 : 0;
  if (rc == 0) {
    if (strcmp(obj->pf_name, ".") != 0)  // "." serves the fixed variables only
      snprintf(obj->pf_pending, sizeof obj->pf_pending, "%s", obj->pf_name);
    return 0;
  }
  obj->reconnect_logged = 1;
  return ErrReq(d, 10, "");
}

// The UDP link opened anew at the PLC address now set.
int ReopenUdp(DISPATCH_T* d) {
  COMMOBJ_T* obj = d->obj;
  const PLCCFG_T& c = obj->cfg;
  log(kConnect, 0, "PLC-%d (%s): Initializing DORVIK address '%s on port %d'", c.plc_num, c.name,
      c.ipaddr, c.dvkport);
  int rc = InitDorvikCommObject(obj);
  if (rc != 0)
    log(kConnect, 0, "PLC-%d (%s): Unable to initialize DORVIK address '%s on port %d'!!!",
        c.plc_num, c.name, c.ipaddr, c.dvkport);
  return LinkResult(d, rc);
}

// The serial link opened anew at the speed now set.
int ReopenSerial(DISPATCH_T* d) {
  COMMOBJ_T* obj = d->obj;
  const PLCCFG_T& c = obj->cfg;
  log(kConnect, 0, "PLC-%d (%s): Initializing DORVIK serial device '%s' for speed %d", c.plc_num,
      c.name, c.serial_device, c.serial_speed);
  int rc = InitDorvikCommObject(obj);
  if (rc != 0)
    log(kConnect, 0, "PLC-%d (%s): Unable to initialize DORVIK serial device '%s' for speed %d!!!",
        c.plc_num, c.name, c.serial_device, c.serial_speed);
  return LinkResult(d, rc);
}

int SetConfLine(DISPATCH_T* d, const std::string& arg) {
  COMMOBJ_T* obj = d->obj;
  NETCOMM_T* cli = d->cli;
  PLCCFG_T& c = obj->cfg;
  std::string line;
  for (char ch : arg)
    if (ch != ' ') line += ch;
  const size_t comma = line.find(',');
  if (comma == std::string::npos || comma + 1 == line.size()) {
    LogReq(d, "Unable to get parameter value from 'SETCONF' client request: '%s'",
           ReqText(d, line).c_str());
    ErrReq(d, 31, ReqText(d, line));
    return 1;
  }
  const std::string name = NameOf(line.substr(0, comma));
  const std::string value = line.substr(comma + 1);

  if (name == "IPADDR") {
    snprintf(c.ipaddr, sizeof c.ipaddr, "%s", value.c_str());
    c.link_kind = LINK_UDP;
    obj->reconnect_logged = 0;
    return ReopenUdp(d);
  }
  if (name == "SERIAL_DEVICE") {
    if (!DevicePath(value, sizeof c.serial_device)) {
      // Refused like a device that cannot be opened; the link stays as it is.
      log(kConnect, 0,
          "PLC-%d (%s): Unable to initialize DORVIK serial device '%s' for speed %d!!!", c.plc_num,
          c.name, value.c_str(), c.serial_speed);
      return ErrReq(d, 10, "");
    }
    snprintf(c.serial_device, sizeof c.serial_device, "%s", value.c_str());
    c.link_kind = LINK_SERIAL;
    obj->reconnect_logged = 0;
    if (const SERIAL_CFG_T* rec = Serial_CFG_Find(c.serial_device)) c.serial_rts = rec->rts_gpio;
    return LinkResult(d, InitConnectCommObject(obj));
  }
  if (name == "SERIAL_SPEED") {
    c.serial_speed = Number(value);
    c.link_kind = LINK_SERIAL;
    obj->reconnect_logged = 0;
    return ReopenSerial(d);
  }
  if (name == "DVKADDR") {
    const int a = Number(value);
    c.dvkaddr = a < 0 ? 1 : a > 127 ? 127 : a;
    obj->reconnect_logged = 0;
    return LinkResult(d, InitConnectCommObject(obj));
  }
  if (name == "DVKPORT") {
    const int p = Number(value);
    c.dvkport = p < 1 ? kDefaultDvkPort : p;
    obj->reconnect_logged = 0;
    return LinkResult(d, InitConnectCommObject(obj));
  }
  if (name == "PUBFILE") {
    // The cycle fetches the named file as soon as it looks at the project again.
    snprintf(obj->pf_pending, sizeof obj->pf_pending, "%s", value.c_str());
    obj->no_pubfile = 0;
    obj->pubfile_logged = 0;
    obj->pf_crc = 0;
    return 0;
  }
  for (auto [flag_name, flag] :
       {std::make_pair("JSON", &cli->json), std::make_pair("CRLF", &cli->crlf),
        std::make_pair("DIFF", &cli->diff)}) {
    if (name != flag_name) continue;
    *flag = Yes(value) ? 1 : 0;
    return 0;
  }
  LogReq(d, "Unknown name '%s' in 'SETCONF' client request: '%s'", name.c_str(),
         ReqText(d, line).c_str());
  return ErrReq(d, 50, ReqText(d, line));
}

// The "connected since" text of a client, in local time.
std::string ConnectTime(time_t t) {
  struct tm tm {};
  char text[32] = {};
  if (localtime_r(&t, &tm)) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// Queues the GETINFO entries that `name` selects (empty: all); false when memory ran out.
// *found counts the entries queued.
bool InfoEntries(DISPATCH_T* d, const std::string& name, int* found) {
  COMMOBJ_T* obj = d->obj;
  NETCOMM_T* cli = d->cli;
  const PLCCFG_T& c = obj->cfg;
  const int kind = c.link_kind;
  bool ok = true;
  auto add = [&](const char* item, bool present, const char* value) {
    if (!ok || !present || !(name.empty() || name == item)) return;
    ok = AddReqReply(d, &cli->info_req, item, value, 0) != nullptr;
    if (ok) ++*found;
  };
  char text[512];

  add("VERSION", true, KorvaneVersion());
  add("VERSION_DORVIK", true, Dorvik_VERSION());
  add("VERSION_INI", true, iniparser_version());
  const bool linked = obj->shm_linked && obj->shm_info;
  const char* module_version = reinterpret_cast<const char*>(obj->shm_info);
  if (linked)
    snprintf(text, sizeof text, "%.*s", static_cast<int>(strnlen(module_version, kShmInfoText)),
             module_version);
  else
    text[0] = '\0';
  add("VERSION_SHM", kind == LINK_SHM, text);
  if (kind == LINK_SHM)
    snprintf(text, sizeof text, "%s", obj->plc_version);
  else
    snprintf(text, sizeof text, "%s %s %s %s", obj->ident[0], obj->ident[1], obj->ident[2],
             obj->ident[3]);
  add("VERSION_PLC", true, text);
  if (c.serial_rts >= 0)
    snprintf(text, sizeof text, "%s %d [GPIO RTS %d]", c.serial_device, c.serial_speed,
             c.serial_rts);
  else
    snprintf(text, sizeof text, "%s %d", c.serial_device, c.serial_speed);
  add("SERIAL_DEVICE", kind == LINK_SERIAL, text);
  if (linked) {
    int16_t links = 0;
    memcpy(&links, obj->shm_info + kShmInfoLinks, sizeof links);
    snprintf(text, sizeof text, "%d %d %d [%d,%d] [%.230s]", links,
             static_cast<int8_t>(obj->shm_info[kShmInfoSockets]),
             static_cast<int8_t>(obj->shm_info[kShmInfoPorts]), c.shm_socket, c.shm_port,
             c.shm_name);
  } else {
    snprintf(text, sizeof text, "?? ?? ?? [??,??] [%.236s]", c.shm_name);
  }
  add("SHARED_MODULE", kind == LINK_SHM, text);
  add("IPADDR", kind == LINK_UDP, c.ipaddr);
  snprintf(text, sizeof text, "%d", c.dvkaddr);
  add("DVKADDR", kind == LINK_UDP, text);
  snprintf(text, sizeof text, "%d", c.dvkport);
  add("DVKPORT", kind == LINK_UDP, text);
  snprintf(text, sizeof text, "%d/%d [%.124s,%.124s]", CountActRecPublicFile(cli->pf),
           CountRecPublicFile(cli->pf), c.pubfile_fixed, obj->pf_name);
  add("PUBFILE", true, text);

  if (!ok || !(name.empty() || name == "NETWORK")) return ok;
  cli->info_term = 1;
  int n = 0;
  for (const NETCOMM_T* r = obj->clients; r; r = r->next) {
    if (!(r->state & NET_CONNECTED)) continue;
    snprintf(text, sizeof text, "%d/%d [%-15.32s %.32s]", ++n, net_connect_max, r->addr,
             ConnectTime(r->conn_time).c_str());
    CLIREQ_T* e = AddReqReply(d, &cli->info_req, "NETWORK", text, 0);
    if (!e) return false;
    e->flags |= kNetworkItem;
    ++*found;
  }
  return true;
}

int GetInfoLine(DISPATCH_T* d, const std::string& arg) {
  const std::string name = NameOf(arg);
  int found = 0;
  if (!InfoEntries(d, name, &found)) {
    LogReq(d, "Unable to allocate memory for 'GETINFO' client request: '%s'",
           ReqText(d, name).c_str());
    return 1;
  }
  if (found > 0 || name.empty()) return 0;
  LogReq(d, "Unknown name '%s' in 'GETINFO' client request: '%s'", name.c_str(),
         ReqText(d, name).c_str());
  return ErrReq(d, 60, ReqText(d, name));
}

template <class LineFn>
int EachLine(DISPATCH_T* d, LineFn fn) {
  std::string line;
  while (NextArgLine(d, &line))
    if (fn(line) != 0) return 1;
  return 0;
}

}  // namespace

int ReqSetConf(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return SetConfLine(d, l); });
}

int ReqGetInfo(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return GetInfoLine(d, l); });
}

// The help rows as entries; the requests that follow in the same text are served as usual.
int ReqHelp(DISPATCH_T* d) {
  NETCOMM_T* cli = d->cli;
  cli->help_term = 1;
  for (int i = 0; hlp_msgs[i]; ++i) {
    if (!AddReqReply(d, &cli->help_req, "", hlp_msgs[i], 0)) {
      LogReq(d, "Unable to allocate memory for 'HELP' client request!!!");
      return 1;
    }
  }
  return 0;
}
