// The PLC's registers: their table, allocation and bounded access.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sim.h"

namespace plcsim {

const RegDef kRegs[kRegCount] = {{"X", 0},  {"Y", 1},    {"S", 2},    {"R", 3},
                                 {"E", 10}, {"D0", 128}, {"D1", 129}, {"D2", 130}};

void InitRegisters(Sim& sim) {
  for (int i = 0; i < kRegCount; i++) {
    sim.regs[i].assign(sim.regsize, 0);
    sim.reg[i] = sim.regs[i].data();
  }
}

int RegIndexByCode(uint8_t code) {
  for (int i = 0; i < kRegCount; i++)
    if (kRegs[i].code == code) return i;
  return -1;
}

int RegIndexByName(const char* name) {
  for (int i = 0; i < kRegCount; i++)
    if (strcmp(kRegs[i].name, name) == 0) return i;
  return -1;
}

uint8_t* RegSpan(Sim& sim, int idx, size_t off, size_t len) {
  if (idx < 0 || idx >= kRegCount) return nullptr;
  if (!sim.reg[idx] || off > sim.regsize || len > sim.regsize - off) return nullptr;
  return sim.reg[idx] + off;
}

void Verbose(const Sim& sim, const char* fmt, ...) {
  if (!sim.verbose) return;
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  fprintf(stderr, "plcsim: %s\n", line);
}

}  // namespace plcsim
