// GetPubFile and WritePubFile: a public file's text through the file services (the cache's
// decision, the local disk or the PLC), and its raw bytes back to the local disk.
#include "files/pubfile_io.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/globals.h"
#include "app/log.h"
#include "files/ffile.h"
#include "files/fileaccess.h"

namespace {

// The public file's own record serves as its cache entry: its text is reused while it is fresh,
// has the same name and the file has not changed (GetFile checks that with one information query).
void SeedFromCache(FFILE_T* tmp, const PUBFILE_T* pf, const char* name) {
  if (!pf || ffile_maxrec == 0) return;
  const FFILE_T& f = pf->file;
  if (!f.data || strcmp(f.name, name) != 0) return;
  if (FileNow() > f.use_time.load() + ffile_timeout) return;
  const int64_t size = f.size.load();
  if (size < 0 || size > kMaxFileBytes) return;
  tmp->data = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
  if (!tmp->data) return;
  memcpy(tmp->data, f.data, static_cast<size_t>(size));
  tmp->data[size] = '\0';
  tmp->size.store(size);
  tmp->end.store(tmp->data + size);
  snprintf(tmp->name, sizeof tmp->name, "%s", f.name);
  tmp->source = f.source;
  tmp->attr = f.attr;
  tmp->mode = f.mode;
  tmp->ctime = f.ctime;
  tmp->mtime = f.mtime;
  memcpy(tmp->stamp_a, f.stamp_a, sizeof tmp->stamp_a);
  memcpy(tmp->stamp_b, f.stamp_b, sizeof tmp->stamp_b);
  tmp->use_time.store(f.use_time.load());
}

// The public file takes over the record's text and information.
void TakeRecord(PUBFILE_T* pf, FFILE_T* tmp) {
  FFILE_T& f = pf->file;
  free(f.data);
  f.data = tmp->data;
  tmp->data = nullptr;
  f.size.store(tmp->size.load());
  f.end.store(f.data ? f.data + f.size.load() : nullptr);
  f.sent = nullptr;
  snprintf(f.name, sizeof f.name, "%s", tmp->name);
  f.source = tmp->source;
  f.attr = tmp->attr;
  f.mode = tmp->mode;
  f.ctime = tmp->ctime;
  f.mtime = tmp->mtime;
  memcpy(f.stamp_a, tmp->stamp_a, sizeof f.stamp_a);
  memcpy(f.stamp_b, tmp->stamp_b, sizeof f.stamp_b);
  f.use_time.store(tmp->use_time.load());
  f.busy.store(0);
  f.result.store(0);
}

}  // namespace

PUBFILE_T* GetPubFile(PUBFILE_T* pf, const char* dir, const char* name, int* flag, DORVIK_T* link,
                      int timeout, int* source, uint32_t* crc) {
  int dummy_flag = 0;
  int dummy_source = PF_SRC_CACHE;
  if (!flag) flag = &dummy_flag;
  if (!source) source = &dummy_source;
  if (crc) *crc = 0;
  if (!dir) dir = "";
  if (!name || *source < PF_SRC_CACHE || *source > PF_SRC_PLC) {
    *source = PF_SRC_CACHE;
    *flag = 1;
    return nullptr;
  }

  FFILE_T tmp;
  tmp.base64 = *flag;
  int rc = -1;
  switch (*source) {
    case PF_SRC_CACHE:
      SeedFromCache(&tmp, pf, name);
      rc = GetFile(&tmp, dir, name, link, timeout);
      break;
    case PF_SRC_LOCAL:
      rc = GetLocalFile(&tmp, dir, name);
      break;
    case PF_SRC_PLC:
      rc = GetDorvikFile(&tmp, dir, name, link, timeout);
      break;
  }
  if (rc != 0 || !tmp.data) {
    free(tmp.data);
    *source = PF_SRC_CACHE;
    *flag = 1;
    return nullptr;
  }
  if (tmp.use_time.load() == 0) tmp.use_time.store(FileNow());
  *source = tmp.source;

  bool made_here = (pf == nullptr);
  pf = CreatePubFile(pf);
  if (!pf) {
    log("GetPubFile", 0, "Unable to allocate memory for new public file!");
    free(tmp.data);
    return nullptr;
  }
  TakeRecord(pf, &tmp);

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
  FFILE_T tmp;  // borrows the text; never frees it
  tmp.data = pf->file.data;
  tmp.size.store(pf->file.size.load());
  tmp.mode = S_IFREG | 0644;
  tmp.mtime = FileNow();
  int rc = WriteLocalFile(&tmp, dir ? dir : "", pf->file.name);
  tmp.data = nullptr;
  return rc == 0 ? pf : nullptr;
}
