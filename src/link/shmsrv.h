// The binding of the shared-memory module library: loaded at run time, its 28 functions looked
// up by name. Only the module's functions cross between the program and the library.
#pragma once
#include <cstdint>

// The functions the server calls, as it calls them; every result is tested for non-zero
// (success) or zero (failure) only.
using ZelmodGetInfoFn = int (*)(void** info);
using ZelmodGetPlcSWFn = int (*)(int socket, void** sw);
using ZelmodPlcLinkFn = int (*)(int socket);
using ZelmodPortSetNameFn = int (*)(int socket, int port, const char* name, const char* note);
using ZelmodOpenNoteExFn = int (*)(int socket, int port, uint64_t* note);
using ZelmodGetNoteDscExFn = int (*)(int socket, int port, void** descriptor);
using ZelmodPortSetLockFn = int (*)(int socket, int port, int timeout);
using ZelmodSocketPortFn = int (*)(int socket, int port);  // PortResLock, PortResName, CloseNoteEx
using ZelmodOtherFn = int (*)();                           // functions the server does not call

// The module's information block and PLC software block, as far as the server reads them.
constexpr int kShmInfoText = 128;      // the version text at offset 0, within the block's head
constexpr int kShmInfoLinks = 128;     // int16 count of links
constexpr int kShmInfoSockets = 130;   // int8 count of sockets
constexpr int kShmInfoPorts = 131;     // int8 count of ports
constexpr int kShmPlcSWText = 256;     // offset of the PLC software text
constexpr int kShmPlcSWTextMax = 256;  // the most of it that is read
// Positions of the register images X, Y, S and R in the note descriptor.
constexpr int kShmSlotX = 0, kShmSlotY = 1, kShmSlotS = 2, kShmSlotR = 4;

class ShmSrv {
 public:
  explicit ShmSrv(int& err);
  ~ShmSrv();
  ShmSrv(const ShmSrv&) = delete;
  ShmSrv& operator=(const ShmSrv&) = delete;

  // Loads the library ("Zelmod.so" when name is null) and looks up its functions in table
  // order: 0 when all 28 were found, -1 when the library did not load ("Unable to load
  // library: %s" logged), else the progress count at the first name not found (1 to 28).
  int Link(const char* name);
  // Closes the library; the result of dlclose (0 when nothing was loaded).
  int Unlink();

  void* handle;  // null while no library is loaded
  int progress;  // 1 after the library opened, plus 1 per function found
  ZelmodGetInfoFn GetInfo;
  ZelmodGetPlcSWFn GetPlcSW;
  ZelmodOtherFn GetAplSW;
  ZelmodOtherFn GetGlErr;
  ZelmodOtherFn CreateNote;
  ZelmodOtherFn GetNote;
  ZelmodOpenNoteExFn OpenNoteEx;
  ZelmodGetNoteDscExFn GetNoteDscEx;
  ZelmodSocketPortFn CloseNoteEx;
  ZelmodOtherFn PlcSetInfo;
  ZelmodOtherFn PlcGetInfo;
  ZelmodOtherFn PlcResInfo;
  ZelmodPlcLinkFn PlcLink;
  ZelmodOtherFn ComGetInfo;
  ZelmodOtherFn ComGetBuf;
  ZelmodOtherFn ComGetSoket;
  ZelmodOtherFn ComSetAdrPlc;
  ZelmodOtherFn SocketGetInfo;
  ZelmodOtherFn SocketSetDebug;
  ZelmodPortSetNameFn PortSetName;
  ZelmodOtherFn PortGetName;
  ZelmodSocketPortFn PortResName;
  ZelmodOtherFn PortGetInfo;
  ZelmodPortSetLockFn PortSetLock;
  ZelmodSocketPortFn PortResLock;
  ZelmodOtherFn PortResInfo;
  ZelmodOtherFn IsItNote;
  ZelmodOtherFn Is_Err;
};
