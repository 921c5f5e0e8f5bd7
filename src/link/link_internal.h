// Pieces shared by the link library's own files: the bounded frame check, the error report, the
// mutex guard, frame building and the one exchange call of every service.
#pragma once
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "link/dorvik.h"

namespace dorvik {

// Reply frames one exchange can expect: what the reply area holds.
constexpr int kMaxExchangeFrames = DORVIK_AREA / DORVIK_REPLY_FRAME;

// Dorvik_FRAMETEST that knows how many bytes of `frame` may be read: a long frame whose LE would
// run past `avail` is refused with 84 once the fields before its end have passed.
uint32_t FrameCheck(DORVIK_T* link, const unsigned char* frame, int avail, unsigned char sd,
                    unsigned char req_da, unsigned char req_sa, unsigned char fc);

// "[0x%02x] %s" of a code and its English text; unknown codes give "[0x00] ".
void FormatCode(char* out, size_t size, uint32_t code);

// Passes "[0x%02x] %s" of `code` to the error hook under `func`.
void ReportCode(const char* func, uint32_t code);

// Sets the link's error to `code` and reports it.
void Fail(DORVIK_T* link, const char* func, uint32_t code);

// Holds a link's mutex for one service call.
class LinkLock {
 public:
  explicit LinkLock(DORVIK_T* link) : m_(&link->mutex) { pthread_mutex_lock(m_); }
  ~LinkLock() { pthread_mutex_unlock(m_); }
  LinkLock(const LinkLock&) = delete;
  LinkLock& operator=(const LinkLock&) = delete;

 private:
  pthread_mutex_t* m_;
};

// Writes a long frame (0x68 LE LE 0x68 DA SA FC data FCS 0x16) at `out`; returns its length.
// `data` holds ndata bytes, the first being the service code; ndata must be 1..252.
int BuildLong(unsigned char* out, unsigned char da, unsigned char sa, unsigned char fc,
              const unsigned char* data, int ndata);

// Runs one exchange through the link's transport and stores its error code in the link.
// Returns that code; a non-zero code has been reported under `func`.
uint32_t Exchange(DORVIK_T* link, const char* func, const unsigned char* request, int request_len,
                  unsigned char* reply, int reply_len, int reply_cap);

// Exchanges the long request in req (request_len bytes) expecting one long reply frame with FC
// `fc` in rep. Returns the reply's data length (at most 246: the frame must lie within the 255
// bytes expected; the data is at rep + 7), or -1 with the code in the link. Lock held.
int LongReply(DORVIK_T* link, const char* func, int request_len, unsigned char fc);

// For the services: a closed link (no transport) fails before and after taking the lock.
inline bool IsOpen(const DORVIK_T* link) {
  return link->send.load() != nullptr;
}

}  // namespace dorvik
