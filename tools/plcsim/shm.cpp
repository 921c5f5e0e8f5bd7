// The shared memory for the substitute module: creation, the port lock, and its commands.
#include "shm.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../zelmod/shm_layout.h"
#include "values.h"

namespace plcsim {
namespace {

constexpr int kEnterWaitMs = 1000;  // a master holds the lock for one copy; this is plenty
constexpr int64_t kMaxHoldMs = 600000;

void PutText(char* field, size_t size, const char* text) {
  memset(field, 0, size);
  snprintf(field, size, "%s", text);
}

void SetRunning(ZelmodShm* h, bool run) {
  PutText(h->plc_sw + kZelmodSwText, kZelmodSwSize - kZelmodSwText,
          run ? "SimuCtl RUN" : "SimuCtl STOP");
  h->running.store(run ? 1 : 0);
}

// A shared memory object of that name left by a simulator that is gone may be replaced.
bool LeftBehind(const char* name) {
  int fd = shm_open(name, O_RDONLY, 0);
  if (fd < 0) return errno == ENOENT;
  struct stat st;
  bool dead = true;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kZelmodHeaderSize)) {
    void* p = mmap(nullptr, kZelmodHeaderSize, PROT_READ, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
      const auto* h = static_cast<const ZelmodShm*>(p);
      dead = h->magic.load() != kZelmodMagic || h->pid <= 0 ||
             (kill(h->pid, 0) != 0 && errno != EPERM);
      munmap(p, kZelmodHeaderSize);
    }
  }
  close(fd);
  return dead;
}

int InitLock(pthread_mutex_t* m) {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  int rc = pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ERRORCHECK);
  if (rc == 0) rc = pthread_mutex_init(m, &a);
  pthread_mutexattr_destroy(&a);
  return rc;
}

bool ParsePair(const std::string& where, unsigned& socket, unsigned& port) {
  size_t colon = where.find(':');
  if (colon == std::string::npos) return false;
  std::string s = where.substr(0, colon), p = where.substr(colon + 1);
  char *e1 = nullptr, *e2 = nullptr;
  if (s.empty() || p.empty() || s[0] == '-' || p[0] == '-') return false;
  unsigned long a = strtoul(s.c_str(), &e1, 10), b = strtoul(p.c_str(), &e2, 10);
  if (*e1 || *e2 || a > 65535 || b > 65535) return false;
  socket = static_cast<unsigned>(a);
  port = static_cast<unsigned>(b);
  return true;
}

std::string Names(const ZelmodShm* h) {
  char name[kZelmodNameSize], note[kZelmodNameSize];
  bool named = h->name_pid.load() != 0;
  // The module writes these; read them only up to their field's end.
  snprintf(name, sizeof name, "%.*s", named ? static_cast<int>(kZelmodNameSize - 1) : 0, h->name);
  snprintf(note, sizeof note, "%.*s", named ? static_cast<int>(kZelmodNameSize - 1) : 0,
           h->note_name);
  return std::string("name=") + name + " note=" + note +
         " open=" + (h->note_pid.load() != 0 ? "1" : "0");
}

}  // namespace

