// Opening and closing a link: the transport table, Dorvik_INIT / Dorvik_EXIT, the version text,
// and the helpers every service uses to build a frame and run its one exchange.
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "link/dorvik.h"
#include "link/link_internal.h"

namespace {

// A transport: how to open, exchange over and close one kind of endpoint. Chosen once by iface
// when the link opens; the services only ever call link->send.
struct TRANSPORT_T {
  int iface;
  int max_frames;
  uint32_t open_error;
  int (*open)(DORVIK_T* link);
  DORVIK_SEND_FN exchange;
  int (*close)(DORVIK_T* link);
};

int UdpOpen(DORVIK_T* link) {
  link->udp.timeout = static_cast<unsigned>(link->timeout);
  link->udp.extra_wait = 0;
  char ip[sizeof link->ip];  // the caller's text, cut to the field even without its zero
  snprintf(ip, sizeof ip, "%.*s", static_cast<int>(sizeof ip - 1), link->ip);
  if (Ether_Init(&link->udp, ip, static_cast<unsigned>(link->port)) != 0) return 1;
  link->endpoint = &link->udp;
  link->handle = link->udp.sock;
  return 0;
}

int UdpExchange(void* ep, const unsigned char* request, unsigned char* reply, int request_len,
                int reply_len, int* error, int reply_cap) {
  return Ether_SendData(static_cast<UDPEP_T*>(ep), request, reply, request_len, reply_len, error,
                        reply_cap);
}

int UdpClose(DORVIK_T* link) {
  return Ether_Exit(&link->udp);
}

int SerialOpen(DORVIK_T* link) {
  link->ser.timeout = static_cast<unsigned>(link->timeout);
  link->ser.extra_wait = 0;
  char device[sizeof link->device];
  snprintf(device, sizeof device, "%.*s", static_cast<int>(sizeof device - 1), link->device);
  if (Serial_Init(&link->ser, device) != 0) return 1;
  link->endpoint = &link->ser;
  link->handle = link->ser.fd;
  return 0;
}

int SerialExchange(void* ep, const unsigned char* request, unsigned char* reply, int request_len,
                   int reply_len, int* error, int reply_cap) {
  return Serial_SendData(static_cast<SEREP_T*>(ep), request, reply, request_len, reply_len, error,
                         reply_cap);
}

int SerialClose(DORVIK_T* link) {
  return Serial_Exit(&link->ser);
}

const TRANSPORT_T kTransports[] = {
    {LINK_UDP, 5, DORVIK_ERR_ETHER_INIT, UdpOpen, UdpExchange, UdpClose},
    {LINK_SERIAL, 1, DORVIK_ERR_SERIAL_INIT, SerialOpen, SerialExchange, SerialClose},
};

const TRANSPORT_T* FindTransport(int iface) {
  for (const TRANSPORT_T& t : kTransports)
    if (t.iface == iface) return &t;
  return nullptr;
}

void CloseEndpoint(DORVIK_T* link) {
  const TRANSPORT_T* t = FindTransport(link->iface);
  if (t) t->close(link);
}

// Zero every field except the mutex, which may have waiters and stays usable.
void ClearRecord(DORVIK_T* link) {
  static_cast<DORVIK_FIELDS_T&>(*link) = DORVIK_FIELDS_T();
}

void SetFixedFrameBytes(DORVIK_T* link) {
  link->sreq[0] = 0x10;
  link->sreq[1] = link->plc_addr;
  link->sreq[2] = link->own_addr;
  link->sreq[5] = 0x16;
  link->req[0] = 0x68;
  link->req[3] = 0x68;
  link->req[4] = link->plc_addr;
  link->req[5] = link->own_addr;
}

}  // namespace

