// The DORVIK link library: the link record of one PLC, its UDP and serial endpoints, the frame
// checks and error texts, the serial device table and the services. Every function has C linkage
// and its plain name.
//
// A zero-filled DORVIK_T is a closed link; its mutex is then in the static-initializer state, so a
// record needs no set-up before Dorvik_INIT and stays lockable across Dorvik_EXIT / Dorvik_INIT.
#pragma once
#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>

// How a PLC is reached: the one list of link kinds, used by the link record and by the
// communication object that chooses its transport.
enum LINK_KIND : int { LINK_NONE = 0, LINK_UDP = 1, LINK_SERIAL = 2, LINK_SHM = 3 };

enum {
  DORVIK_DEFAULT_PORT = 61682,
  DORVIK_DEFAULT_TIMEOUT_MS = 950,
  DORVIK_UDP_HEADER = 6,
  DORVIK_UDP_MAX_FRAMES_BYTES = 2048,
  DORVIK_UDP_PACKET = DORVIK_UDP_HEADER + DORVIK_UDP_MAX_FRAMES_BYTES,  // 2054
  DORVIK_AREA = 2650,                                                   // req and rep
  DORVIK_REPLY_FRAME = 255,  // reply bytes expected per long frame
  DORVIK_MAX_BLOCK = 246,    // data bytes of one READN frame / one block
  DORVIK_READN_MAX_DESC = 61,
  DORVIK_FILE_PIECE = 230,  // data bytes per FILETRANSFER frame
};

// Link error codes that the library sets itself (the PLC's refusal codes come from the reply).
constexpr uint32_t DORVIK_ERR_SD = 16;
constexpr uint32_t DORVIK_ERR_LER = 18;
constexpr uint32_t DORVIK_ERR_SD2 = 19;
constexpr uint32_t DORVIK_ERR_ADDR = 20;
constexpr uint32_t DORVIK_ERR_FC = 23;
constexpr uint32_t DORVIK_ERR_FCS = 24;
constexpr uint32_t DORVIK_ERR_ED = 25;
constexpr uint32_t DORVIK_ERR_SERVICE = 32;
constexpr uint32_t DORVIK_ERR_NOANSWER = 80;
constexpr uint32_t DORVIK_ERR_BADREPLY = 84;
constexpr uint32_t DORVIK_ERR_PARAMS = 0x220C;
constexpr uint32_t DORVIK_ERR_PROCESSING = 0x230;
constexpr uint32_t DORVIK_ERR_ETHER_INIT = 0xFFF0;
constexpr uint32_t DORVIK_ERR_SERIAL_INIT = 0xFFF1;

// An atomic field that a record's reset may assign: the value is copied, not the atomicity.
template <class T>
struct LinkAtomic : std::atomic<T> {
  LinkAtomic(T v = T()) : std::atomic<T>(v) {}
  LinkAtomic(const LinkAtomic& o) : std::atomic<T>(o.load()) {}
  LinkAtomic& operator=(const LinkAtomic& o) {
    this->store(o.load());
    return *this;
  }
  using std::atomic<T>::operator=;
};

// UDP endpoint. Used only under its link's mutex, except extra_wait, which the communication
// thread and the file/memory workers set before their calls.
struct UDPEP_T {
  int sock;                             // -1 (or 0) when closed
  unsigned timeout;                     // ms; 0 means 950
  LinkAtomic<unsigned> extra_wait;      // ms added to every receive wait
  sockaddr_in from;                     // source of the last received datagram
  sockaddr_in plc;                      // the PLC's address
  unsigned char tx[DORVIK_UDP_PACKET];  // bytes 0-1 keep the sequence number between exchanges
  unsigned char rx[DORVIK_UDP_PACKET];
};

