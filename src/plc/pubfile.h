// The public file: its records, the two indexes (by name and by address key), the parser of its
// text, and look-up, enumeration and counting over it. Operations that change states, hide
// records or copy files live in pubfile_ops.h.
//
// A public file and its records belong to one communication object's thread, and so do the
// copies that share its index.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "plc/filesource.h"

enum : int32_t { PF_ENABLED = 1, PF_DISABLED = 2, PF_ALWAYS = 4 };

// One variable. Every copy of a public file holds one of these per variable, so it is kept small.
struct PUBFILE_R {
  const char* name = nullptr;   // upper case; shared by copies, kept alive by PUBNAMES_T
  unsigned char value[8] = {};  // raw value last reported to clients
  double key = 0;               // address key
  double delta = 0;             // smallest change reported; 0 reports every change
  uint32_t addr = 0;            // byte offset in the register
  uint32_t size = 0;            // bytes; STRING: declared length
  uint8_t bit = 0;
  uint8_t reg = 0;
  uint8_t type = 0;
  uint8_t dir = 0;
  uint8_t retake = 0;       // 1: the next comparison takes the value as the new reference
  uint8_t report_once = 0;  // 1: reported at the next comparison even if unchanged
  // The file's choice set holding the name: PF_ENABLED for enabled_names, PF_DISABLED for
  // disabled_names, 0 for neither. A name is never in both.
  uint8_t choice = 0;
  int32_t state = 0;  // 1 enabled, 2 disabled, 4 always enabled
  int32_t hidden = 0;
};
static_assert(sizeof(PUBFILE_R) <= 64, "a client's copy costs one record per variable");

struct FreeText {
  void operator()(char* p) const { free(p); }
};

// The public file's text as obtained, with the information of the file it came from, so the
// text can be written back as the same file version and later compared with the file again.
struct PUBTEXT_T {
  char name[256] = {};
  int source = SRC_NONE;          // where the file lives: SRC_LOCAL or SRC_PLC
  int64_t attr = 0;               // PLC attributes
  uint32_t mode = 0;              // POSIX mode (0644 regular for a PLC file)
  time_t ctime = 0;               // change time
  time_t mtime = 0;               // modification time
  unsigned char stamp_a[6] = {};  // packed UTC date-time matching ctime
  unsigned char stamp_b[6] = {};  // packed UTC date-time matching mtime
  time_t use_time = 0;            // freshness stamp, as the file cache keeps it
  int64_t size = 0;
  std::unique_ptr<char, FreeText> data;  // size + 1 bytes, zero-terminated; malloc'd
};

// Replaces t's bytes by a copy of `size` bytes. 0, or 1 when out of memory (t unchanged).
int SetPubText(PUBTEXT_T* t, const char* bytes, int64_t size);
// dst becomes a copy of src, bytes included. 0, or 1 when out of memory (dst unchanged).
int CopyPubText(PUBTEXT_T* dst, const PUBTEXT_T* src);

// Byte-wise order of name texts.
struct PubNameLess {
  bool operator()(const char* a, const char* b) const { return strcmp(a, b) < 0; }
};

// The name texts read from one file. Every public file made from that file (clones, merges)
// holds a reference, so a name lives as long as the last file that can point at it.
struct PUBNAMES_T {
  std::vector<char*> texts;
  PUBNAMES_T() = default;
  PUBNAMES_T(const PUBNAMES_T&) = delete;
  PUBNAMES_T& operator=(const PUBNAMES_T&) = delete;
  ~PUBNAMES_T();
  const char* Add(const char* name);  // a stored copy, or null when out of memory
};

using PubNameMap = std::map<const char*, uint32_t, PubNameLess>;
using PubAddrMap = std::map<double, uint32_t>;  // unique keys

