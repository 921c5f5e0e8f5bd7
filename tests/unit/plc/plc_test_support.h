// The one fixture of the PLC data model tests, public files from text, and table helpers.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/globals.h"
#include "plc/plcdef.h"
#include "plc/pubfile.h"
#include "plc/pubfile_ops.h"
#include "support/rig.h"
#include "support/scratch.h"

namespace kt {

// Default settings, no pause while reading public files, the log in memory, and a working
// directory inside a scratch folder, which stands for the world outside it.
struct PlcTest : ::testing::Test {
  ScratchDir dir;
  std::filesystem::path old = std::filesystem::current_path();
  char* log_buf = nullptr;
  size_t log_len = 0;
  FILE* log_file = open_memstream(&log_buf, &log_len);
  int old_on = logon;
  FILE* old_out = logout;
  void SetUp() override {
    ResetGlobalSettings();
    pubfile_read_pause_ms = 0, logon = 1, logout = log_file;
    std::filesystem::create_directory(dir / "work");
    std::filesystem::current_path(dir / "work");
  }
  void TearDown() override {
    std::filesystem::current_path(old);
    ResetGlobalSettings();
    pubfile_read_pause_ms = 10, logon = old_on, logout = old_out;
    fclose(log_file);
    free(log_buf);
  }
  bool Logged(const std::string& text) {
    return fflush(log_file) == 0 && std::string(log_buf, log_len).find(text) != std::string::npos;
  }
};

struct PubFileFree {
  void operator()(PUBFILE_T* pf) const { RemovePubFile(pf, 2); }
};
using PubFilePtr = std::unique_ptr<PUBFILE_T, PubFileFree>;

// A public file read from `text`; null when reading fails.
inline PubFilePtr ReadText(const std::string& text) {
  PubFilePtr pf(CreatePubFile(nullptr));
  if (SetPubText(&pf->file, text.data(), static_cast<int64_t>(text.size())) != 0) return nullptr;
  return ReadPubFile(pf.get()) ? std::move(pf) : nullptr;
}

// The columns of a table row.
inline std::vector<std::string> Cols(const std::string& row, char sep = '|') {
  std::vector<std::string> out;
  for (size_t at = 0, end = 0; end != std::string::npos; at = end + 1)
    out.push_back(row.substr(at, (end = row.find(sep, at)) - at));
  return out;
}

// "R12.3 REAL 4": register letter (or "#n:"), address, bit, type name and size.
inline std::string Where(uint8_t reg, uint32_t addr, uint8_t bit, uint8_t type, uint32_t size) {
  const char* name = GetPlcTypeName(type);
  return (reg < 4 ? std::string(1, "XYSR"[reg]) : "#" + std::to_string(reg) + ":") +
         std::to_string(addr) + "." + std::to_string(bit) + " " + (name ? name : "?") + " " +
         std::to_string(size);
}

// For the row "NAME=...": "NAME=" and Where() of the variable, or "NAME=none".
inline std::string Rec(PUBFILE_T* pf, const std::string& row) {
  const std::string name = Cols(row, '=')[0];
  PUBFILE_R* r = FindPubFileRec(pf, name.c_str());
  return name + "=" + (r ? Where(r->reg, r->addr, r->bit, r->type, r->size) : "none");
}

// "NAME=state" of every record in name order, then the choices not yet folded: "+NAME" enabled,
// "-NAME" disabled.
inline std::string States(PUBFILE_T* pf) {
  std::string out;
  std::string enabled, disabled;
  for (const auto& [name, at] : pf->index->names) {
    const PUBFILE_R& r = pf->recs[at];
    out += std::string(name) + "=" + std::to_string(r.state) + " ";
    if (r.choice == PF_ENABLED) enabled += " +" + std::string(name);
    if (r.choice == PF_DISABLED) disabled += " -" + std::string(name);
  }
  return out + "|" + enabled + disabled;
}

}  // namespace kt
