// Client connections of one communication object: the connection record, its list, the
// listening socket, accepting, receiving and sending.
//
// Records, their sockets and buffers belong to the owning communication object's thread; nothing
// here takes a lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

#include "plc/pubfile_ops.h"

struct COMMOBJ_T;
struct PUBFILE_T;
struct CLIREQ_T;
struct FFILE_T;
struct FFILE_CLIREQ_T;
struct MEM_T;

constexpr size_t kNetBufSize = 131072;     // each of the four per-client buffers
constexpr size_t kNetRecvBudget = 130048;  // bytes one receive call may take in
constexpr int kNetDrainRounds = 1000;      // 1 ms rounds of the send-queue drain wait

enum : int32_t { NET_FREE = 1, NET_CONNECTED = 2, NET_PENDING = 8 };  // state bits

// The fields of one client slot other than its buffers and list links: all of them start again
// from these values when the slot is reused (ResetNetCommRec).
struct NETSLOT_T {
  PUBFILE_T* pf = nullptr;                // own copy of the object's public file; owned
  CLIREQ_T* list_req = nullptr;           // LIST replies
  CLIREQ_T* diff_req = nullptr;           // DIFF lines
  CLIREQ_T* get_req = nullptr;            // GET replies
  CLIREQ_T* set_req = nullptr;            // SET values of active variables
  CLIREQ_T* set_di_req = nullptr;         // SET values of inactive variables
  CLIREQ_T* finfo_req = nullptr;          // GETFILEINFO replies
  CLIREQ_T* wfinfo_req = nullptr;         // WRITEFILEINFO replies
  CLIREQ_T* info_req = nullptr;           // GETINFO replies
  CLIREQ_T* help_req = nullptr;           // HELP replies
  FFILE_CLIREQ_T* getfile_req = nullptr;  // GETFILE requests (the files belong to the cache)
  MEM_T* mem_req = nullptr;               // GETMEM requests
  FFILE_T* writefile = nullptr;           // files being received from this client
  int32_t list_term = 0;                  // 1: an empty "LIST:" line closes the reply
  int32_t get_term = 0;
  int32_t info_term = 0;
  int32_t help_term = 0;
  int32_t listen_sock = 0;
  int32_t sock = 0;   // -1 while the slot waits for a connection
  int32_t state = 0;  // NET_FREE, NET_CONNECTED, NET_PENDING bits
  int32_t json = 0;   // replies in JSON style
  int32_t crlf = 0;   // lines end with CR LF
  int32_t diff = 0;   // send DIFF lines
  time_t conn_time = 0;
  char addr[32] = {};        // peer address, dotted
  char local_addr[32] = {};  // address the listening socket binds to
  size_t pending_len = 0;    // fill counters of the four buffers
  size_t deferred_len = 0;
  size_t rx_len = 0;
  size_t tx_len = 0;    // bytes queued in tx and not yet sent
  int32_t stalled = 0;  // the socket took not all of the queue: the slow-client line was logged
  uint32_t poll_events = 0;  // interest registered in the object's readiness set
  int32_t readable = 0;      // the readiness set reported input (or a close) to read
  int32_t peer_closed = 0;  // the peer closed after its last requests: close once they are answered
  int32_t overlong = 0;     // the line being assembled overflowed: it is refused when it ends
  std::vector<uint32_t> diff_idx;  // DIFF lines of this cycle: places in the object's changes
  uint64_t diff_cycle = 0;         // the cycle they belong to
  int32_t report_pending = 0;      // a variable is to be reported once (SET of an inactive one)
};

// One client slot. The buffers are never reset as a whole: the fill counters keep every clear
// to the part that was used, so the pages of an idle client's buffers stay untouched.
struct NETCOMM_T : NETSLOT_T {
  char pending[kNetBufSize];   // unfinished line typed so far
  char deferred[kNetBufSize];  // request lines held back for a later cycle
  char rx[kNetBufSize];        // received text, NUL-terminated
  char tx[kNetBufSize];        // output queue: replies and messages not yet sent, in order
  NETCOMM_T* prev = nullptr;
  NETCOMM_T* next = nullptr;
};

// List.
NETCOMM_T* AddNetCommRec(NETCOMM_T* rec);     // appended after the last record; null: no memory
NETCOMM_T* RemoveNetCommRec(NETCOMM_T* rec);  // unlinks and frees one record; the next one
void RemoveNetComm(NETCOMM_T* rec);           // frees rec and every record after it
NETCOMM_T* SeekNetComm(NETCOMM_T* rec, int whence);  // 0 first, 2 last, else rec
int CountRecNetComm(NETCOMM_T* list);                // the connection limit
int CountActRecNetComm(NETCOMM_T* list);             // connected records
// Frees the client's request, file and memory lists (not its public-file copy) and empties them.
void RemoveListsNetComm(NETCOMM_T* rec);
// Closes nothing; frees the lists and the public-file copy, clears the used part of the buffers
// and starts every other field afresh, keeping the list links.
void ResetNetCommRec(NETCOMM_T* rec);
// The public-file copies of the connected clients, for UpdatePubFile/UpdatePubFileClient.
void GetPubFileCopiesNetComm(NETCOMM_T* list, PubFileCopies* out);

// Sockets.
int InitNetComm(NETCOMM_T* rec, int port);      // listening socket into rec->listen_sock; 0 / 1
int AcceptNectComm(NETCOMM_T* rec);             // 0 accepted, 1 nothing (errno from accept)
int RecvNetComm(NETCOMM_T* rec);                // 0, or 1 when the peer closed
int WaitCliNetComm(NETCOMM_T* rec, int tries);  // rounds left; 0 after the slow-client line
// Appends to the output queue; 1 when it would not fit (nothing is queued then).
int QueueNetComm(NETCOMM_T* rec, const char* data, size_t n);
// Sends what the socket takes now of the first len queued bytes (-1: all), without waiting; the
// rest stays queued in order. 0, or 1 when the connection failed.
int SendNetComm(NETCOMM_T* rec, long len);
void CloseCliNetComm(NETCOMM_T* rec);
void CloseSrvNetComm(NETCOMM_T* rec);
int ExitNetComm(NETCOMM_T* rec);
int AmountOfUnreadDataNetComm(NETCOMM_T* rec);

// Clears the receive (or transmit) buffer as far as it was used.
void ClearRxNetComm(NETCOMM_T* rec);
void ClearTxNetComm(NETCOMM_T* rec);

// A client whose unsent output would exceed its buffer: logged and closing. Returns 1.
int DropSlowNetComm(COMMOBJ_T* obj, NETCOMM_T* rec);

// The communication object's side.
// Opens the listening slot and socket at thread start; 1 (after logging) stops the thread.
int StartNetCommObject(COMMOBJ_T* obj);
int UpdateNetCommObject(COMMOBJ_T* obj);  // 0, or -1 on a fatal error
int CloseNetCommObject(COMMOBJ_T* obj);
// Waits up to timeout_us for a new connection, input from a client the next cycle reads, or room
// in a slow client's socket; marks the clients with input. 1 when something is ready.
int PollNetCommObject(COMMOBJ_T* obj, long timeout_us);
// Brings the client's interest in the readiness set in line with its state: input while it is
// served, room to send while output waits.
void WatchNetComm(COMMOBJ_T* obj, NETCOMM_T* r);
