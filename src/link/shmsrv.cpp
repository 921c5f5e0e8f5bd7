// Loading the shared-memory module library and looking up its functions.
#include "link/shmsrv.h"

#include <dlfcn.h>

#include <cstring>

#include "app/log.h"

namespace {

// Looks one function up and stores it; the progress count grows with every one found.
template <class Fn>
bool Find(ShmSrv* s, Fn ShmSrv::*member, const char* name) {
  void* p = dlsym(s->handle, name);
  if (!p) return false;
  Fn fn;
  static_assert(sizeof fn == sizeof p, "function and object pointers differ in size");
  memcpy(&fn, &p, sizeof fn);
  s->*member = fn;
  ++s->progress;
  return true;
}

}  // namespace

ShmSrv::ShmSrv(int& err)
    : handle(nullptr),
      progress(0),
      GetInfo(nullptr),
      GetPlcSW(nullptr),
      GetAplSW(nullptr),
      GetGlErr(nullptr),
      CreateNote(nullptr),
      GetNote(nullptr),
      OpenNoteEx(nullptr),
      GetNoteDscEx(nullptr),
      CloseNoteEx(nullptr),
      PlcSetInfo(nullptr),
      PlcGetInfo(nullptr),
      PlcResInfo(nullptr),
      PlcLink(nullptr),
      ComGetInfo(nullptr),
      ComGetBuf(nullptr),
      ComGetSoket(nullptr),
      ComSetAdrPlc(nullptr),
      SocketGetInfo(nullptr),
      SocketSetDebug(nullptr),
      PortSetName(nullptr),
      PortGetName(nullptr),
      PortResName(nullptr),
      PortGetInfo(nullptr),
      PortSetLock(nullptr),
      PortResLock(nullptr),
      PortResInfo(nullptr),
      IsItNote(nullptr),
      Is_Err(nullptr) {
  err = 0;
}

ShmSrv::~ShmSrv() {
  Unlink();
}

int ShmSrv::Link(const char* name) {
  const char* file = name ? name : "Zelmod.so";
  handle = dlopen(file, RTLD_LAZY | RTLD_GLOBAL);
  if (!handle) {
    log("Link", 0, "Unable to load library: %s", file);
    return -1;
  }
  progress = 1;
  bool ok = Find(this, &ShmSrv::GetInfo, "Zelmod_GetInfo") &&
            Find(this, &ShmSrv::GetPlcSW, "Zelmod_GetPlcSW") &&
            Find(this, &ShmSrv::GetAplSW, "Zelmod_GetAplSW") &&
            Find(this, &ShmSrv::GetGlErr, "Zelmod_GetGlErr") &&
            Find(this, &ShmSrv::CreateNote, "Zelmod_CreateNote") &&
            Find(this, &ShmSrv::GetNote, "Zelmod_GetNote") &&
            Find(this, &ShmSrv::OpenNoteEx, "Zelmod_OpenNoteEx") &&
            Find(this, &ShmSrv::GetNoteDscEx, "Zelmod_GetNoteDscEx") &&
            Find(this, &ShmSrv::CloseNoteEx, "Zelmod_CloseNoteEx") &&
            Find(this, &ShmSrv::PlcSetInfo, "Zelmod_PlcSetInfo") &&
            Find(this, &ShmSrv::PlcGetInfo, "Zelmod_PlcGetInfo") &&
            Find(this, &ShmSrv::PlcResInfo, "Zelmod_PlcResInfo") &&
            Find(this, &ShmSrv::PlcLink, "Zelmod_PlcLink") &&
            Find(this, &ShmSrv::ComGetInfo, "Zelmod_ComGetInfo") &&
            Find(this, &ShmSrv::ComGetBuf, "Zelmod_ComGetBuf") &&
            Find(this, &ShmSrv::ComGetSoket, "Zelmod_ComGetSoket") &&
            Find(this, &ShmSrv::ComSetAdrPlc, "Zelmod_ComSetAdrPlc") &&
            Find(this, &ShmSrv::SocketGetInfo, "Zelmod_SocketGetInfo") &&
            Find(this, &ShmSrv::SocketSetDebug, "Zelmod_SocketSetDebug") &&
            Find(this, &ShmSrv::PortSetName, "Zelmod_PortSetName") &&
            Find(this, &ShmSrv::PortGetName, "Zelmod_PortGetName") &&
            Find(this, &ShmSrv::PortResName, "Zelmod_PortResName") &&
            Find(this, &ShmSrv::PortGetInfo, "Zelmod_PortGetInfo") &&
            Find(this, &ShmSrv::PortSetLock, "Zelmod_PortSetLock") &&
            Find(this, &ShmSrv::PortResLock, "Zelmod_PortResLock") &&
            Find(this, &ShmSrv::PortResInfo, "Zelmod_PortResInfo") &&
            Find(this, &ShmSrv::IsItNote, "Zelmod_IsItNote") &&
            Find(this, &ShmSrv::Is_Err, "Zelmod_Is_Err");
  return ok ? 0 : progress;
}

int ShmSrv::Unlink() {
  if (!handle) return 0;
  int rc = dlclose(handle);
  handle = nullptr;
  return rc;
}
