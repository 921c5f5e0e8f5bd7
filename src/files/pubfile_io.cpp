// GetPubFile and WritePubFile: a public file's text through the file services (the cache's
// decision, the local disk or the PLC), and its raw bytes back to the local disk.
#include "files/pubfile_io.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/clock.h"
#include "app/globals.h"
#include "app/log.h"
#include "files/ffile.h"
#include "files/fileaccess.h"

namespace {

void InfoToRecord(const PUBTEXT_T& t, FFILE_T* rec) {
  snprintf(rec->name, sizeof rec->name, "%s", t.name);
  rec->source = t.source;
  rec->size.store(t.size);
  rec->attr = t.attr;
  rec->mode = t.mode;
  rec->ctime = t.ctime;
  rec->mtime = t.mtime;
  memcpy(rec->stamp_a, t.stamp_a, sizeof rec->stamp_a);
  memcpy(rec->stamp_b, t.stamp_b, sizeof rec->stamp_b);
}

// The public file's own text serves as its cache entry: it is reused while it is fresh, has the
// same name and the file has not changed (GetFile checks that with one information query).
void SeedFromCache(FFILE_T* tmp, const PUBFILE_T* pf, const char* name) {
  if (!pf || ffile_maxrec == 0) return;
  const PUBTEXT_T& t = pf->file;
  if (!t.data || strcmp(t.name, name) != 0) return;
  if (ClockNow() > t.use_time + ffile_timeout) return;
  if (t.size < 0 || t.size > kMaxFileBytes) return;
  tmp->data = static_cast<char*>(malloc(static_cast<size_t>(t.size) + 1));
  if (!tmp->data) return;
  memcpy(tmp->data, t.data.get(), static_cast<size_t>(t.size));
  tmp->data[t.size] = '\0';
  InfoToRecord(t, tmp);
  tmp->end.store(tmp->data + t.size);
  tmp->use_time.store(t.use_time);
}

// The public file takes over the record's text and information. `where` is the place the file
// lives (1 or 2), also when the record was served from memory.
void TakeRecord(PUBFILE_T* pf, FFILE_T* tmp, int where) {
  PUBTEXT_T& t = pf->file;
  t.data.reset(tmp->data);
  tmp->data = nullptr;
  t.size = tmp->size.load();
  snprintf(t.name, sizeof t.name, "%s", tmp->name);
  t.source = where;
  t.attr = tmp->attr;
  t.mode = tmp->mode;
  t.ctime = tmp->ctime;
  t.mtime = tmp->mtime;
  memcpy(t.stamp_a, tmp->stamp_a, sizeof t.stamp_a);
  memcpy(t.stamp_b, tmp->stamp_b, sizeof t.stamp_b);
  t.use_time = tmp->use_time.load();
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
  int where = 0;  // the seeded text's place, for a text served from memory
  switch (*source) {
    case PF_SRC_CACHE:
      SeedFromCache(&tmp, pf, name);
      where = tmp.source;
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
  if (tmp.use_time.load() == 0) tmp.use_time.store(ClockNow());
  *source = tmp.source;
  if (tmp.source != PF_SRC_MEMORY) where = tmp.source;

  bool made_here = (pf == nullptr);
  pf = CreatePubFile(pf);
  if (!pf) {
    log("GetPubFile", 0, "Unable to allocate memory for new public file!");
    free(tmp.data);
    return nullptr;
  }
  TakeRecord(pf, &tmp, where);

  if (!ReadPubFile(pf)) {
    if (made_here) delete pf;
    return nullptr;
  }
  if (crc) *crc = VerifyPubFileCrc(&pf->file);
  *flag = 0;
  return pf;
}

PUBFILE_T* WritePubFile(PUBFILE_T* pf, const char* dir) {
  if (!pf || !pf->file.data) return nullptr;
  const PUBTEXT_T& t = pf->file;
  FFILE_T tmp;  // borrows the text; never frees it
  tmp.data = t.data.get();
  tmp.size.store(t.size);
  // A text that never came from a file has no time or mode of its own.
  tmp.mode = t.mode ? t.mode : (S_IFREG | 0644);
  tmp.mtime = t.mtime ? t.mtime : ClockNow();
  int rc = WriteLocalFile(&tmp, dir ? dir : "", t.name);
  tmp.data = nullptr;
  return rc == 0 ? pf : nullptr;
}

int PubFileInfo(const PUBFILE_T* pf, FFILE_T* rec) {
  if (!pf || !pf->file.data || !rec) return 1;
  InfoToRecord(pf->file, rec);
  return 0;
}
