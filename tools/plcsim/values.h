// Typed register values for the control channel and the project file: "REG ADDR TYPE VALUE".
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim.h"

namespace plcsim {

// Register, address and type of "REG ADDR TYPE" from `pos` on (`pos` moves past them), checked
// to fit the register. 0, or 1 with a reason in `err`.
int ParsePlace(Sim& sim, const std::string& args, size_t& pos, Place& pl, std::string& err);

// "REG ADDR TYPE VALUE" (VALUE: the rest of the line). 0, or 1 with a reason in `err`.
int SetValue(Sim& sim, const std::string& args, std::string& err);
// "REG ADDR TYPE": the value as text. 0, or 1 with a reason in `err`.
int GetValue(Sim& sim, const std::string& args, std::string& value, std::string& err);

std::string ToHex(const uint8_t* p, size_t n);
// 0 with the bytes in `out`, 1 when the text is not an even count of hex digits.
int FromHex(const std::string& hex, std::vector<uint8_t>& out);

// Base of a number text: 16 with a "0x" prefix (after an optional sign), else 10, so that a
// leading zero never turns a number octal.
int NumberBase(const std::string& s);

// Splits off the next blank-separated word of `s` from `pos`; empty at the end.
std::string NextWord(const std::string& s, size_t& pos);

}  // namespace plcsim