// Where each variable's record sits in a file's `recs`, by name and by key, and the owners of
// the name texts. Copies of a file share its index, so an index shared by two files is never
// changed: a file that takes new records first gets an index of its own (OwnPubIndex). Files
// sharing one index therefore have their records at the same positions.
struct PUBINDEX_T {
  PubNameMap names;
  PubAddrMap addrs;
  std::vector<std::shared_ptr<PUBNAMES_T>> name_owners;  // keep every name of `names` alive
};

// The index of every file without records: never changed, so the files of every thread may
// hold it.
const std::shared_ptr<const PUBINDEX_T>& EmptyPubIndex();

struct PUBFILE_T {
  int32_t enable_mark = 0;      // 3 while enabled_names holds choices not yet folded
  int32_t disable_mark = 0;     // the same for disabled_names
  PUBTEXT_T file;               // the text and its file's information; may be empty
  std::vector<PUBFILE_R> recs;  // in the order they were added, at the positions of `index`
  std::shared_ptr<const PUBINDEX_T> index = EmptyPubIndex();  // never null
  PubNameMap::const_iterator name_cursor = index->names.begin();
  PubAddrMap::const_iterator addr_cursor = index->addrs.begin();

  PUBFILE_T() = default;
  PUBFILE_T(const PUBFILE_T&) = delete;
  PUBFILE_T& operator=(const PUBFILE_T&) = delete;
};

// Pause in ms after every 1000 lines read, so a long file does not hog the CPU (default 10).
extern int pubfile_read_pause_ms;

// Resets markers and cursors of `pf`, or makes a new empty file (null when out of memory).
PUBFILE_T* CreatePubFile(PUBFILE_T* pf);
// Parses pf->file into records. Returns pf, or null on a fatal error (out of memory, failed
// insert).
PUBFILE_T* ReadPubFile(PUBFILE_T* pf);
// Inserts a copy of `rec` (whose name must outlive pf) into both indexes. Non-zero on success.
int AddPubFileRec(PUBFILE_T* pf, const PUBFILE_R* rec);
// Adds a copy of `rec` (key as given, name outliving pf) as the variable's one record, indexed
// by name and key, with its name in the set of its state. Logs nothing; callers word failures.
enum : int { PF_INSERTED = 0, PF_NAME_TAKEN, PF_KEY_TAKEN, PF_NO_MEMORY };
int InsertPubFileRec(PUBFILE_T* pf, const PUBFILE_R& rec);
// pf's index, copied first when other files share it (the cursors keep their places); null when
// out of memory. Only a file being built changes its index.
PUBINDEX_T* OwnPubIndex(PUBFILE_T* pf);
// Address key of a variable.
double PubFileKey(const char* name, uint8_t reg, uint32_t addr, uint8_t bit);

// Exact name, "*" (enumerate) or a wildcard pattern (next match); the record or null.
PUBFILE_R* FindPubFileRec(PUBFILE_T* pf, const char* name);
// Exact name only; never moves the cursor.
PUBFILE_R* FindPubFileRecExact(PUBFILE_T* pf, const char* name);
// Key 0 enumerates, a negative key resets the cursor, a positive one finds; the record or null.
PUBFILE_R* FindPubFileRecByKey(PUBFILE_T* pf, double key);
PUBFILE_R* FindFirstPubFileRec(PUBFILE_T* pf);  // null for a null or empty file

int CountRecPublicFile(const PUBFILE_T* pf);
int CountActRecPublicFile(const PUBFILE_T* pf);  // state 1 or 4
int CountHideRecPubFile(const PUBFILE_T* pf);
uint32_t MaxRegPublicFile(const PUBFILE_T* pf);
// Register image sizes for X, Y, R and S; 1 when a record of another register was met.
int GetPubFileMemSize(const PUBFILE_T* pf, uint32_t* x, uint32_t* y, uint32_t* r, uint32_t* s);

// The checksum from the ";* Crc=" line of `text` and the marker's byte position; 0 and 0 if none.
uint32_t GetPubFileCrc(const char* text, uint32_t* pos);
// The file's checksum when its checksum line matches crcPLC of the bytes before it, else 0.
uint32_t VerifyPubFileCrc(const PUBTEXT_T* file);
