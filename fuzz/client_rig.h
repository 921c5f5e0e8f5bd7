// A communication object with one connected client, for the fuzz targets of the request path:
// a public file with every data type, a PLC played by an exchange function (register reads and
// writes answered, file transfers refused), a socketpair for the client, a clock that moves two
// seconds a cycle, and a scratch working folder that nothing may leave.
#pragma once
#include <dirent.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/clock.h"
#include "app/globals.h"
#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"
#include "files/ffile.h"
#include "files/workers.h"
#include "plc/optimreq.h"
#include "plc/pubfile.h"
#include "plc/pubfile_ops.h"

namespace fz {

const char kPub[] =
    "B_X X 0 0 .3 BOOL\nB_Y Y 0 1 .7 BOOL PUB_IN\nU8 R 0 0 USINT\nS8 R 0 1 SINT\n"
    "U16 R 0 2 UINT\nI16 R 0 4 INT\nU32 R 0 8 UDINT\nI32 R 0 12 DINT\nU64 R 0 16 ULINT\n"
    "I64 R 0 24 LINT\nF32 R 0 32 REAL\nF64 R 0 40 LREAL\nBY S 0 0 BYTE\nWO S 0 2 WORD\n"
    "DW S 0 4 DWORD\nLW S 0 8 LWORD\nTXT R 0 48 STRING[20]\nNOTE R 0 100 STRING[255]\n"
    "DAY R 0 360 DATE\nSTAMP R 0 368 DT\nSPAN R 0 376 TIME\nCLOCK R 0 380 TOD\n"
    "EXT E 0 4 INT\nD0V D0 0 8 DINT\n__PF_CRC R 0 384 UDINT\n;* Crc=\"0000\"\n";

inline unsigned char plc_bytes[4];  // what register reads return, over and over
inline int link_result;             // what a (re)connection asked for by SETCONF gives
inline std::atomic<time_t> now{1700000000};
inline char outside[4096];  // the scratch folder; the working folder is its only entry

// The PLC: every frame of a request answered in turn. READN/READB give the asked length of
// plc_bytes (registers X, Y, S, R, E, D0-D2 only, so a long GETMEM ends); writes are
// acknowledged; anything else (file transfer) is refused with a processing error.
inline int PlayPlc(void*, const unsigned char* req, unsigned char* rep, int req_len, int,
                   int* error, int cap) {
  *error = 0;
  int at = 0;
  for (int p = 0; p + 9 <= req_len && p + req[p + 1] + 6 <= req_len; p += req[p + 1] + 6) {
    const unsigned char* f = req + p;
    if (f[6] == 0x63) {
      rep[0] = 0xE5;
      return 0;
    }
    unsigned char data[250] = {0x30, 0x11};
    int n = 2, fc = 0x0C;
    if (f[7] == 0x0B || f[7] == 0x0F) {
      int want = 0;
      bool known = true;
      for (int d = 8; d + 4 <= f[1] + 4; d += 4) {
        want += f[7] == 0x0B ? f[d + 3] : 1;
        known = known && (f[d] <= 3 || f[d] == 10 || (f[d] >= 128 && f[d] <= 130));
      }
      if (known) {
        n = want < 246 ? want : 246;
        fc = 0x08;
        for (int i = 0; i < n; ++i) data[i] = plc_bytes[i % 4];
      }
    }
    if (at + n + 9 > cap) break;
    unsigned char* r = rep + at;
    r[0] = r[3] = 0x68;
    r[1] = r[2] = static_cast<unsigned char>(n + 3);
    r[4] = f[5];
    r[5] = f[4];
    r[6] = static_cast<unsigned char>(fc);
    unsigned sum = r[4] + r[5] + r[6];
    for (int i = 0; i < n; ++i) sum += r[7 + i] = data[i];
    r[7 + n] = static_cast<unsigned char>(sum);
    r[8 + n] = 0x16;
    at += n + 9;
  }
  return 0;
}

inline int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
  return strcmp(path, ".") == 0 ? 0 : remove(path);
}

// Once: quiet log, inline memory reads, the clock, and the scratch folder as working directory.
inline void Setup() {
  if (outside[0]) return;
  OpenLogFile("/dev/null");
  verbose = 2;  // every message is formatted
  mem_use_threads = 0;
  pubfile_read_pause_ms = 0;
  PrepareWorkerAttrs(nullptr);
  SetClock([] { return now.load(); }, nullptr);
  snprintf(outside, sizeof outside, "/tmp/korvane-fuzz-XXXXXX");
  if (!mkdtemp(outside) || chdir(outside) != 0 || mkdir("w", 0755) != 0 || chdir("w") != 0) abort();
  atexit([] { nftw(outside, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS); });
}

struct Rig {
  COMMOBJ_T* obj = nullptr;
  NETCOMM_T* cli = nullptr;
  int peer = -1;
};

