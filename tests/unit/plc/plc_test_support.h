// Shared helpers of the PLC data model tests: settings fixture, log capture, public files from
// text.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/globals.h"
#include "plc/plcdef.h"
#include "plc/pubfile.h"
#include "plc/pubfile_ops.h"

namespace kt {

// Default settings around every case; no pause while reading public files.
struct PlcTest : ::testing::Test {
  void SetUp() override {
    ResetGlobalSettings();
    pubfile_read_pause_ms = 0;
  }
  void TearDown() override {
    ResetGlobalSettings();
    pubfile_read_pause_ms = 10;
  }
};

// Points the log at a memory buffer for the lifetime of the object.
struct LogCapture {
  char* buf = nullptr;
  size_t len = 0;
  FILE* file = open_memstream(&buf, &len);
  int old_on = logon;
  FILE* old_out = logout;
  LogCapture() { logon = 1, logout = file; }
  ~LogCapture() {
    logon = old_on, logout = old_out;
    if (file) fclose(file);
    free(buf);
  }
  bool Has(const std::string& text) {
    return file && fflush(file) == 0 && std::string(buf, len).find(text) != std::string::npos;
  }
};

struct PubFileFree {
  void operator()(PUBFILE_T* pf) const { RemovePubFile(pf, 2); }
};
using PubFilePtr = std::unique_ptr<PUBFILE_T, PubFileFree>;

// A public file read from `text` (the file owns a copy); null when reading fails.
inline PubFilePtr ReadText(const std::string& text) {
  PUBFILE_T* pf = CreatePubFile(nullptr);
  char* data = static_cast<char*>(malloc(text.size() + 1));
  memcpy(data, text.c_str(), text.size() + 1);
  pf->file.data = data;
  pf->file.size.store(static_cast<int64_t>(text.size()));
  if (!ReadPubFile(pf)) {
    RemovePubFile(pf, 2);
    return PubFilePtr();
  }
  return PubFilePtr(pf);
}

// `body` followed by its checksum line.
inline std::string WithCrc(const std::string& body) {
  char line[64];
  snprintf(line, sizeof line, ";* Crc=\"%04X\"\n", crcPLC(body.data(), body.size()));
  return body + line;
}

// Marks a record always enabled in both indexes.
inline void SetAlways(PUBFILE_T* pf, const char* name) {
  PUBFILE_R* r = FindPubFileRec(pf, name);
  r->state = PF_ALWAYS;
  pf->addrs[r->key].state = PF_ALWAYS;
}

// "R12.3 REAL 4": register letter (or "#n:"), address, bit, type name and size.
inline std::string Where(uint8_t reg, uint32_t addr, uint8_t bit, uint8_t type, uint32_t size) {
  const char* name = GetPlcTypeName(type);
  return (reg < 4 ? std::string(1, "XYSR"[reg]) : "#" + std::to_string(reg) + ":") +
         std::to_string(addr) + "." + std::to_string(bit) + " " + (name ? name : "?") + " " +
         std::to_string(size);
}

// Where() of a record, or "none".
inline std::string Rec(PUBFILE_T* pf, const char* name) {
  PUBFILE_R* r = FindPubFileRec(pf, name);
  return r ? Where(r->reg, r->addr, r->bit, r->type, r->size) : "none";
}

// "NAME=state" of every record in name order; '!' marks an address copy that disagrees.
inline std::string States(PUBFILE_T* pf) {
  std::string out;
  for (const auto& [name, r] : pf->names) {
    auto a = pf->addrs.find(r.key);
    out += std::string(name) + "=" + std::to_string(r.state);
    out += (a == pf->addrs.end() || a->second.state != r.state) ? "! " : " ";
  }
  return out;
}

// The choices not yet folded: "+NAME" enabled, then "-NAME" disabled.
inline std::string Sets(PUBFILE_T* pf) {
  std::string out;
  for (const auto& n : pf->enabled_names) out += "+" + std::string(n.first) + " ";
  for (const auto& n : pf->disabled_names) out += "-" + std::string(n.first) + " ";
  return out;
}

}  // namespace kt
