// Shared helpers of the PLC data model tests: log capture and public files made from text.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/globals.h"
#include "plc/pubfile.h"
#include "plc/pubfile_ops.h"

namespace kt {

// Points the log at a temporary file for the lifetime of the object.
class LogCapture {
 public:
  LogCapture() : file_(tmpfile()), old_on_(logon), old_out_(logout) {
    logon = 1;
    logout = file_;
  }
  ~LogCapture() {
    logon = old_on_;
    logout = old_out_;
    if (file_) fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string Text() const {
    std::string out;
    if (!file_) return out;
    fflush(file_);
    long pos = ftell(file_);
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    fseek(file_, pos, SEEK_SET);
    return out;
  }
  bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }

 private:
  FILE* file_;
  int old_on_;
  FILE* old_out_;
};

struct PubFileFree {
  void operator()(PUBFILE_T* pf) const { RemovePubFile(pf, 2); }
};
using PubFilePtr = std::unique_ptr<PUBFILE_T, PubFileFree>;

// Puts `text` into a new public file's file record (owned by the file).
inline PUBFILE_T* PubFileWithText(const std::string& text) {
  PUBFILE_T* pf = CreatePubFile(nullptr);
  char* data = static_cast<char*>(malloc(text.size() + 1));
  memcpy(data, text.data(), text.size());
  data[text.size()] = '\0';
  pf->file.data = data;
  pf->file.size.store(static_cast<int64_t>(text.size()));
  return pf;
}

// A public file read from `text`; null when reading fails.
inline PubFilePtr ReadText(const std::string& text) {
  PUBFILE_T* pf = PubFileWithText(text);
  if (!ReadPubFile(pf)) {
    RemovePubFile(pf, 2);
    return PubFilePtr();
  }
  return PubFilePtr(pf);
}

}  // namespace kt
