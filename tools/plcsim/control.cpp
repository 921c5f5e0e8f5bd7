// Control commands: values, moves, raw bytes, identification, PLC files, faults, counters, and
// the shared memory's.
#include "control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "moves.h"
#include "plcfs.h"
#include "shm.h"
#include "values.h"

namespace plcsim {
namespace {

std::string Ok(const std::string& data = std::string()) {
  return data.empty() ? "OK" : "OK " + data;
}
std::string Err(const std::string& why) {
  return "ERR " + why;
}

bool ParseNumber(const std::string& s, uint64_t max, uint64_t& v) {
  if (s.empty() || s[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long x = strtoull(s.c_str(), &end, NumberBase(s));
  if (*end || errno || x > max) return false;
  v = x;
  return true;
}

std::string MoveCmd(Sim& sim, const std::string& args) {
  size_t pos = 0;
  std::string first = NextWord(args, pos), err;
  if (first.empty()) return Err("usage: move REG ADDR TYPE [COUNT] KIND PARAMS... | move clear");
  if (first == "clear" && NextWord(args, pos).empty()) {
    sim.moves.clear();
    return Ok();
  }
  return AddMove(sim, args, err) == 0 ? Ok() : Err(err);
}

std::string SetBytes(Sim& sim, const std::string& args) {
  size_t pos = 0;
  std::string reg = NextWord(args, pos), addr = NextWord(args, pos), hex = NextWord(args, pos);
  int idx = RegIndexByName(reg.c_str());
  uint64_t off;
  std::vector<uint8_t> bytes;
  if (idx < 0) return Err("bad register");
  if (!ParseNumber(addr, sim.regsize, off)) return Err("bad address");
  if (FromHex(hex, bytes) != 0 || bytes.empty()) return Err("bad hex");
  uint8_t* dst = RegSpan(sim, idx, off, bytes.size());
  if (!dst) return Err("out of range");
  memcpy(dst, bytes.data(), bytes.size());
  return Ok();
}

std::string GetBytes(Sim& sim, const std::string& args) {
  size_t pos = 0;
  std::string reg = NextWord(args, pos), addr = NextWord(args, pos), len = NextWord(args, pos);
  int idx = RegIndexByName(reg.c_str());
  uint64_t off, n;
  if (idx < 0) return Err("bad register");
  if (!ParseNumber(addr, sim.regsize, off)) return Err("bad address");
  if (!ParseNumber(len, sim.regsize, n) || n == 0) return Err("bad length");
  const uint8_t* src = RegSpan(sim, idx, off, n);
  if (!src) return Err("out of range");
  return Ok(ToHex(src, n));
}

std::string Ident(Sim& sim, const std::string& args) {
  std::string parts[4];
  size_t start = 0;
  for (int i = 0; i < 4; i++) {
    size_t bar = args.find('|', start);
    if ((bar == std::string::npos) != (i == 3)) return Err("usage: ident T1|T2|T3|T4");
    parts[i] = args.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    start = bar + 1;
  }
  for (int i = 0; i < 4; i++) sim.ident[i] = parts[i];
  return Ok();
}

std::string FilePut(Sim& sim, const std::string& args) {
  size_t pos = 0;
  std::string name = NextWord(args, pos), hex = NextWord(args, pos), path;
  std::vector<uint8_t> bytes;
  if (name.empty()) return Err("usage: fileput NAME HEX");
  if (FromHex(hex, bytes) != 0) return Err("bad hex");
  if (PlcPath(sim.files, name, true, path) != 0) return Err("bad name");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return Err("cannot write file");
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  close(fd);
  return done == bytes.size() ? Ok() : Err("cannot write file");
}

std::string FileGet(Sim& sim, const std::string& args) {
  size_t pos = 0;
  std::string name = NextWord(args, pos), path;
  if (PlcPath(sim.files, name, false, path) != 0) return Err("bad name");
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Err("no such file");
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > kMaxControlFile) {
    close(fd);
    return Err("not a readable file");
  }
  std::vector<uint8_t> bytes;
  uint8_t buf[4096];
  for (;;) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || bytes.size() + static_cast<size_t>(r) > kMaxControlFile) break;
    bytes.insert(bytes.end(), buf, buf + r);
  }
  close(fd);
  return bytes.empty() ? Ok() : Ok(ToHex(bytes.data(), bytes.size()));
}

std::string FileDel(Sim& sim, const std::string& args) {
  size_t pos = 0;
  std::string name = NextWord(args, pos), path;
  if (name.empty() || PlcPath(sim.files, name, false, path) != 0 || path == sim.files)
    return Err("bad name");
  if (unlink(path.c_str()) != 0 && rmdir(path.c_str()) != 0) return Err("no such file");
  return Ok();
}

std::string FileStamp(Sim& sim, const std::string& args) {
  size_t pos = 0;
  std::string name = NextWord(args, pos), path;
  static const uint64_t kMax[6] = {9999, 12, 31, 23, 59, 60};
  static const uint64_t kMin[6] = {1900, 1, 1, 0, 0, 0};
  uint64_t f[6];
  for (int i = 0; i < 6; i++) {
    if (!ParseNumber(NextWord(args, pos), kMax[i], f[i]) || f[i] < kMin[i])
      return Err("usage: filestamp NAME Y M D h m s");
  }
  if (PlcPath(sim.files, name, false, path) != 0) return Err("bad name");
  struct tm tm {};
  tm.tm_year = static_cast<int>(f[0] - 1900);
  tm.tm_mon = static_cast<int>(f[1] - 1);
  tm.tm_mday = static_cast<int>(f[2]);
  tm.tm_hour = static_cast<int>(f[3]);
  tm.tm_min = static_cast<int>(f[4]);
  tm.tm_sec = static_cast<int>(f[5]);
  if (SetFileTime(path, timegm(&tm)) != 0) return Err("no such file");
  return Ok();
}

std::string FaultCmd(Sim& sim, const std::string& args) {
  static const struct {
    const char* name;
    FaultKind kind;
    bool has_param;
    uint64_t param_max;
  } kFaults[] = {
      {"noanswer", kNoAnswer, false, 0},     {"badseq", kBadSeq, false, 0},
      {"short", kShort, false, 0},           {"long", kLong, false, 0},
      {"refuse", kRefuse, true, 255},        {"delay", kDelay, true, 60000},
      {"filehandle", kFileHandle, false, 0},
  };
  size_t pos = 0;
  std::string what = NextWord(args, pos);
  if (what == "clear") {
    for (auto& f : sim.faults) f = Fault();
    return Ok();
  }
  for (const auto& fd : kFaults) {
    if (what != fd.name) continue;
    uint64_t param = 0, count = 1;
    if (fd.has_param && !ParseNumber(NextWord(args, pos), fd.param_max, param))
      return Err("bad fault parameter");
    std::string n = NextWord(args, pos);
    if (!n.empty() && !ParseNumber(n, 1000000, count)) return Err("bad fault count");
    if (!NextWord(args, pos).empty()) return Err("bad fault count");
    sim.faults[fd.kind].count = static_cast<uint32_t>(count);
    sim.faults[fd.kind].param = static_cast<uint32_t>(param);
    return Ok();
  }
  return Err("unknown fault");
}

std::string StatsText(const Sim& sim) {
  char buf[160];
  snprintf(buf, sizeof buf,
           "requests=%" PRIu64 " frames=%" PRIu64 " udp=%" PRIu64 " serial=%" PRIu64,
           sim.stats.requests, sim.stats.frames, sim.stats.udp, sim.stats.serial);
  return Ok(buf);
}

}  // namespace

