// Zelmod.so, the substitute shared-memory module: the 28 exported functions (behaviour in
// zelmod.h) over the shared memory that korvane-plcsim serves (layout in shm_layout.h).
//
// The process keeps a table of mappings, one per served socket and port it has used. A mapping
// whose simulator has gone is retired: a new simulator on the same name gets a new mapping,
// and the old one stays mapped while a note descriptor or a held lock still points into it, so
// a caller never touches unmapped memory. Calls for a socket alone (no port) use the lowest
// port served with it, found by listing the shared memory folder.
#include "zelmod.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "shm_layout.h"

namespace {

constexpr const char* kVersion = "Zelmod substitute 1.0 - PLC Quen sim 1.0";
constexpr const char* kShmFolder = "/dev/shm";  // where Linux keeps POSIX shared memory
constexpr size_t kInfoSize = 256;
constexpr size_t kDescSlots = 8;
constexpr int kMaxLockWaitMs = 600000;

struct Map {
  int socket = 0, port = 0;
  ZelmodShm* hdr = nullptr;
  size_t size = 0;
  bool retired = false;  // its simulator has gone
  int users = 0;         // calls waiting on its lock, plus the lock when held
  bool locked = false;   // held by `locker`
  pthread_t locker{};
};

// A note this process holds open, with the descriptor handed out for it.
struct Note {
  int socket = 0, port = 0;
  Map* map = nullptr;  // the mapping `desc` points into; null before the first descriptor
  void* desc[kDescSlots] = {};
};

using Block = std::vector<uint8_t>;

// Everything below is guarded by `mu`; the blocks' memory stays where it is once handed out.
struct Module {
  std::mutex mu;
  std::vector<std::unique_ptr<Map>> maps;
  std::vector<std::unique_ptr<Note>> notes;
  std::map<int, std::unique_ptr<Block>> plc_sw, apl_sw;
  uint8_t info[kInfoSize] = {};

