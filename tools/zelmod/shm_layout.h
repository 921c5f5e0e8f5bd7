// The shared memory between the substitute module (Zelmod.so) and the simulator that serves a
// PLC through it. One POSIX shared memory object per socket and port, "/korvane-zelmod-S-P"
// (decimal socket and port, each 0 to 65535), created and removed by `korvane-plcsim --shm`:
//
//   offset 0      ZelmodShm, the header below (at most kZelmodHeaderSize bytes)
//   kZelmodHeaderSize + i * regsize   register image i: 0 X, 1 Y, 2 S, 3 R, regsize bytes each
//
// The simulator builds everything before it stores `magic`, and clears `magic` first when it
// ends, so a reader that sees kZelmodMagic sees a complete header. Both sides are built for the
// same machine, so the header is plain native data.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

constexpr uint32_t kZelmodMagic = 0x4D4C455A;  // "ZELM"
constexpr uint32_t kZelmodLayout = 1;
constexpr size_t kZelmodHeaderSize = 4096;
constexpr size_t kZelmodImages = 4;                       // X, Y, S, R
constexpr size_t kZelmodMaxRegSize = 16u << 20;           // the simulator's largest --regsize
constexpr size_t kZelmodNameSize = 64;                    // port name and note name, with the zero
constexpr size_t kZelmodInfoSize = 128;                   // PLC info text, with the zero
constexpr size_t kZelmodSwSize = 512;                     // software blocks
constexpr size_t kZelmodSwText = 256;                     // offset of the text in a software block
constexpr const char* kZelmodPrefix = "korvane-zelmod-";  // object names without the '/'

struct ZelmodShm {
  std::atomic<uint32_t> magic;     // kZelmodMagic while served
  uint32_t layout;                 // kZelmodLayout
  int32_t pid;                     // the serving simulator; a dead one serves nothing
  uint32_t socket, port;           // as in the object's name
  uint32_t regsize;                // bytes per register image
  std::atomic<int32_t> running;    // 1 while the simulated PLC runs
  std::atomic<int32_t> plc_addr;   // station address (Zelmod_ComSetAdrPlc)
  std::atomic<int32_t> name_pid;   // process that named the port; 0: not named
  std::atomic<int32_t> note_pid;   // process that holds the port's note; 0: closed
  std::atomic<uint32_t> note_seq;  // the open note's number; counts up with every opening
  // The port lock: robust, process-shared, error-checking. Every change of the register images
  // happens under it, by the simulator and by the module's users alike.
  pthread_mutex_t lock;
  char name[kZelmodNameSize];       // set by Zelmod_PortSetName; written before name_pid
  char note_name[kZelmodNameSize];  // likewise
  char info[kZelmodInfoSize];       // Zelmod_PlcSetInfo
  char plc_sw[kZelmodSwSize];       // PLC software block: "SimuCtl RUN" or "SimuCtl STOP" at 256
  char apl_sw[kZelmodSwSize];       // application software block: "SimuApl ..." at 256
};
static_assert(sizeof(ZelmodShm) <= kZelmodHeaderSize, "header outgrew its page");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "atomics must work across processes");

// The object's name ("/korvane-zelmod-S-P") into `out`.
inline void ZelmodShmName(unsigned socket, unsigned port, char* out, size_t size) {
  snprintf(out, size, "/%s%u-%u", kZelmodPrefix, socket, port);
}

inline size_t ZelmodShmSize(size_t regsize) {
  return kZelmodHeaderSize + kZelmodImages * regsize;
}

// Takes the port lock, trying for up to `timeout_ms` milliseconds (0 or less: once). Returns 0,
// ETIMEDOUT, or another error of pthread_mutex_trylock. A lock whose holder died is made
// consistent and taken. The wait polls trylock every 0.2 ms rather than sleeping in
// pthread_mutex_timedlock: the thread sanitizer does not see a lock that call takes over from a
// dead holder, and a trylock that does it is seen. Never call it for a lock the thread holds.
inline int ZelmodLock(pthread_mutex_t* m, int timeout_ms) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int rc = pthread_mutex_trylock(m);
    if (rc == EOWNERDEAD) {
      rc = pthread_mutex_consistent(m);
      if (rc != 0) pthread_mutex_unlock(m);
      return rc;
    }
    if (rc != EBUSY) return rc;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t waited = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (waited >= timeout_ms) return ETIMEDOUT;
    timespec nap = {0, 200000};
    nanosleep(&nap, nullptr);
  }
}
