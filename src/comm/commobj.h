// The communication object: one per PLC section. This layer holds its record, the list of all
// objects, the opening of its link by link kind and the release of what it owns. The client layer
// sits above it; the object's thread and cycle sit on top of both.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <vector>

#include "comm/commobj_changes.h"
#include "link/dorvik.h"
#include "plc/pubfile_ops.h"

struct FFILE_T;
class ShmSrv;
struct NETCOMM_T;
struct PUBFILE_T;
struct PUBFILE_R;
struct OPTIMREQ_T;
struct FFILE_T;
class ShmSrv;

enum { REG_IMG_X = 0, REG_IMG_Y = 1, REG_IMG_R = 2, REG_IMG_S = 3 };  // order of the image arrays

// The keys of one PLC section, read once at start-up (limits and defaults applied). Clients may
// change some of them on a running object.
struct PLCCFG_T {
  char name[256] = {};  // section name; thread name; local folder of this PLC
  int plc_num = 0;      // the section's index in the INI file ("PLC-%d")
  char pubfile[256] = {};
  char pubfile_fixed[256] = {};
  char shm_name[256] = {};
  char ipaddr[32] = {};
  char ipaddr_local[32] = {};
  char serial_device[32] = {};
  int serial_speed = -1;
  int serial_rts = -1;
  int server_port = 5010;
  int shm_port = -1;
  int shm_socket = -1;
  int dvkaddr = 1;
  int dvkport = 61682;
  int dvktout = 1000;
  int dvktout_step = 500;
  int link_kind = LINK_UDP;
  int pubfile_crc = 1;    // check the public file's checksum line
  int pubfile_write = 0;  // keep a local copy of the public file
};

// Everything here belongs to the object's own thread once it runs, except `state`, which main
// may read, and the link record, whose exchanges are serialised by its own mutex.
struct COMMOBJ_T {
  std::atomic<int> state{2};  // 2 created, 1 running, 3 ended during start-up
  PLCCFG_T cfg;               // filled by main before the thread starts
  char pf_name[256] = {};     // public file name (replaced by the one actually loaded)
  char pf_pending[256] = {};  // public file to check and load in this cycle; empty: none
  char ident[4][64] = {};     // PLC identification fields 1..4
  pthread_t thread{};
  pthread_attr_t attr{};
  bool thread_started = false;
  bool attr_ready = false;

  // Run-time state of the cycle.
  int idle_wait = 0;       // us to wait before the next cycle
  uint32_t pf_crc = 0;     // last value of "__PF_CRC"; 0 unknown
  int pf_flag = 0;         // option/error flag handed to the public file retrieval
  int active_changed = 0;  // non-zero: the read plan must be rebuilt
  int link_down = 0;       // the link could not be re-initialised in this cycle
  int no_pubfile = 0;      // no public file loaded
  int notice = 0;          // message code sent to every client in this cycle
  int shm_down = 0;
  int service_error = 0;
  int reconnect_logged = 0;  // a failed read was logged; quiet until a read succeeds
  int pubfile_logged = 0;    // "Unable to get public file" was reported; acquisition is quiet
  int shm_linked = 0;
  int wakeup = 0;  // a client has unread input: cut the idle wait short
  int conn_count = 0;
  int listen_sock = 0;
  int poll_fd = -1;             // the client layer's readiness set (epoll)
  bool listen_watched = false;  // the listening socket is in it
  int fresh_poll = 0;           // the idle wait ended right after a look at the set
  int listen_ready = 0;         // the set reported the listening socket: connections wait
  int listen_backoff = 0;       // accept failed for want of resources: the next idle wait does not
                                // wake on the listening socket (it would stay ready)
  time_t ident_time = 0;        // last successful identification
  int link_ready = 0;           // the last (re)connection found the PLC ready

  DORVIK_T link{};  // zero-filled: closed (the link's mutex serialises its exchanges)

  // The shared-memory module (link kind 3): its binding, made at the first opening, and what
  // the module handed out while the note is open.
  ShmSrv* shm = nullptr;
  const unsigned char* shm_info = nullptr;   // information block
  const unsigned char* shm_plcsw = nullptr;  // PLC software block
  unsigned char** shm_desc = nullptr;        // note descriptor: bases of the register images
  uint64_t shm_note = 0;
  char plc_version[128] = {};  // from the module's version text ("PLC Quen ...")
  char plc_mode[128] = {};     // from the PLC software text ("SimuCtl ...")