  ~Module() {
    for (auto& m : maps) munmap(m->hdr, m->size);
  }
};

Module& Mod() {
  static Module m;
  return m;
}

std::atomic<int> g_err{0};
std::atomic<uint8_t> g_debug[65536];

int Fail(int code) {
  g_err = code;
  return 0;
}

bool Ranged(int socket) {
  return socket >= 0 && socket <= 65535;
}

bool Ranged(int socket, int port) {
  return Ranged(socket) && port >= 0 && port <= 65535;
}

void Trace(int socket, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Trace(int socket, const char* fmt, ...) {
  if (!Ranged(socket) || !g_debug[socket]) return;
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  fprintf(stderr, "zelmod[%d]: %s\n", static_cast<int>(getpid()), line);
}

bool ProcessAlive(int32_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

bool Served(const ZelmodShm* h) {
  return h->magic.load(std::memory_order_acquire) == kZelmodMagic && ProcessAlive(h->pid);
}

uint8_t* Image(const Map* m, int reg) {
  return reinterpret_cast<uint8_t*>(m->hdr) + kZelmodHeaderSize +
         static_cast<size_t>(reg) * m->hdr->regsize;
}

uint64_t Handle(int socket, int port, uint32_t seq) {
  return static_cast<uint64_t>(socket) << 48 | static_cast<uint64_t>(port) << 32 | seq;
}

// Copies a text into a fixed field, zero-filled behind it.
void PutText(char* field, size_t size, const char* text) {
  memset(field, 0, size);
  memcpy(field, text, strnlen(text, size - 1));
}

// Copies a text out of a field that another process writes: never past the field, always
// zero-terminated, cut to `size` - 1 bytes.
void GetText(const char* field, size_t field_size, char* out, int size) {
  size_t n = std::min(strnlen(field, field_size), static_cast<size_t>(size - 1));
  memcpy(out, field, n);
  out[n] = 0;
}

// Maps the served object of a socket and port after checking that its header and size agree;
// null when it is not (or not yet, or no longer) served.
std::unique_ptr<Map> Attach(int socket, int port) {
  char name[64];
  ZelmodShmName(static_cast<unsigned>(socket), static_cast<unsigned>(port), name, sizeof name);
  int fd = shm_open(name, O_RDWR, 0);
  if (fd < 0) return nullptr;
  struct stat st;
  void* p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kZelmodHeaderSize) &&
      st.st_size <= static_cast<off_t>(ZelmodShmSize(kZelmodMaxRegSize)))
    p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return nullptr;
  auto* h = static_cast<ZelmodShm*>(p);
  size_t size = static_cast<size_t>(st.st_size);
  if (!Served(h) || h->layout != kZelmodLayout || h->socket != static_cast<uint32_t>(socket) ||
      h->port != static_cast<uint32_t>(port) || h->regsize == 0 || h->regsize > kZelmodMaxRegSize ||
      ZelmodShmSize(h->regsize) != size) {
    munmap(p, size);
    return nullptr;
  }
  auto m = std::make_unique<Map>();
  m->socket = socket;
  m->port = port;
  m->hdr = h;
  m->size = size;
  return m;
}

// Unmaps the retired mappings that nothing points into any more.
void Reap(Module& md) {
  auto in_use = [&md](const std::unique_ptr<Map>& m) {
    if (!m->retired || m->users > 0) return true;
    for (const auto& n : md.notes)
      if (n->map == m.get()) return true;
    return false;
  };
  auto keep = std::partition(md.maps.begin(), md.maps.end(), in_use);
  for (auto it = keep; it != md.maps.end(); ++it) munmap((*it)->hdr, (*it)->size);
  md.maps.erase(keep, md.maps.end());
}

// The live mapping of a socket and port, attached on first use.
Map* Current(Module& md, int socket, int port) {
  for (auto& m : md.maps) {
    if (m->retired || m->socket != socket || m->port != port) continue;
    if (Served(m->hdr)) return m.get();
    m->retired = true;
    Reap(md);
    break;
  }
  std::unique_ptr<Map> m = Attach(socket, port);
  if (!m) return nullptr;
  md.maps.push_back(std::move(m));
  return md.maps.back().get();
}

// Socket and port pairs whose names are in the shared memory folder, ordered.
std::vector<std::pair<int, int>> ListNames() {
  std::vector<std::pair<int, int>> out;
  DIR* d = opendir(kShmFolder);
  if (!d) return out;
  size_t plen = strlen(kZelmodPrefix);
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, kZelmodPrefix, plen) != 0) continue;
    unsigned s = 0, p = 0;
    char canon[64];
    // Only names in exactly the form we would build count.
    if (sscanf(e->d_name + plen, "%5u-%5u", &s, &p) != 2 || s > 65535 || p > 65535) continue;
    ZelmodShmName(s, p, canon, sizeof canon);
    if (strcmp(canon + 1, e->d_name) == 0) out.emplace_back(s, p);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// Whether a live simulator serves the pair, looking at its header page only.
bool Peek(int socket, int port) {
  char name[64];
  ZelmodShmName(static_cast<unsigned>(socket), static_cast<unsigned>(port), name, sizeof name);
  int fd = shm_open(name, O_RDONLY, 0);
  if (fd < 0) return false;
  struct stat st;
  void* p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kZelmodHeaderSize))
    p = mmap(nullptr, kZelmodHeaderSize, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return false;
  const auto* h = static_cast<const ZelmodShm*>(p);
  bool ok = Served(h) && h->layout == kZelmodLayout && h->socket == static_cast<uint32_t>(socket) &&
            h->port == static_cast<uint32_t>(port);
  munmap(p, kZelmodHeaderSize);
  return ok;
}

std::vector<std::pair<int, int>> ListServed() {
  std::vector<std::pair<int, int>> out;
  for (const auto& sp : ListNames())
    if (Peek(sp.first, sp.second)) out.push_back(sp);
  return out;
}

// The live mapping for a socket alone: the lowest port already attached, else the lowest one
// served.
Map* BySocket(Module& md, int socket) {
  Map* best = nullptr;
  for (auto& m : md.maps) {
    if (m->retired || m->socket != socket) continue;
    if (!Served(m->hdr)) {
      m->retired = true;
      continue;
    }
    if (!best || m->port < best->port) best = m.get();
  }
  Reap(md);
  if (best) return best;
  for (const auto& sp : ListNames())
    if (sp.first == socket)
      if (Map* m = Current(md, socket, sp.second)) return m;
  return nullptr;
}