extern "C" {

void Dorvik_SetStation(DORVIK_T* link, unsigned char plc_addr, unsigned char own_addr,
                       int timeout_ms) {
  link->plc_addr = plc_addr;
  link->own_addr = own_addr;
  link->timeout = timeout_ms;
}

void Dorvik_SetUDP(DORVIK_T* link, const char* ip, int port) {
  link->iface = LINK_UDP;
  link->port = port;
  snprintf(link->ip, sizeof link->ip, "%s", ip ? ip : "");
}

void Dorvik_SetSerial(DORVIK_T* link, const char* device, const DORVIK_LINE_T* line) {
  link->iface = LINK_SERIAL;
  snprintf(link->device, sizeof link->device, "%s", device ? device : "");
  link->ser.speed = line->speed;
  link->ser.data_bits = line->data_bits;
  link->ser.stop_bits = line->stop_bits;
  link->ser.parity = line->parity;
  link->ser.flow = line->flow;
  link->ser.rts_gpio = line->rts_gpio;
}

void Dorvik_SetExtraWait(DORVIK_T* link, unsigned ms) {
  link->udp.extra_wait.store(ms);
  link->ser.extra_wait.store(ms);
}

DORVIK_LINE_T Dorvik_GetLine(const DORVIK_T* link) {
  const SEREP_T& s = link->ser;
  return DORVIK_LINE_T{s.speed, s.data_bits, s.stop_bits, s.parity, s.flow, s.rts_gpio};
}

int Dorvik_INIT(DORVIK_T* link) {
  dorvik::LinkLock lock(link);
  if (dorvik::IsOpen(link)) {  // opened twice: drop the old endpoint instead of leaking it
    link->send = nullptr;
    CloseEndpoint(link);
  }
  if (link->port <= 0) link->port = DORVIK_DEFAULT_PORT;
  if (link->timeout < 0) link->timeout = 0;
  link->error = 0;
  const TRANSPORT_T* t = FindTransport(link->iface);
  if (!t) {
    dorvik::Fail(link, "Dorvik_INIT", DORVIK_ERR_SERVICE);
    return 1;
  }
  link->max_frames = t->max_frames;
  if (t->open(link) != 0) {
    link->error = t->open_error;
    return 1;
  }
  SetFixedFrameBytes(link);
  link->send = t->exchange;  // last: services see an open link only once it is complete
  return 0;
}

int Dorvik_ATTACH(DORVIK_T* link, DORVIK_SEND_FN send, void* endpoint, int max_frames) {
  dorvik::LinkLock lock(link);
  link->iface = LINK_NONE;
  link->error = 0;
  link->max_frames = max_frames;
  link->endpoint = endpoint;
  link->handle = 1;
  SetFixedFrameBytes(link);
  link->send = send;
  return 0;
}

int Dorvik_EXIT(DORVIK_T* link) {
  dorvik::LinkLock lock(link);
  link->send = nullptr;
  CloseEndpoint(link);
  ClearRecord(link);
  return 0;
}

const char* Dorvik_VERSION(void) {
  static const char text[] = "Ver 3.5 " __DATE__ " " __TIME__;
  return text;
}

}  // extern "C"

namespace dorvik {

int BuildLong(unsigned char* out, unsigned char da, unsigned char sa, unsigned char fc,
              const unsigned char* data, int ndata) {
  unsigned char le = static_cast<unsigned char>(ndata + 3);
  out[0] = 0x68;
  out[1] = le;
  out[2] = le;
  out[3] = 0x68;
  out[4] = da;
  out[5] = sa;
  out[6] = fc;
  memmove(out + 7, data, static_cast<size_t>(ndata));
  out[7 + ndata] = Dorvik_FCS2(out);
  out[8 + ndata] = 0x16;
  return ndata + 9;
}

uint32_t Exchange(DORVIK_T* link, const char* func, const unsigned char* request, int request_len,
                  unsigned char* reply, int reply_len, int reply_cap) {
  int err = 0;
  DORVIK_SEND_FN send = link->send.load();
  send(link->endpoint, request, reply, request_len, reply_len, &err, reply_cap);
  link->error = static_cast<uint32_t>(err);
  if (err != 0) ReportCode(func, static_cast<uint32_t>(err));
  return static_cast<uint32_t>(err);
}

int LongReply(DORVIK_T* link, const char* func, int request_len, unsigned char fc) {
  memset(link->rep, 0, DORVIK_REPLY_FRAME);
  if (Exchange(link, func, link->req, request_len, link->rep, DORVIK_REPLY_FRAME,
               sizeof link->rep) != 0)
    return -1;
  if (link->rep[1] < 3) {
    Fail(link, func, DORVIK_ERR_BADREPLY);
    return -1;
  }
  if (FrameCheck(link, link->rep, DORVIK_REPLY_FRAME, 0x68, link->plc_addr, link->own_addr, fc) !=
      0)
    return -1;
  return link->rep[1] - 3;
}

}  // namespace dorvik
