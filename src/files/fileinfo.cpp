// A file's information: PLC time stamps and local times (always UTC), the attributes derived from
// each other, and the query and setting of information wherever the file lives.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/clock.h"
#include "app/fsutil.h"
#include "app/globals.h"
#include "app/log.h"
#include "files/ffile.h"
#include "files/fileaccess.h"
#include "files/plcfile_internal.h"

namespace {

// The record takes the temporary's information; its data are dropped, so the cache reads the
// file again. The list links stay.
void TakeInfo(FFILE_T* rec, const FFILE_T* tmp) {
  free(rec->data);
  rec->data = nullptr;
  rec->sent = nullptr;
  rec->end.store(nullptr);
  memcpy(rec->name, tmp->name, sizeof rec->name);
  rec->source = tmp->source;
  rec->base64 = tmp->base64;
  rec->size.store(tmp->size.load());
  rec->attr = tmp->attr;
  rec->mode = tmp->mode;
  rec->ctime = tmp->ctime;
  rec->mtime = tmp->mtime;
  memcpy(rec->stamp_a, tmp->stamp_a, sizeof rec->stamp_a);
  memcpy(rec->stamp_b, tmp->stamp_b, sizeof rec->stamp_b);
  rec->use_time.store(tmp->use_time.load());
  rec->change_stamp = tmp->change_stamp;
  rec->abort.store(tmp->abort.load());
  rec->result.store(tmp->result.load());
  rec->busy.store(tmp->busy.load());
}

}  // namespace

int PackPlcTime(time_t t, unsigned char out[6]) {
  struct tm tm;
  if (!gmtime_r(&t, &tm)) return -1;
  out[0] = static_cast<unsigned char>(tm.tm_year);
  out[1] = static_cast<unsigned char>(tm.tm_mon + 1);
  out[2] = static_cast<unsigned char>(tm.tm_mday);
  out[3] = static_cast<unsigned char>(tm.tm_hour);
  out[4] = static_cast<unsigned char>(tm.tm_min);
  out[5] = static_cast<unsigned char>(tm.tm_sec);
  return 0;
}

time_t UnpackPlcTime(const unsigned char in[6]) {
  struct tm tm = {};
  tm.tm_year = in[0];
  tm.tm_mon = in[1] - 1;
  tm.tm_mday = in[2];
  tm.tm_hour = in[3];
  tm.tm_min = in[4];
  tm.tm_sec = in[5];
  return timegm(&tm);
}

int SetDorvikFileAttr(FFILE_T* rec) {
  rec->attr = S_ISDIR(rec->mode) ? 0x10 : 0;
  if (PackPlcTime(rec->ctime, rec->stamp_a) != 0) return -1;
  if (PackPlcTime(rec->mtime, rec->stamp_b) != 0) return -1;
  return 0;
}

int SetLocalFileAttr(FFILE_T* rec) {
  rec->mode = S_IFREG | 0644;
  rec->ctime = UnpackPlcTime(rec->stamp_a);
  rec->mtime = UnpackPlcTime(rec->stamp_b);
  return 0;
}

int GetFileInfo(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  FFILE_T tmp;
  tmp.change_stamp = rec->change_stamp;
  const bool root = IsDorvikRootDir(name) != 0;
  if (root || GetLocalFileInfo(&tmp, dir, name) != 0) {
    if (strncmp(name, "../", 3) == 0 || !link) return -1;
    unsigned char tr[kFileRecord];
    if (DorvikOpen(link, step, name, 4, tr) != 0) return -1;
    tmp.size.store(GetLe32(tr + 8));
    tmp.attr =
        static_cast<int64_t>(GetLe32(tr + 24)) | (static_cast<int64_t>(GetLe32(tr + 28)) << 32);
    memcpy(tmp.stamp_a, tr + 12, 6);
    memcpy(tmp.stamp_b, tr + 18, 6);
    SetLocalFileAttr(&tmp);
    snprintf(tmp.name, sizeof tmp.name, "%s", name);
    tmp.source = SRC_PLC;
  } else {
    tmp.source = SRC_LOCAL;
  }
  if (CompareFileInfo(&tmp, rec) == 0) {
    rec->source = tmp.source;
    return 0;
  }
  TakeInfo(rec, &tmp);
  return 0;
}

int WriteFileInfo(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  int rc;
  if (name[0] == '.') {
    rec->source = SRC_LOCAL;
    rc = WriteLocalFileInfo(rec, dir, name);
  } else {
    rec->source = SRC_PLC;
    rc = WriteDorvikFileInfo(rec, dir, name, link, step);
  }
  if (rc == 0)
    rec->use_time.store(ClockNow());
  else
    rec->source = SRC_NONE;
  return rc;
}