Note* FindNote(Module& md, int socket, int port) {
  for (auto& n : md.notes)
    if (n->socket == socket && n->port == port) return n.get();
  return nullptr;
}

// Copies a software block of the shared memory into the process's own block for the socket,
// its last byte forced to zero so that its texts end inside it.
void* SoftwareBlock(std::map<int, std::unique_ptr<Block>>& blocks, int socket, const char* src) {
  std::unique_ptr<Block>& b = blocks[socket];
  if (!b) b = std::make_unique<Block>(kZelmodSwSize, 0);
  uint8_t fresh[kZelmodSwSize];
  memcpy(fresh, src, sizeof fresh);
  fresh[sizeof fresh - 1] = 0;
  // Written only when it changed, so a reader of the old block never races an equal rewrite.
  if (memcmp(b->data(), fresh, sizeof fresh) != 0) memcpy(b->data(), fresh, sizeof fresh);
  return b->data();
}

void RefreshInfo(Module& md) {
  uint8_t fresh[kInfoSize] = {};
  snprintf(reinterpret_cast<char*>(fresh), 128, "%s", kVersion);
  std::vector<std::pair<int, int>> served = ListServed();
  std::set<int> sockets;
  for (const auto& sp : served) sockets.insert(sp.first);
  int16_t links = static_cast<int16_t>(std::min<size_t>(md.notes.size(), 32767));
  memcpy(fresh + 128, &links, sizeof links);
  fresh[130] = static_cast<uint8_t>(std::min<size_t>(sockets.size(), 127));
  fresh[131] = static_cast<uint8_t>(std::min<size_t>(served.size(), 127));
  if (memcmp(md.info, fresh, kInfoSize) != 0) memcpy(md.info, fresh, kInfoSize);
}

// Opens the port's note for this process; `exclusive` refuses a note that is open at all.
int OpenNote(int socket, int port, uint64_t* note, bool exclusive) {
  if (!Ranged(socket, port) || !note) return Fail(ZELMOD_E_ARG);
  Module& md = Mod();
  std::lock_guard<std::mutex> g(md.mu);
  Map* m = Current(md, socket, port);
  if (!m) return Fail(ZELMOD_E_SERVED);
  ZelmodShm* h = m->hdr;
  int32_t me = getpid();
  int32_t holder = h->note_pid.load();
  if (holder != 0 && (exclusive || (holder != me && ProcessAlive(holder))))
    return Fail(ZELMOD_E_BUSY);
  if (holder != me) {
    if (!h->note_pid.compare_exchange_strong(holder, me)) return Fail(ZELMOD_E_BUSY);
    h->note_seq.fetch_add(1);
  }
  if (!FindNote(md, socket, port)) {
    auto n = std::make_unique<Note>();
    n->socket = socket;
    n->port = port;
    md.notes.push_back(std::move(n));
  }
  *note = Handle(socket, port, h->note_seq.load());
  return 1;
}

// Runs `fn` on the live mapping of a socket alone, under the module's lock.
template <typename Fn>
int WithSocket(int socket, Fn fn) {
  if (!Ranged(socket)) return Fail(ZELMOD_E_ARG);
  Module& md = Mod();
  std::lock_guard<std::mutex> g(md.mu);
  Map* m = BySocket(md, socket);
  if (!m) return Fail(ZELMOD_E_SERVED);
  return fn(md, m);
}

// Runs `fn` on the live mapping of a socket and port, under the module's lock.
template <typename Fn>
int WithPort(int socket, int port, Fn fn) {
  if (!Ranged(socket, port)) return Fail(ZELMOD_E_ARG);
  Module& md = Mod();
  std::lock_guard<std::mutex> g(md.mu);
  Map* m = Current(md, socket, port);
  if (!m) return Fail(ZELMOD_E_SERVED);
  return fn(md, m);
}

}  // namespace

