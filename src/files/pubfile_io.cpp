// GetPubFile and WritePubFile.
//
// Stand-in: replaced when the file cache lands. Until then both work on the local disk only:
// sources 0 and 1 read "./<dir>/<name>", source 2 (the PLC) reports the file as not found.
#include "files/pubfile_io.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/fsutil.h"
#include "app/log.h"

namespace {

constexpr long kMaxPubFileBytes = 64L * 1024 * 1024;  // a public file larger than this is refused

// A name stays below the working directory: no absolute path, no ".." component.
bool SafeLocalName(const char* s) {
  if (!s || s[0] == '/') return false;
  for (const char* p = s; *p;) {
    const char* slash = strchr(p, '/');
    size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if (n == 2 && p[0] == '.' && p[1] == '.') return false;
    if (!slash) break;
    p = slash + 1;
  }
  return true;
}

bool LocalPath(char* out, size_t cap, const char* dir, const char* name) {
  if (!SafeLocalName(dir) || !SafeLocalName(name) || name[0] == '\0') return false;
  int n = snprintf(out, cap, "./%s/%s", dir, name);
  return n > 0 && static_cast<size_t>(n) < cap;
}

// Reads a whole local file into a zero-terminated malloc buffer; null when missing.
char* ReadLocalFile(const char* path, long* size) {
  std::unique_ptr<FILE, decltype(&fclose)> f(fopen(path, "rb"), &fclose);
  if (!f) return nullptr;
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxPubFileBytes)
    return nullptr;
  long n = static_cast<long>(st.st_size);
  char* data = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
  if (!data) return nullptr;
  if (fread(data, 1, static_cast<size_t>(n), f.get()) != static_cast<size_t>(n)) {
    free(data);
    return nullptr;
  }
  data[n] = '\0';
  *size = n;
  return data;
}

}  // namespace

PUBFILE_T* GetPubFile(PUBFILE_T* pf, const char* dir, const char* name, int* flag, DORVIK_T* link,
                      int timeout, int* source, uint32_t* crc) {
  (void)link;
  (void)timeout;
  int dummy_flag = 0;
  int dummy_source = PF_SRC_CACHE;
  if (!flag) flag = &dummy_flag;
  if (!source) source = &dummy_source;
  if (crc) *crc = 0;
  if (*source < PF_SRC_CACHE || *source > PF_SRC_PLC) {
    *source = PF_SRC_CACHE;
    *flag = 1;
    return nullptr;
  }

  char path[600];
  long size = 0;
  char* data = nullptr;
  if (*source != PF_SRC_PLC && LocalPath(path, sizeof path, dir ? dir : "", name))
    data = ReadLocalFile(path, &size);
  if (!data) {
    *source = 0;
    *flag = 1;
    return nullptr;
  }
  *source = PF_SRC_LOCAL;

  bool made_here = (pf == nullptr);
  pf = CreatePubFile(pf);
  if (!pf) {
    log("GetPubFile", 0, "Unable to allocate memory for new public file!");
    free(data);
    return nullptr;
  }
  free(pf->file.data);
  pf->file.data = data;
  pf->file.size.store(size);
  pf->file.end.store(data + size);
  pf->file.sent = nullptr;
  pf->file.source = PF_SRC_LOCAL;
  snprintf(pf->file.name, sizeof pf->file.name, "%s", name);

  if (!ReadPubFile(pf)) {
    if (made_here) {
      free(pf->file.data);
      pf->file.data = nullptr;
      delete pf;
    }
    return nullptr;
  }
  if (crc) *crc = VerifyPubFileCrc(&pf->file);
  *flag = 0;
  return pf;
}

PUBFILE_T* WritePubFile(PUBFILE_T* pf, const char* dir) {
  if (!pf || !pf->file.data) return nullptr;
  char path[600];
  if (!LocalPath(path, sizeof path, dir ? dir : "", pf->file.name)) return nullptr;
  if (CreateLocalFilePath(path)) return nullptr;
  std::unique_ptr<FILE, decltype(&fclose)> f(fopen(path, "wb"), &fclose);
  if (!f) return nullptr;
  size_t n = static_cast<size_t>(pf->file.size.load());
  if (fwrite(pf->file.data, 1, n, f.get()) != n) return nullptr;
  if (fflush(f.get()) != 0) return nullptr;
  return pf;
}