// Serial endpoint. Same ownership as UDPEP_T.
struct SEREP_T {
  int fd;                           // -1 (or 0) when closed
  unsigned timeout;                 // ms; 0 means 950
  LinkAtomic<unsigned> extra_wait;  // ms added to every receive budget
  int speed;                        // bit/s, exact input and output rate
  int data_bits;                    // 5..8
  int stop_bits;                    // 0 one, 1 or 2 two
  int parity;                       // 0 none, 1 even, 2 odd, 3 mark, 4 space
  int flow;                         // 0 none, 1 RTS/CTS, 2 XON/XOFF
  int rts_gpio;                     // negative: RTS not driven
  // Line settings as found at open (a struct termios2), restored at close. Kept opaque so this
  // header does not drag <asm/termbits.h> into code that uses <termios.h>.
  alignas(8) unsigned char saved[64];
  int bits_per_char;  // start + data + stop (+1 with parity), for the transmit wait
};

// Exchange function of a transport: sends request_len bytes, waits for the reply and puts it into
// `reply`, which holds reply_cap bytes (never written past). reply_len is the expected length.
// Sets *error to 0 on entry, to 80 where nothing usable arrived. Returns 0 or 1.
typedef int (*DORVIK_SEND_FN)(void* endpoint, const unsigned char* request, unsigned char* reply,
                              int request_len, int reply_len, int* error, int reply_cap);

// The fields of a link that closing it clears: everything but the mutex.
struct DORVIK_FIELDS_T {
  int handle;                       // descriptor of the open endpoint, 0 while closed
  int port;                         // UDP port of the PLC; <= 0 means 61682
  int iface;                        // LINK_UDP or LINK_SERIAL; LINK_NONE when attached
  int max_frames;                   // frames per exchange: 5 UDP, 1 serial
  int timeout;                      // ms; negative counts as 0 (the transports read 0 as 950)
  LinkAtomic<uint32_t> error;       // code of the last call, 0 on success
  char ip[32];                      // PLC's dotted IPv4 address
  char device[256];                 // serial device path
  unsigned char plc_addr;           // DA of every request
  unsigned char own_addr;           // SA of every request
  void* endpoint;                   // &udp or &ser while open
  LinkAtomic<DORVIK_SEND_FN> send;  // null while closed
  unsigned char sreq[6];
  unsigned char srep[6];
  unsigned char req[DORVIK_AREA];
  unsigned char rep[DORVIK_AREA];
  unsigned char ack[6];
  UDPEP_T udp;
  SEREP_T ser;
};

