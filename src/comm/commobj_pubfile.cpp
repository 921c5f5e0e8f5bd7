// Obtaining the public file of a communication object: where it comes from (file cache, local
// copy, PLC), its checks against the project CRC and its own checksum line, the local copy and
// its CRC file, and the merge with the fixed public file that the object then serves.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app/fsutil.h"
#include "app/log.h"
#include "comm/commobj.h"
#include "files/pubfile_io.h"
#include "plc/optimreq.h"
#include "plc/plcvalue.h"
#include "plc/pubfile_ops.h"

namespace {

const char* const kFunc = "InitPubfileCommObject";
const char* const kCrcFile = "Korvane.crc";

// An image larger than this is refused: addresses above 24 bits cannot be reached on the link.
constexpr uint32_t kMaxImageBytes = 32u << 20;

// Logs a message of the acquisition unless an earlier failure made it quiet.
#define LOUD(obj, fmt, ...)                                                                   \
  do {                                                                                        \
    if (!(obj)->pubfile_logged)                                                               \
      log(kFunc, 0, "PLC-%d (%s): " fmt, (obj)->cfg.plc_num, (obj)->cfg.name, ##__VA_ARGS__); \
  } while (0)

// The project CRC from the PLC, read through the fixed public file; 0 when it cannot be read.
uint32_t ReadProjectCrc(COMMOBJ_T* obj) {
  PUBFILE_T* keep = obj->pf;
  obj->pf = obj->pf_fixed;
  char value[kPlcValueText] = {};
  GetDataValCommObject(obj, "__PF_CRC", value);
  obj->pf = keep;
  return static_cast<uint32_t>(strtoul(value, nullptr, 10));
}

// The public file from `source` (0 file cache, 1 local disk, 2 PLC) into a new public file.
PUBFILE_T* Obtain(COMMOBJ_T* obj, int source, const char* dir, int* got_from, uint32_t* crc) {
  *got_from = source;
  *crc = 0;
  return GetPubFile(nullptr, dir, obj->pf_name, &obj->pf_flag, &obj->link, obj->cfg.dvktout_step,
                    got_from, crc);
}

void Drop(PUBFILE_T*& pf) {
  RemovePubFile(pf, 1);
  pf = nullptr;
}

// True when two public files hold the same text under the same name.
bool SameText(const PUBFILE_T* a, const PUBFILE_T* b) {
  if (!a || !b || strcmp(a->file.name, b->file.name) != 0) return false;
  const int64_t n = a->file.size;
  if (n != b->file.size || !a->file.data || !b->file.data) return false;
  return memcmp(a->file.data.get(), b->file.data.get(), static_cast<size_t>(n)) == 0;
}

// Resizes an image and its previous copy; false when memory runs out or the size is absurd.
bool SizeImage(COMMOBJ_T* obj, int r, uint32_t size) {
  if (size > kMaxImageBytes) return false;
  try {
    obj->img[r].resize(size);
    obj->img_prev[r].resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  obj->img_size[r] = size;
  return true;
}

// Reports, checks and accepts an obtained file; with the write option a file from the PLC is
// written to the local disk, and then the CRC file records the project CRC it belongs to.
int AcceptObtained(COMMOBJ_T* obj, PUBFILE_T*& file, int got_from, uint32_t crc, uint32_t project,
                   const char* crc_path) {
  const int items = CountRecPublicFile(file);
  if (got_from == SRC_LOCAL)
    LOUD(obj, "Obtained public file '%s' (%d items) from local computer.", obj->pf_name, items);
  else if (got_from == SRC_PLC)
    LOUD(obj, "Obtained public file '%s' (%d items) from PLC.", obj->pf_name, items);
  if (obj->cfg.pubfile_crc) {
    LOUD(obj, "Checking CRC code for public file '%s'.", obj->pf_name);
    if (crc == 0) {
      LOUD(obj, "Wrong CRC code in public file '%s'!!!", obj->pf_name);
      Drop(file);
      return 1;
    }
  }
  if (obj->cfg.pubfile_write && got_from == SRC_PLC) {
    LOUD(obj, "Write public file '%s' to local disk.", obj->pf_name);
    if (!WritePubFile(file, obj->cfg.name))
      LOUD(obj, "Unable to write public file '%s'!!!", obj->pf_name);
    else if (CreateLocalFilePath(crc_path) == 0)
      SetCrcFile(crc_path, project);
  }
  return 0;
}

// With the local copy: the PLC's file when the project changed since the copy was made, else
// the copy (the PLC's again when the copy is missing or fails its checksum line).
PUBFILE_T* ObtainWithLocalCopy(COMMOBJ_T* obj, uint32_t project, const char* crc_path,
                               int* got_from, uint32_t* crc) {
  uint32_t stored = GetCrcFile(crc_path);
  LOUD(obj, "Checking CRC code of PLC project: %X [%X]", project, stored);
  const char* dir = obj->cfg.name;
  if (project != stored) return Obtain(obj, PF_SRC_PLC, dir, got_from, crc);
  PUBFILE_T* file = Obtain(obj, PF_SRC_LOCAL, dir, got_from, crc);
  if (file && obj->cfg.pubfile_crc && *crc == 0) {
    LOUD(obj, "Wrong CRC code in public file '%s'!!!", obj->pf_name);
    Drop(file);
  }
  return file ? file : Obtain(obj, PF_SRC_PLC, dir, got_from, crc);
}

// The fixed public file's variables, then the obtained file's; the object serves the result.
// When the obtained text is the one already served, the served file and every client's copy
// (with what the clients enabled, hid and set) stay as they are.
int MergeCommObject(COMMOBJ_T* obj, PUBFILE_T* file, PUBFILE_T* old, int result) {
  PUBFILE_T* merged = ClonePubFile(obj->pf_fixed);
  if (!merged) {
    log(kFunc, 0, "PLC-%d (%s): Unable to create copy of fixed public file!!!", obj->cfg.plc_num,
        obj->cfg.name);
    RemovePubFile(file, 1);
    RemovePubFile(old, 1);
    return 1;
  }
  if (file && !AddPubFile(merged, file)) {
    log(kFunc, 0, "PLC-%d (%s): Unable to add public file '%s'!!!", obj->cfg.plc_num, obj->cfg.name,
        obj->pf_name);
    RemovePubFile(merged, 0);
    RemovePubFile(file, 1);
    RemovePubFile(old, 1);
    return 1;
  }
  RemovePubFile(file, 0);  // its names and text live on in the merged file

  PubFileCopies copies;
  if (obj->client_copies) obj->client_copies(obj, &copies);
  obj->pf_same = 0;
  if (result == 0 && old && SameText(old, merged)) {
    RemovePubFile(merged, 1);
    obj->pf = old;
    obj->pf_same = 1;
  } else {
    RemovePubFile(old, 1);
    obj->pf = merged;
    if (UpdatePubFileClient(obj->pf, &copies) != 0) {
      log(kFunc, 0, "PLC-%d (%s): Unable to update public file!!!", obj->cfg.plc_num,
          obj->cfg.name);
      return 1;
    }
  }
  UpdatePubFile(obj->pf, &copies);

  RemoveOptimReq(obj->readplan);
  obj->readplan = CreatePFOptimReq(nullptr, obj->pf);
  ListActiveCommObject(obj);
  if (!obj->readplan && obj->pf)
    log(kFunc, 0, "PLC-%d (%s): Unable to optimize communication requests (GET)!!!",
        obj->cfg.plc_num, obj->cfg.name);

  uint32_t size[4] = {};
  GetPubFileMemSize(obj->pf, &size[REG_IMG_X], &size[REG_IMG_Y], &size[REG_IMG_R],
                    &size[REG_IMG_S]);
  static const char* const kRegName[4] = {"X", "Y", "R", "S"};
  for (int r = 0; r < 4; ++r) {
    if (size[r] == 0 || SizeImage(obj, r, size[r])) continue;
    log(kFunc, 0, "PLC-%d (%s): Unable to alocate memory for %s registers!!!", obj->cfg.plc_num,
        obj->cfg.name, kRegName[r]);
    return 1;
  }
  return result;
}

}  // namespace

int InitPubfileCommObject(COMMOBJ_T* obj) {
  obj->active.clear();       // its records go with the file being replaced
  PUBFILE_T* old = obj->pf;  // kept aside: an unchanged file keeps serving the clients' choices
  obj->pf = nullptr;
  char crc_path[600];
  snprintf(crc_path, sizeof crc_path, "./%s/%s", obj->cfg.name, kCrcFile);

  const uint32_t project = ReadProjectCrc(obj);
  obj->pf_crc = project;
  if (project == 0) {
    LOUD(obj, "Unable to get CRC code of PLC project!!!");
    return MergeCommObject(obj, nullptr, old, 1);
  }
  if (strcmp(obj->pf_name, ".") == 0) {
    log(kFunc, 0, "PLC-%d (%s): Public file name is '%s': File will not used.", obj->cfg.plc_num,
        obj->cfg.name, obj->pf_name);
    return MergeCommObject(obj, nullptr, old, 0);
  }

  int got_from = SRC_NONE;
  uint32_t crc = 0;
  PUBFILE_T* file = obj->cfg.pubfile_write
                        ? ObtainWithLocalCopy(obj, project, crc_path, &got_from, &crc)
                        : Obtain(obj, PF_SRC_CACHE, "", &got_from, &crc);
  if (!file) return MergeCommObject(obj, nullptr, old, 1);
  int result = AcceptObtained(obj, file, got_from, crc, project, crc_path);
  return MergeCommObject(obj, file, old, result);
}