int ControlCommand(Sim& sim, const std::string& line, int64_t now_ms, std::string& reply) {
  size_t pos = 0;
  std::string cmd = NextWord(line, pos);
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) pos++;
  std::string args = line.substr(pos);
  std::string err, value;
  if (cmd == "set") {
    reply = SetValue(sim, args, err) == 0 ? Ok() : Err(err);
  } else if (cmd == "get") {
    reply = GetValue(sim, args, value, err) == 0 ? "OK " + value : Err(err);
  } else if (cmd == "move") {
    reply = MoveCmd(sim, args);
  } else if (cmd == "setbytes") {
    reply = SetBytes(sim, args);
  } else if (cmd == "getbytes") {
    reply = GetBytes(sim, args);
  } else if (cmd == "ident") {
    reply = Ident(sim, args);
  } else if (cmd == "fileput") {
    reply = FilePut(sim, args);
  } else if (cmd == "fileget") {
    reply = FileGet(sim, args);
  } else if (cmd == "filedel") {
    reply = FileDel(sim, args);
  } else if (cmd == "filestamp") {
    reply = FileStamp(sim, args);
  } else if (cmd == "fault") {
    reply = FaultCmd(sim, args);
  } else if (cmd == "stats") {
    reply = StatsText(sim);
  } else if (cmd == "resetstats") {
    sim.stats = Stats();
    reply = Ok();
  } else if (cmd == "plc" || cmd == "lock" || cmd == "shm") {
    reply = ShmCommand(sim, cmd, args, now_ms);
  } else if (cmd == "quit") {
    reply = Ok();
    return 1;
  } else {
    reply = Err("unknown command");
  }
  return 0;
}

}  // namespace plcsim
