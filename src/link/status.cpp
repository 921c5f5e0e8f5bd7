// Connection and status services: CONNECT, IDENT, LOGOUT, GETSW, GETERR, SETCW, MASKCW.
#include <cstring>

#include "link/dorvik.h"
#include "link/link_internal.h"

namespace {

using dorvik::Exchange;
using dorvik::Fail;
using dorvik::FrameCheck;
using dorvik::IsOpen;
using dorvik::LinkLock;

// A short request (CONNECT, IDENT) in sreq.
void BuildShort(DORVIK_T* link, unsigned char fc) {
  link->sreq[3] = fc;
  link->sreq[4] = Dorvik_FCS1(link->sreq);
}

// One long reply frame with `fc` whose data is copied to `out`; its length or -1.
int LongDataService(DORVIK_T* link, const char* func, int request_len, unsigned char fc,
                    unsigned char* out) {
  int ndata = dorvik::LongReply(link, func, request_len, fc);
  if (ndata >= 0) memcpy(out, link->rep + 7, static_cast<size_t>(ndata));
  return ndata;
}

// A write-style service acknowledged by 0xE5 or by a short frame with FC 0x00. Returns 0 when
// acknowledged, 1 when not, `fail` when the exchange itself failed. `ack` is not cleared.
int AckedService(DORVIK_T* link, const char* func, unsigned char fc, const unsigned char* data,
                 int ndata, int fail) {
  int len = dorvik::BuildLong(link->req, link->plc_addr, link->own_addr, fc, data, ndata);
  if (Exchange(link, func, link->req, len, link->ack, 1, sizeof link->ack) != 0) return fail;
  if (FrameCheck(link, link->ack, sizeof link->ack, 0xE5, 0, 0, 0) == 0) return 0;
  if (FrameCheck(link, link->ack, sizeof link->ack, 0x10, link->plc_addr, link->own_addr, 0x00) ==
      0)
    return 0;
  return 1;
}

}  // namespace

extern "C" {

int Dorvik_CONNECT(DORVIK_T* link) {
  if (!IsOpen(link)) return 1;
  LinkLock lock(link);
  if (!IsOpen(link)) return 1;
  BuildShort(link, 0x69);
  memset(link->srep, 0xFF, sizeof link->srep);
  if (Exchange(link, "Dorvik_CONNECT", link->sreq, 6, link->srep, 6, sizeof link->srep) != 0)
    return 1;
  if (FrameCheck(link, link->srep, sizeof link->srep, 0x10, link->plc_addr, link->own_addr, 0x00) !=
      0)
    return 1;
  return 0;
}

int Dorvik_IDENT(DORVIK_T* link, unsigned char* out) {
  if (!IsOpen(link)) return -1;
  LinkLock lock(link);
  if (!IsOpen(link)) return -1;
  BuildShort(link, 0x6E);
  memset(link->rep, 0, DORVIK_REPLY_FRAME);
  if (Exchange(link, "Dorvik_IDENT", link->sreq, 6, link->rep, DORVIK_REPLY_FRAME,
               sizeof link->rep) != 0)
    return -1;
  if (link->rep[1] < 3) {
    Fail(link, "Dorvik_IDENT", DORVIK_ERR_BADREPLY);
    return -1;
  }
  // The identification comes in a long frame with FC 0x00, not 0x08.
  if (FrameCheck(link, link->rep, DORVIK_REPLY_FRAME, 0x68, link->plc_addr, link->own_addr, 0x00) !=
      0)
    return -1;
  int ndata = link->rep[1] - 3;
  memcpy(out, link->rep + 7, static_cast<size_t>(ndata));
  return ndata;
}

int Dorvik_LOGOUT(DORVIK_T* link) {
  if (!IsOpen(link)) return -1;
  LinkLock lock(link);
  if (!IsOpen(link)) return -1;
  const unsigned char data[] = {0x2D};
  return AckedService(link, "Dorvik_LOGOUT", 0x6C, data, sizeof data, -1);
}

int Dorvik_GETSW(DORVIK_T* link, unsigned char* out) {
  if (!IsOpen(link)) return -1;
  LinkLock lock(link);
  if (!IsOpen(link)) return -1;
  const unsigned char data[] = {0x0A};
  int len = dorvik::BuildLong(link->req, link->plc_addr, link->own_addr, 0x6C, data, 1);
  return LongDataService(link, "Dorvik_GETSW", len, 0x08, out);
}

int Dorvik_GETERR(DORVIK_T* link, unsigned char* out) {
  if (!IsOpen(link)) return -1;
  LinkLock lock(link);
  if (!IsOpen(link)) return -1;
  const unsigned char data[] = {0x0E};
  int len = dorvik::BuildLong(link->req, link->plc_addr, link->own_addr, 0x6C, data, 1);
  return LongDataService(link, "Dorvik_GETERR", len, 0x08, out);
}

int Dorvik_SETCW(DORVIK_T* link, const unsigned char* in) {
  if (!IsOpen(link)) return 1;
  LinkLock lock(link);
  if (!IsOpen(link)) return 1;
  const unsigned char data[] = {0x09, in[1], in[2]};
  return AckedService(link, "Dorvik_SETCW", 0x63, data, sizeof data, 1);
}

int Dorvik_MASKCW(DORVIK_T* link, const unsigned char* in) {
  if (!IsOpen(link)) return 1;
  LinkLock lock(link);
  if (!IsOpen(link)) return 1;
  const unsigned char data[] = {0x11, in[1], in[2], in[3], in[4]};
  return AckedService(link, "Dorvik_MASKCW", 0x63, data, sizeof data, 1);
}

}  // extern "C"