extern "C" {

int Zelmod_GetInfo(void** info) {
  if (!info) return Fail(ZELMOD_E_ARG);
  Module& md = Mod();
  std::lock_guard<std::mutex> g(md.mu);
  RefreshInfo(md);
  *info = md.info;
  return 1;
}

int Zelmod_GetPlcSW(int socket, void** sw) {
  if (!sw) return Fail(ZELMOD_E_ARG);
  return WithSocket(socket, [&](Module& md, Map* m) {
    *sw = SoftwareBlock(md.plc_sw, socket, m->hdr->plc_sw);
    return 1;
  });
}

int Zelmod_GetAplSW(int socket, void** sw) {
  if (!sw) return Fail(ZELMOD_E_ARG);
  return WithSocket(socket, [&](Module& md, Map* m) {
    *sw = SoftwareBlock(md.apl_sw, socket, m->hdr->apl_sw);
    return 1;
  });
}

int Zelmod_GetGlErr(void) {
  return g_err;
}

int Zelmod_CreateNote(int socket, int port, uint64_t* note) {
  return OpenNote(socket, port, note, true);
}

int Zelmod_GetNote(int socket, int port, uint64_t* note) {
  if (!note) return Fail(ZELMOD_E_ARG);
  return WithPort(socket, port, [&](Module&, Map* m) {
    if (m->hdr->note_pid.load() == 0) return Fail(ZELMOD_E_NOTE);
    *note = Handle(socket, port, m->hdr->note_seq.load());
    return 1;
  });
}

int Zelmod_OpenNoteEx(int socket, int port, uint64_t* note) {
  int rc = OpenNote(socket, port, note, false);
  Trace(socket, "OpenNoteEx(%d, %d) -> %d", socket, port, rc);
  return rc;
}

int Zelmod_GetNoteDscEx(int socket, int port, void** descriptor) {
  if (!descriptor) return Fail(ZELMOD_E_ARG);
  int rc = WithPort(socket, port, [&](Module& md, Map* m) {
    Note* n = FindNote(md, socket, port);
    if (!n || m->hdr->note_pid.load() != getpid()) return Fail(ZELMOD_E_NOTE);
    void* slots[kDescSlots] = {Image(m, 0), Image(m, 1), Image(m, 2), nullptr, Image(m, 3)};
    memcpy(n->desc, slots, sizeof slots);
    n->map = m;
    Reap(md);  // the mapping of a descriptor this replaces may be free now
    *descriptor = n->desc;
    return 1;
  });
  Trace(socket, "GetNoteDscEx(%d, %d) -> %d", socket, port, rc);
  return rc;
}

int Zelmod_CloseNoteEx(int socket, int port) {
  if (!Ranged(socket, port)) return Fail(ZELMOD_E_ARG);
  Module& md = Mod();
  int rc = 0;
  {
    std::lock_guard<std::mutex> g(md.mu);
    // The note is closed in the shared memory if its simulator still serves it, and forgotten
    // here in any case.
    if (Map* m = Current(md, socket, port)) {
      int32_t me = getpid();
      if (m->hdr->note_pid.compare_exchange_strong(me, 0)) rc = 1;
    }
    auto it = std::find_if(md.notes.begin(), md.notes.end(), [&](const std::unique_ptr<Note>& n) {
      return n->socket == socket && n->port == port;
    });
    if (it != md.notes.end()) {
      md.notes.erase(it);
      Reap(md);
      rc = 1;
    }
  }
  if (!rc) Fail(ZELMOD_E_NOTE);
  Trace(socket, "CloseNoteEx(%d, %d) -> %d", socket, port, rc);
  return rc;
}

int Zelmod_PlcSetInfo(int socket, const char* text) {
  if (!text || strnlen(text, kZelmodInfoSize) == kZelmodInfoSize) return Fail(ZELMOD_E_ARG);
  return WithSocket(socket, [&](Module&, Map* m) {
    PutText(m->hdr->info, kZelmodInfoSize, text);
    return 1;
  });
}

int Zelmod_PlcGetInfo(int socket, char* text, int size) {
  if (!text || size < 1) return Fail(ZELMOD_E_ARG);
  return WithSocket(socket, [&](Module&, Map* m) {
    GetText(m->hdr->info, kZelmodInfoSize, text, size);
    return 1;
  });
}

int Zelmod_PlcResInfo(int socket) {
  return WithSocket(socket, [&](Module&, Map* m) {
    memset(m->hdr->info, 0, kZelmodInfoSize);
    return 1;
  });
}

int Zelmod_PlcLink(int socket) {
  return WithSocket(socket, [&](Module&, Map* m) { return m->hdr->running.load() ? 1 : 0; });
}

int Zelmod_ComGetInfo(int socket, int* regsize) {
  if (!regsize) return Fail(ZELMOD_E_ARG);
  return WithSocket(socket, [&](Module&, Map* m) {
    *regsize = static_cast<int>(m->hdr->regsize);
    return 1;
  });
}

int Zelmod_ComGetBuf(int socket, int reg, int addr, void* buf, int len) {
  if (reg < 0 || reg > 3 || addr < 0 || len < 0 || (!buf && len > 0)) return Fail(ZELMOD_E_ARG);
  return WithSocket(socket, [&](Module&, Map* m) {
    size_t end = static_cast<size_t>(addr) + static_cast<size_t>(len);
    if (end > m->hdr->regsize) return Fail(ZELMOD_E_ARG);
    if (len > 0) memcpy(buf, Image(m, reg) + addr, static_cast<size_t>(len));
    return 1;
  });
}

int Zelmod_ComGetSoket(int index, int* socket, int* port) {
  if (index < 0 || !socket || !port) return Fail(ZELMOD_E_ARG);
  std::vector<std::pair<int, int>> served = ListServed();
  if (static_cast<size_t>(index) >= served.size()) return Fail(ZELMOD_E_SERVED);
  *socket = served[static_cast<size_t>(index)].first;
  *port = served[static_cast<size_t>(index)].second;
  return 1;
}

int Zelmod_ComSetAdrPlc(int socket, int addr) {
  if (addr < 0 || addr > 255) return Fail(ZELMOD_E_ARG);
  return WithSocket(socket, [&](Module&, Map* m) {
    m->hdr->plc_addr.store(addr);
    return 1;
  });
}

int Zelmod_SocketGetInfo(int socket, int* port, int* addr, int* running) {
  if (!port || !addr || !running) return Fail(ZELMOD_E_ARG);
  return WithSocket(socket, [&](Module&, Map* m) {
    *port = m->port;
    *addr = m->hdr->plc_addr.load();
    *running = m->hdr->running.load();
    return 1;
  });
}

int Zelmod_SocketSetDebug(int socket, int on) {
  if (!Ranged(socket)) return Fail(ZELMOD_E_ARG);
  g_debug[socket] = on ? 1 : 0;
  return 1;
}

int Zelmod_PortSetName(int socket, int port, const char* name, const char* note) {
  if (!name || !note || strnlen(name, kZelmodNameSize) == kZelmodNameSize ||
      strnlen(note, kZelmodNameSize) == kZelmodNameSize)
    return Fail(ZELMOD_E_ARG);
  int rc = WithPort(socket, port, [&](Module&, Map* m) {
    ZelmodShm* h = m->hdr;
    int32_t me = getpid();
    int32_t holder = h->name_pid.load();
    if (holder != me && holder != 0 && ProcessAlive(holder)) return Fail(ZELMOD_E_BUSY);
    if (holder != me && !h->name_pid.compare_exchange_strong(holder, me))
      return Fail(ZELMOD_E_BUSY);
    PutText(h->name, kZelmodNameSize, name);
    PutText(h->note_name, kZelmodNameSize, note);
    return 1;
  });
  Trace(socket, "PortSetName(%d, %d, \"%.63s\", \"%.63s\") -> %d", socket, port, name, note, rc);
  return rc;
}

int Zelmod_PortGetName(int socket, int port, char* name, int name_size, char* note, int note_size) {
  if (!name || !note || name_size < 1 || note_size < 1) return Fail(ZELMOD_E_ARG);
  return WithPort(socket, port, [&](Module&, Map* m) {
    bool named = m->hdr->name_pid.load() != 0;
    GetText(named ? m->hdr->name : "", kZelmodNameSize, name, name_size);
    GetText(named ? m->hdr->note_name : "", kZelmodNameSize, note, note_size);
    return 1;
  });
}

int Zelmod_PortResName(int socket, int port) {
  int rc = WithPort(socket, port, [&](Module&, Map* m) {
    ZelmodShm* h = m->hdr;
    int32_t holder = h->name_pid.load();
    if (holder == 0) return 1;
    if (holder != getpid() && ProcessAlive(holder)) return Fail(ZELMOD_E_BUSY);
    memset(h->name, 0, kZelmodNameSize);
    memset(h->note_name, 0, kZelmodNameSize);
    h->name_pid.compare_exchange_strong(holder, 0);
    return 1;
  });
  Trace(socket, "PortResName(%d, %d) -> %d", socket, port, rc);
  return rc;
}

int Zelmod_PortGetInfo(int socket, int port, int* state) {
  if (!state) return Fail(ZELMOD_E_ARG);
  return WithPort(socket, port, [&](Module&, Map* m) {
    int32_t holder = m->hdr->note_pid.load();
    *state = (m->hdr->name_pid.load() != 0 ? 1 : 0) | (holder != 0 ? 2 : 0) |
             (holder == getpid() ? 4 : 0);
    return 1;
  });
}

int Zelmod_PortSetLock(int socket, int port, int timeout) {
  if (!Ranged(socket, port)) return Fail(ZELMOD_E_ARG);
  Module& md = Mod();
  Map* m = nullptr;
  {
    std::lock_guard<std::mutex> g(md.mu);
    m = Current(md, socket, port);
    if (!m) return Fail(ZELMOD_E_SERVED);
    Note* n = FindNote(md, socket, port);
    if (n && n->map && n->map != m) {
      Trace(socket, "PortSetLock(%d, %d): the note belongs to a simulator that has gone", socket,
            port);
      return Fail(ZELMOD_E_NOTE);
    }
    if (m->locked && pthread_equal(m->locker, pthread_self())) return Fail(ZELMOD_E_LOCK);
    m->users++;  // keeps the mapping while this thread waits outside the module's lock
  }
  int rc = ZelmodLock(&m->hdr->lock, std::min(timeout, kMaxLockWaitMs));
  {
    std::lock_guard<std::mutex> g(md.mu);
    if (rc == 0) {
      m->locked = true;
      m->locker = pthread_self();
    } else {
      m->users--;
      Reap(md);
    }
  }
  Trace(socket, "PortSetLock(%d, %d, %d) -> %d (error %d)", socket, port, timeout, rc == 0, rc);
  if (rc == 0) return 1;
  return Fail(rc == ETIMEDOUT ? ZELMOD_E_TIMEOUT : ZELMOD_E_SYSTEM);
}

int Zelmod_PortResLock(int socket, int port) {
  if (!Ranged(socket, port)) return Fail(ZELMOD_E_ARG);
  Module& md = Mod();
  int rc = 0;
  {
    std::lock_guard<std::mutex> g(md.mu);
    // The lock may be held through a mapping retired since it was taken.
    for (auto& m : md.maps) {
      if (m->socket != socket || m->port != port || !m->locked ||
          !pthread_equal(m->locker, pthread_self()))
        continue;
      pthread_mutex_unlock(&m->hdr->lock);
      m->locked = false;
      m->users--;
      rc = 1;
      break;
    }
    Reap(md);
  }
  Trace(socket, "PortResLock(%d, %d) -> %d", socket, port, rc);
  return rc ? 1 : Fail(ZELMOD_E_LOCK);
}

int Zelmod_PortResInfo(int socket, int port) {
  return WithPort(socket, port, [&](Module&, Map* m) {
    ZelmodShm* h = m->hdr;
    h->note_pid.store(0);
    h->name_pid.store(0);
    memset(h->name, 0, kZelmodNameSize);
    memset(h->note_name, 0, kZelmodNameSize);
    return 1;
  });
}

int Zelmod_IsItNote(int socket, int port, uint64_t note) {
  return WithPort(socket, port, [&](Module&, Map* m) {
    return m->hdr->note_pid.load() != 0 && note == Handle(socket, port, m->hdr->note_seq.load())
               ? 1
               : 0;
  });
}

int Zelmod_Is_Err(int code, const char** text) {
  static const char* const kTexts[] = {
      nullptr,
      "bad argument",
      "socket or port not served",
      "port lock time-out",
      "no note open on the port",
      "port used by another process",
      "lock not held by this thread, or held already",
      "system call failed",
  };
  if (code < 1 || code > ZELMOD_E_SYSTEM) return 0;
  if (text) *text = kTexts[code];
  return 1;
}

}  // extern "C"