// One DORVIK link. Owned by one communication object; its services are called from the object's
// thread and from its file/memory workers, each call holding `mutex` for the whole exchange.
struct DORVIK_T : DORVIK_FIELDS_T {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

// One row of the error table: code, Czech text, English text.
struct DORVIK_ERR_MSG_T {
  uint32_t code;
  char cz[256];
  char en[256];
};

// One row of the serial device table.
struct SERIAL_CFG_T {
  char name[32];
  int rts_gpio;
};
enum { SERIAL_CFG_MAX = 10 };

extern "C" {

// ---- frames, checks, error texts (frame.cpp)
extern const DORVIK_ERR_MSG_T dorvik_err_msgs[];
unsigned char Dorvik_FCS1(const unsigned char* frame);
unsigned char Dorvik_FCS2(const unsigned char* frame);
// Checks a received reply frame; 0 when good, else the code (also stored in link->error).
// Reads at most LE + 6 bytes from `frame` (261 at most).
uint32_t Dorvik_FRAMETEST(DORVIK_T* link, const unsigned char* frame, unsigned char sd,
                          unsigned char req_da, unsigned char req_sa, unsigned char fc);
// English text of a code, "" when the code is not in the table.
const char* Dorvik_ErrorText(uint32_t code);
// "[0x%02x] %s" of the link's error; the buffer belongs to the calling thread.
const char* Dorvik_ErrorMSG(DORVIK_T* link);

// ---- UDP transport (udp.cpp)
int Ether_Init(UDPEP_T* ep, const char* ip, unsigned port);
int Ether_SendData(UDPEP_T* ep, const unsigned char* request, unsigned char* reply, int request_len,
                   int reply_len, int* error, int reply_cap);
int Ether_Exit(UDPEP_T* ep);

// ---- serial transport (serial.cpp, rts.cpp, serialcfg.cpp)
int Serial_Init(SEREP_T* ep, const char* device);
int Serial_SendData(SEREP_T* ep, const unsigned char* request, unsigned char* reply,
                    int request_len, int reply_len, int* error, int reply_cap);
int Serial_Exit(SEREP_T* ep);
// Microseconds until the last of `len` characters has left the line, plus 1 ms.
long long Serial_TxWaitUs(int len, int bits_per_char, int speed);
int Serial_Set_RTS(SEREP_T* ep, int value);
// Folder that holds gpio<N>/value; "/sys/class/gpio" unless changed (tests). Null restores it.
void Serial_SetGpioRoot(const char* root);
extern SERIAL_CFG_T serial_cfg[SERIAL_CFG_MAX];
int Serial_CFG_Init(const char* text);
SERIAL_CFG_T* Serial_CFG_Find(const char* name);

// ---- link lifecycle (link.cpp)
// Serial line settings of a link (the codes of SEREP_T).
struct DORVIK_LINE_T {
  int speed;
  int data_bits;
  int stop_bits;
  int parity;
  int flow;
  int rts_gpio;
};
// Set-up of a closed link before Dorvik_INIT (Dorvik_EXIT clears it again): the station
// addresses and receive time-out, then the endpoint of one transport.
void Dorvik_SetStation(DORVIK_T* link, unsigned char plc_addr, unsigned char own_addr,
                       int timeout_ms);
void Dorvik_SetUDP(DORVIK_T* link, const char* ip, int port);
void Dorvik_SetSerial(DORVIK_T* link, const char* device, const DORVIK_LINE_T* line);
// The extra receive wait of the next exchanges, whatever the transport.
void Dorvik_SetExtraWait(DORVIK_T* link, unsigned ms);
// Line settings of an open serial link as given to Dorvik_SetSerial (tests, diagnostics).
DORVIK_LINE_T Dorvik_GetLine(const DORVIK_T* link);
int Dorvik_INIT(DORVIK_T* link);
// Opens a link over a caller's own exchange function (test doubles, fuzzers); iface LINK_NONE.
int Dorvik_ATTACH(DORVIK_T* link, DORVIK_SEND_FN send, void* endpoint, int max_frames);
int Dorvik_EXIT(DORVIK_T* link);
const char* Dorvik_VERSION(void);

// ---- connection and status services (status.cpp)
int Dorvik_CONNECT(DORVIK_T* link);
int Dorvik_IDENT(DORVIK_T* link, unsigned char* out);
int Dorvik_LOGOUT(DORVIK_T* link);
int Dorvik_GETSW(DORVIK_T* link, unsigned char* out);
int Dorvik_GETERR(DORVIK_T* link, unsigned char* out);
int Dorvik_SETCW(DORVIK_T* link, const unsigned char* in);
int Dorvik_MASKCW(DORVIK_T* link, const unsigned char* in);

// ---- register data services (register.cpp)
int Dorvik_READN(DORVIK_T* link, unsigned char* buf, unsigned n);
int Dorvik_READB(DORVIK_T* link, unsigned char* buf, unsigned n);
int Dorvik_WRITEN(DORVIK_T* link, unsigned char* buf, unsigned n);
int Dorvik_WRITEB(DORVIK_T* link, unsigned char* buf, unsigned n);

// ---- file transfer (filetransfer.cpp)
int Dorvik_FILETRANSFER(DORVIK_T* link, unsigned char* record);
int Dorvik_SHMTRANSFER(DORVIK_T* link, unsigned char* record);

}  // extern "C"

// The three attempts of one exchange: before attempt k (0, 1, 2) the link's extra wait becomes
// k time-out steps. `attempt` returns true when it succeeded; so does the result.
template <class Attempt>
bool DorvikRetry(DORVIK_T* link, int step_ms, Attempt attempt) {
  const unsigned step = step_ms > 0 ? static_cast<unsigned>(step_ms) : 0;
  for (unsigned k = 0; k < 3; ++k) {
    Dorvik_SetExtraWait(link, k * step);
    if (attempt()) return true;
  }
  return false;
}