int ShmCreate(Sim& sim, const std::string& where) {
  unsigned socket = 0, port = 0;
  if (!ParsePair(where, socket, port)) {
    fprintf(stderr, "korvane-plcsim: bad --shm SOCKET:PORT: %s\n", where.c_str());
    return 1;
  }
  char name[64];
  ZelmodShmName(socket, port, name, sizeof name);
  int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST && LeftBehind(name)) {
    shm_unlink(name);
    fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
  }
  if (fd < 0) {
    fprintf(stderr, "korvane-plcsim: cannot create shared memory %s: %s\n", name,
            errno == EEXIST ? "served by another simulator" : strerror(errno));
    return 1;
  }
  size_t size = ZelmodShmSize(sim.regsize);
  void* p = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0)
    p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int err = errno;
  close(fd);
  auto* h = static_cast<ZelmodShm*>(p);
  if (p == MAP_FAILED || (err = InitLock(&h->lock)) != 0) {
    fprintf(stderr, "korvane-plcsim: cannot set up shared memory %s: %s\n", name, strerror(err));
    if (p != MAP_FAILED) munmap(p, size);
    shm_unlink(name);
    return 1;
  }
  // The new object is zero-filled; only the non-zero fields are set.
  h->layout = kZelmodLayout;
  h->pid = static_cast<int32_t>(getpid());
  h->socket = socket;
  h->port = port;
  h->regsize = static_cast<uint32_t>(sim.regsize);
  h->plc_addr.store(sim.addr);
  // Note handles of this run differ from those a previous simulator gave out.
  h->note_seq.store(static_cast<uint32_t>(getpid()) << 16 ^ static_cast<uint32_t>(time(nullptr)));
  PutText(h->apl_sw + kZelmodSwText, kZelmodSwSize - kZelmodSwText, "SimuApl korvane-plcsim");
  SetRunning(h, false);
  sim.shm.hdr = h;
  sim.shm.size = size;
  sim.shm.name = name;
  for (size_t i = 0; i < kZelmodImages; i++) {
    sim.reg[i] = static_cast<uint8_t*>(p) + kZelmodHeaderSize + i * sim.regsize;
    std::vector<uint8_t>().swap(sim.regs[i]);
  }
  return 0;
}

void ShmPublish(Sim& sim) {
  if (!sim.shm.hdr) return;
  SetRunning(sim.shm.hdr, true);
  sim.shm.hdr->magic.store(kZelmodMagic, std::memory_order_release);
  printf("shm %s\n", sim.shm.name.c_str());
  fflush(stdout);
}

void ShmRemove(Sim& sim) {
  ZelmodShm* h = sim.shm.hdr;
  if (!h) return;
  h->magic.store(0);
  h->running.store(0);
  if (sim.shm.owned) pthread_mutex_unlock(&h->lock);
  munmap(h, sim.shm.size);
  shm_unlink(sim.shm.name.c_str());
  for (size_t i = 0; i < kZelmodImages; i++) sim.reg[i] = nullptr;
  sim.shm = Shm();
}

bool ShmEnter(Sim& sim) {
  if (!sim.shm.hdr || sim.shm.owned) return true;
  int rc = ZelmodLock(&sim.shm.hdr->lock, kEnterWaitMs);
  if (rc != 0) {
    Verbose(sim, "shm: port lock not obtained: %s", strerror(rc));
    return false;
  }
  sim.shm.owned = true;
  return true;
}

void ShmLeave(Sim& sim) {
  if (!sim.shm.hdr || !sim.shm.owned || sim.shm.hold_until_ms >= 0) return;
  pthread_mutex_unlock(&sim.shm.hdr->lock);
  sim.shm.owned = false;
}

void ShmTick(Sim& sim, int64_t now_ms) {
  if (sim.shm.hold_until_ms < 0 || now_ms < sim.shm.hold_until_ms) return;
  sim.shm.hold_until_ms = -1;
  ShmLeave(sim);
}

int64_t ShmDueMs(const Sim& sim) {
  return sim.shm.hold_until_ms;
}

std::string ShmCommand(Sim& sim, const std::string& cmd, const std::string& args, int64_t now_ms) {
  size_t pos = 0;
  std::string w1 = NextWord(args, pos), w2 = NextWord(args, pos);
  bool extra = !NextWord(args, pos).empty();
  if (!sim.shm.hdr) return "ERR no shared memory";
  if (cmd == "plc") {
    if ((w1 != "start" && w1 != "stop") || !w2.empty()) return "ERR usage: plc start|stop";
    SetRunning(sim.shm.hdr, w1 == "start");
    return "OK";
  }
  if (cmd == "lock") {
    char* end = nullptr;
    long long ms = w2.empty() ? 0 : strtoll(w2.c_str(), &end, 10);
    if (w1 != "hold" || w2.empty() || *end || extra || ms < 1 || ms > kMaxHoldMs)
      return "ERR usage: lock hold MS";
    if (!ShmEnter(sim)) return "ERR port locked";
    sim.shm.hold_until_ms = now_ms + ms;
    return "OK";
  }
  return w1.empty() ? "OK " + Names(sim.shm.hdr) : "ERR usage: shm";
}

}  // namespace plcsim