// A fresh object and client; the working folder holds a local file and a local '.' file.
// Settings: bits 0-5 object and client, bits 8-15 number formatting.
inline void Open(Rig* r, unsigned settings) {
  Setup();
  nftw(".", RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
  for (const char* name : {"a.txt", ".b"}) {
    if (FILE* f = fopen(name, "w")) {
      fputs("line one\nline two\n", f);
      fclose(f);
    }
  }
  static NETCOMM_T* cli = AddNetCommRec(nullptr);
  int sv[2];
  if (!cli || socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) abort();
  pf_var_disabled = settings & 1;
  end_line_crlf = (settings >> 1) & 1;
  link_result = (settings >> 2) & 1;
  lim_of_decimals = (settings >> 8) & 1;
  scient_notation = (settings >> 9) & 1;
  date_time_decimal = (settings >> 10) & 1;
  num_of_decimals = (settings >> 12) & 15;
  COMMOBJ_T* obj = new COMMOBJ_T;
  snprintf(obj->cfg.name, sizeof obj->cfg.name, "PLC1");
  snprintf(obj->cfg.ipaddr, sizeof obj->cfg.ipaddr, "127.0.0.1");
  obj->cfg.pubfile_write = (settings >> 3) & 1;
  Dorvik_SetStation(&obj->link, 0, 1, 0);
  Dorvik_ATTACH(&obj->link, PlayPlc, nullptr, (settings & 16) ? 1 : 5);
  obj->pf = CreatePubFile(nullptr);
  if (!obj->pf || SetPubText(&obj->pf->file, kPub, sizeof kPub - 1) || !ReadPubFile(obj->pf))
    abort();
  obj->readplan = CreatePFOptimReq(nullptr, obj->pf);
  uint32_t size[4] = {};
  GetPubFileMemSize(obj->pf, &size[0], &size[1], &size[2], &size[3]);
  // The images as the public file sizes them (the walk stops at the first register without an
  // image, so some come out short or empty), or roomy.
  for (int i = 0; i < 4; ++i) {
    obj->img[i].assign((settings & 32) ? size[i] : 512, 0);
    obj->img_prev[i] = obj->img[i];
  }
  cli->sock = sv[0];
  cli->state = NET_CONNECTED;
  cli->crlf = end_line_crlf;
  cli->diff = 1;
  snprintf(cli->addr, sizeof cli->addr, "127.0.0.1");
  cli->pf = ClonePubFile(obj->pf);
  obj->clients = cli;
  *r = {obj, cli, sv[1]};
}

// One cycle for the one client, in the order the object's cycle serves it. `in` is received
// through the socket, or with `direct` put into the receive buffer as it is.
inline void Cycle(Rig* r, const uint8_t* in, size_t n, bool direct, uint8_t state) {
  COMMOBJ_T* obj = r->obj;
  NETCOMM_T* cli = r->cli;
  now += 2;
  obj->service_error = state & 1;
  obj->link_down = (state >> 1) & 1;
  obj->no_pubfile = (state >> 2) & 1;
  if (!direct && n > 0 && write(r->peer, in, n) < 0) {
    // The socket still holds what the client was not yet served: this piece is lost.
  }
  if (GetDataCommObject(obj) != 0 || (cli->state & NET_FREE)) return;
  if (!(cli->state & NET_PENDING)) {
    if (direct) {
      ClearRxNetComm(cli);
      cli->rx_len = n < kNetRecvBudget ? n : kNetRecvBudget;
      if (cli->rx_len > 0) memcpy(cli->rx, in, cli->rx_len);
    } else if (GetReqCommObject(obj, cli) != 0) {
      return;
    }
    if (DiffCommObject(obj, cli) != 0) return;
    RemoveCliReq(cli->set_req, nullptr);
    RemoveCliReq(cli->set_di_req, nullptr);
    cli->set_req = cli->set_di_req = nullptr;
    if (DoReqCommObject(obj, cli) != 0) return;
  }
  if (SendReqCommObject(obj, cli) != 0) return;
  for (CLIREQ_T* list : {cli->set_req, cli->set_di_req}) {
    if (!list) continue;
    obj->writeplan = CreateCLIOptimReq(nullptr, obj->pf, list);
    if (SendDataCommObject(obj) != 0) SendEmsgCommObject(obj, cli, 21, "");
    RemoveOptimReq(obj->writeplan);
    obj->writeplan = nullptr;
  }
  if (obj->active_changed) {
    PubFileCopies copies;
    GetPubFileCopiesNetComm(obj->clients, &copies);
    UpdatePubFile(obj->pf, &copies);
    obj->active_changed = 0;
    RemoveOptimReq(obj->readplan);
    obj->readplan = CreatePFOptimReq(nullptr, obj->pf);
  }
  CopyDataCommObject(obj);
  char sink[65536];
  while (read(r->peer, sink, sizeof sink) > 0) {
  }
}

// Frees everything; the scratch folder must still hold nothing but the working folder.
inline void Close(Rig* r) {
  close(r->cli->sock);
  close(r->peer);
  ResetNetCommRec(r->cli);
  r->obj->clients = nullptr;
  FreeCommObject(r->obj);
  delete r->obj;
  DIR* dir = opendir(outside);
  int entries = 0;
  while (dirent* e = dir ? readdir(dir) : nullptr)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++entries;
  if (dir) closedir(dir);
  if (entries != 1) abort();
}

}  // namespace fz

// SETCONF may (re)connect the link: here nothing is opened and the answer is fz::link_result.
extern "C" int __wrap__Z20InitDorvikCommObjectP9COMMOBJ_T(COMMOBJ_T*) {
  return fz::link_result;
}
extern "C" int __wrap__Z21InitConnectCommObjectP9COMMOBJ_T(COMMOBJ_T*) {
  return fz::link_result;
}
