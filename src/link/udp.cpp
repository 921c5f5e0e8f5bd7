// The UDP transport: one datagram each way, a 6-byte packet header with a sequence number that
// the PLC echoes, and the rule that drops answers from elsewhere or to an earlier request.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/log.h"
#include "link/dorvik.h"

namespace {

unsigned WaitTimeoutMs(unsigned timeout) {
  return timeout == 0 ? static_cast<unsigned>(DORVIK_DEFAULT_TIMEOUT_MS) : timeout;
}

unsigned short SequenceOf(const unsigned char* packet) {
  return static_cast<unsigned short>(packet[0] | (packet[1] << 8));
}

// Waits until the socket is readable or `wait` has passed; true when readable.
bool WaitReadable(int sock, const timeval& wait) {
  long long ms = static_cast<long long>(wait.tv_sec) * 1000 + wait.tv_usec / 1000;
  pollfd p = {sock, POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

extern "C" {

int Ether_Init(UDPEP_T* ep, const char* ip, unsigned port) {
  ep->sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (ep->sock < 0) {
    ep->sock = -1;
    Error("Ether_Init", "Socket create error!");
    return 1;
  }
  timeval tv = {0, 0};
  TimevalAdd(&tv, static_cast<int>(WaitTimeoutMs(ep->timeout)));
  if (setsockopt(ep->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    Error("Ether_Init", "Set socket timeout error!");
    close(ep->sock);
    ep->sock = -1;
    return 1;
  }
  memset(&ep->plc, 0, sizeof ep->plc);
  ep->plc.sin_family = AF_INET;
  ep->plc.sin_port = htons(static_cast<uint16_t>(port));
  ep->plc.sin_addr.s_addr = inet_addr(ip);
  ep->tx[0] = 0;
  ep->tx[1] = 0;
  return 0;
}

int Ether_SendData(UDPEP_T* ep, const unsigned char* request, unsigned char* reply, int request_len,
                   int reply_len, int* error, int reply_cap) {
  *error = 0;
  if (request_len < 0 || request_len > DORVIK_UDP_MAX_FRAMES_BYTES) {
    Error("Ether_SendData", "Send data error!");
    *error = DORVIK_ERR_NOANSWER;
    return 1;
  }
  // What we may copy out: never more than the reply area or one packet's frame part holds.
  if (reply_cap > DORVIK_UDP_MAX_FRAMES_BYTES) reply_cap = DORVIK_UDP_MAX_FRAMES_BYTES;
  if (reply_cap < 0) reply_cap = 0;
  if (reply_len > reply_cap) reply_len = reply_cap;
  if (reply_len < 0) reply_len = 0;

  ep->tx[2] = 0x02;
  ep->tx[3] = 0x00;
  ep->tx[4] = static_cast<unsigned char>(request_len >> 8);
  ep->tx[5] = static_cast<unsigned char>(request_len);
  memcpy(ep->tx + DORVIK_UDP_HEADER, request, static_cast<size_t>(request_len));
  memset(ep->rx, 0, sizeof ep->rx);

  timeval wait = {0, 0};
  TimevalAdd(&wait, static_cast<int>(WaitTimeoutMs(ep->timeout)));
  TimevalAdd(&wait, static_cast<int>(ep->extra_wait.load()));

  unsigned short seq = static_cast<unsigned short>(SequenceOf(ep->tx) + 1);  // 65535 -> 0
  ep->tx[0] = static_cast<unsigned char>(seq);
  ep->tx[1] = static_cast<unsigned char>(seq >> 8);
  size_t out_len = static_cast<size_t>(request_len) + DORVIK_UDP_HEADER;
  ssize_t sent = sendto(ep->sock, ep->tx, out_len, MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&ep->plc), sizeof ep->plc);
  if (sent != static_cast<ssize_t>(out_len)) Error("Ether_SendData", "Send data error!");

  if (!WaitReadable(ep->sock, wait)) {
    Error("Ether_SendData", "Receive data timeout!");
    *error = DORVIK_ERR_NOANSWER;
    return 1;
  }
  socklen_t from_len = sizeof ep->from;
  ssize_t got = recvfrom(ep->sock, ep->rx, sizeof ep->rx, 0, reinterpret_cast<sockaddr*>(&ep->from),
                         &from_len);
  if (got <= 0) {
    *error = DORVIK_ERR_NOANSWER;
    return 1;
  }
  // A late answer to an earlier, timed-out request, or a stranger: dropped, code stays 0.
  if (ep->from.sin_addr.s_addr != ep->plc.sin_addr.s_addr || SequenceOf(ep->rx) != seq) {
    Error("Ether_SendData", "Received a packet from unknown source!");
    return 1;
  }
  int frames_len = (ep->rx[4] << 8) | ep->rx[5];
  if (frames_len > reply_len) {
    Error("Ether_SendData", "Received a packet has invalid size!");
    // Callers that accept a 1-byte acknowledgement or a 6-byte short frame rely on this copy.
    int have = static_cast<int>(got) - DORVIK_UDP_HEADER;
    int n = frames_len;
    if (n > have) n = have;
    if (n > reply_cap) n = reply_cap;
    if (n > 0) memcpy(reply, ep->rx + DORVIK_UDP_HEADER, static_cast<size_t>(n));
    return 1;
  }
  memcpy(reply, ep->rx + DORVIK_UDP_HEADER, static_cast<size_t>(reply_len));
  return 0;
}

int Ether_Exit(UDPEP_T* ep) {
  if (ep->sock > 0) {
    shutdown(ep->sock, SHUT_RDWR);
    close(ep->sock);
  }
  ep->sock = -1;
  return 0;
}

}  // extern "C"