  FFILE_T* files = nullptr;  // file cache
  PUBFILE_T* pf = nullptr;   // the public file (merged with the fixed one)
  PUBFILE_T* pf_fixed = nullptr;
  OPTIMREQ_T* readplan = nullptr;
  OPTIMREQ_T* writeplan = nullptr;
  OPTIMREQ_T* writeplan_di = nullptr;
  NETCOMM_T* clients = nullptr;  // first record is the listening slot; freed by the thread layer
  // The connected clients' public-file copies. The client list lives in the layer above, which
  // sets this before the object is initialised; null: no clients.
  void (*client_copies)(COMMOBJ_T* obj, PubFileCopies* out) = nullptr;
  int pf_same = 0;  // the last acquisition found the text already served (clients kept theirs)

  uint64_t cycle_no = 0;                 // counts the cycles of the thread
  std::vector<const PUBFILE_R*> active;  // the variables read, in name order
  CHANGES_T changes;                     // this cycle's changes among them

  uint32_t img_size[4] = {};               // X, Y, R, S
  std::vector<unsigned char> img[4];       // current images
  std::vector<unsigned char> img_prev[4];  // images at the end of the previous cycle

  COMMOBJ_T* prev = nullptr;
  COMMOBJ_T* next = nullptr;
};

// List of all objects (linear, doubly linked; any member stands for the list).
COMMOBJ_T* AddCommObjectRec(COMMOBJ_T* list);
COMMOBJ_T* RemoveCommObjectRec(COMMOBJ_T* obj);
void RemoveCommObject(COMMOBJ_T* list);
COMMOBJ_T* SeekCommObject(COMMOBJ_T* list, int where);
COMMOBJ_T* FindCommObject(COMMOBJ_T* list, const char* ipaddr);

// A new object for a section's keys (state 2), or null when memory runs out.
COMMOBJ_T* CreateCommObject(COMMOBJ_T* list, const PLCCFG_T* cfg);

// First connection and public files at thread start; 1 when the thread must stop.
int InitCommObject(COMMOBJ_T* obj);
// Obtains, checks and merges the public file, refreshes the clients' copies, plans the read and
// sizes the images. 0, or 1 on failure (the fixed variables are still served).
int InitPubfileCommObject(COMMOBJ_T* obj);

// The link, by link kind.
int InitConnectCommObject(COMMOBJ_T* obj);  // (re)connects; 0 when the PLC is ready
int InitDorvikCommObject(COMMOBJ_T* obj);   // UDP or serial DORVIK link and identification
int InitShmCommObject(COMMOBJ_T* obj);      // the shared-memory module
int GetDataCommObject(COMMOBJ_T* obj);      // reads the read plan; 0, or 1 on failure
int SendDataCommObject(COMMOBJ_T* obj);     // writes the write plan; 0, or 1 on failure
void CloseLinkCommObject(COMMOBJ_T* obj);   // releases the link at the end of the thread
// Copies len bytes between the module's register image and buf under the port lock, three
// tries; 0, or 1 after the tries failed (logged under func, then a second's pause).
int ShmCopyCommObject(COMMOBJ_T* obj, uint8_t reg, uint32_t addr, unsigned char* buf, uint32_t len,
                      bool to_plc, const char* func);

// Single variables. The images hold the cyclic values; the direct forms go to the PLC at once
// (a name or a direct PLC address such as "%R12"). Value texts hold kPlcValueText bytes.
// 0 on success or without a public file; 1 for an unknown name; -1 after three failed exchanges.
int GetValCommObject(COMMOBJ_T* obj, const char* name, char* value);
int SetValCommObject(COMMOBJ_T* obj, const char* name, const char* value);
int GetDataValCommObject(COMMOBJ_T* obj, const char* name, char* value);
int SetDataValCommObject(COMMOBJ_T* obj, const char* name, const char* value);
int CopyDataCommObject(COMMOBJ_T* obj);   // current images into the previous ones
int ClearDataCommObject(COMMOBJ_T* obj);  // current images to zero bytes

// Frees what the object owns below the client layer (images, file cache, link, public files,
// plans). The clients are freed by the thread layer before this.
void FreeCommObject(COMMOBJ_T* obj);
