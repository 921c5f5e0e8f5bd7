// Serving the PLC through shared memory to the substitute module Zelmod.so (--shm SOCKET:PORT):
// the shared memory's life, the port lock around the simulator's own changes, and the control
// commands `plc`, `lock` and `shm`.
#pragma once
#include <cstdint>
#include <string>

#include "sim.h"

namespace plcsim {

// Creates the shared memory for "SOCKET:PORT" (replacing one a dead simulator left behind) and
// makes X, Y, S and R its zeroed images. Call after InitRegisters and before the project is
// loaded. 0, or 1 after a message on standard error.
int ShmCreate(Sim& sim, const std::string& where);
// Marks the PLC running and shows the shared memory to the module.
void ShmPublish(Sim& sim);
// Hides and removes the shared memory; X, Y, S and R are gone with it.
void ShmRemove(Sim& sim);

// Takes the port lock before the simulator touches its registers (waiting up to a second);
// false when it could not. Without shared memory, or while this thread holds it, true at once.
bool ShmEnter(Sim& sim);
// Releases the lock ShmEnter took, unless a `lock hold` keeps it.
void ShmLeave(Sim& sim);

// Ends a `lock hold` whose time has come.
void ShmTick(Sim& sim, int64_t now_ms);
// When the loop must wake for ShmTick; -1 when never.
int64_t ShmDueMs(const Sim& sim);

// Runs the command `plc start|stop`, `lock hold MS` or `shm` (`cmd` is its first word) and
// returns the reply line.
std::string ShmCommand(Sim& sim, const std::string& cmd, const std::string& args, int64_t now_ms);

}  // namespace plcsim
