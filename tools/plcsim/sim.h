// The state of one simulated PLC: registers, identification, open PLC files, pending faults,
// moving values and counters. The whole simulator runs in one thread (the poll loop of
// main.cpp), which owns it: requests, control commands and moves never interleave.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ZelmodShm;

namespace plcsim {

struct RegDef {
  const char* name;
  uint8_t code;
};
constexpr int kRegCount = 8;
extern const RegDef kRegs[kRegCount];

enum ValueKind { kBool, kUnsigned, kSigned, kReal, kLreal, kString };

// Where a value lives and what it is.
struct Place {
  int reg = -1;
  size_t off = 0;
  int bit = -1;  // BOOL only
  ValueKind kind = kUnsigned;
  unsigned size = 0;
};

enum MoveKind { kCount, kSine, kRamp, kToggle, kText };

// Values that change by themselves: `count` variables of one type side by side from `at`
// (BOOLs bit after bit). Steps are counted from the first tick, so rates do not drift.
struct Move {
  Place at;
  uint32_t count = 1;
  MoveKind kind = kCount;
  int64_t step = 0;       // count on whole numbers
  double a = 0, b = 0;    // count: step (REAL); sine: amplitude, offset; ramp: low, high
  double period_s = 0;    // sine, ramp
  int64_t period_ms = 0;  // count, toggle, text
  std::vector<std::string> texts;
  int64_t start_ms = -1;  // time of the first tick; -1 before it
  int64_t done = 0;       // periods applied (text: index shown, -1 before the first)
};

// One PLC file opened through the file transfer service. A folder opened for reading carries
// a listing taken when it was opened.
struct OpenFile {
  int fd = -1;
  bool writable = false;
  bool dir = false;
  std::string path;
  std::string listing;
};

enum FaultKind { kNoAnswer, kBadSeq, kShort, kLong, kRefuse, kDelay, kFileHandle, kFaultKinds };

struct Fault {
  uint32_t count = 0;  // exchanges still to be hit
  uint32_t param = 0;  // refuse: code byte; delay: milliseconds
};

struct Stats {
  uint64_t requests = 0;  // valid exchanges (datagrams or serial frames) served
  uint64_t frames = 0;    // request frames in them
  uint64_t udp = 0;       // datagrams received, valid or not
  uint64_t serial = 0;    // frames received on the pty, valid or not
};

// The shared memory served for the substitute module (--shm SOCKET:PORT). While `hdr` is set,
// the registers X, Y, S and R are its images, and every change of them happens under its port
// lock, which `owned` says this thread holds.
struct Shm {
  ZelmodShm* hdr = nullptr;
  size_t size = 0;
  std::string name;
  bool owned = false;
  int64_t hold_until_ms = -1;  // `lock hold`: the lock stays ours until then; -1: no hold
};

// Open file handles are capped; the oldest is dropped when a master forgets to close.
constexpr size_t kMaxOpenFiles = 64;

struct Sim {
  uint8_t addr = 0;                      // the PLC's own station address
  size_t regsize = 65536;                // bytes per register
  std::vector<uint8_t> regs[kRegCount];  // storage of the registers not in shared memory
  uint8_t* reg[kRegCount] = {};          // each register's `regsize` bytes
  std::string ident[4] = {"PLCSIM", "KORVANE-SIM", "1.0", "2.3"};
  std::string files;  // PLC file system root; empty when there is none
  bool verbose = false;
  uint16_t status_word = 0x0001;  // running
  uint16_t error_word = 0;
  uint16_t control_word = 0;
  std::map<uint32_t, OpenFile> open_files;
  uint32_t next_handle = 1;
  Fault faults[kFaultKinds];
  std::vector<Move> moves;
  Stats stats;
  Shm shm;
};

// Zeroes the registers at the configured size.
void InitRegisters(Sim& sim);
// Register index (0..7) of a register code or name; -1 when there is none.
int RegIndexByCode(uint8_t code);
int RegIndexByName(const char* name);
// Pointer to `len` bytes at `off` of register `idx`, or null when they do not all fit.
uint8_t* RegSpan(Sim& sim, int idx, size_t off, size_t len);

// Closes every open PLC file.
void CloseAllFiles(Sim& sim);

// Logs a line to standard error when -v was given.
void Verbose(const Sim& sim, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace plcsim
