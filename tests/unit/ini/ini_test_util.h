// Helpers for the INI store tests: a file loaded from a scratch folder with what the store wrote
// to standard error, and what a dump writes to a stream.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ini/iniparser.h"
#include "support/scratch.h"

// Runs fn(FILE*) on an in-memory stream and returns what it wrote.
template <typename Fn>
std::string CaptureStream(Fn fn) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  fn(out);
  fclose(out);
  std::string text(buf, len);
  free(buf);
  return text;
}

// `content` written to t.ini and loaded; err holds what the last load or save wrote to stderr.
struct IniFile {
  kt::ScratchDir dir;
  std::string path = dir / "t.ini", err;
  dictionary* d = nullptr;
  explicit IniFile(const std::string& content) {
    kt::WriteFile(path, content);
    testing::internal::CaptureStderr();
    d = iniparser_load(path.c_str());
    err = testing::internal::GetCapturedStderr();
  }
  ~IniFile() { iniparser_freedict(d); }
  std::string Get(const char* key) const {
    const char* v = iniparser_getstring(d, key, "<absent>");
    return v ? v : "<null>";
  }
  int Save() {
    testing::internal::CaptureStderr();
    int rc = iniparser_save_ini(d, path.c_str());
    err = testing::internal::GetCapturedStderr();
    return rc;
  }
  std::string File() const { return kt::ReadFile(path); }
};
