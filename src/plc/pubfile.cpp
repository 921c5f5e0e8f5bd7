// The public file store: creating, parsing the text, indexes, look-ups, counts and the checksum.
#include "plc/pubfile.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "app/globals.h"
#include "app/log.h"
#include "app/text.h"
#include "plc/plcdef.h"

int pubfile_read_pause_ms = 10;

PUBNAMES_T::~PUBNAMES_T() {
  for (char* t : texts) free(t);
}

const char* PUBNAMES_T::Add(const char* name) {
  char* copy = strdup(name);
  if (!copy) return nullptr;
  try {
    texts.push_back(copy);
  } catch (const std::bad_alloc&) {
    free(copy);
    return nullptr;
  }
  return copy;
}

int SetPubText(PUBTEXT_T* t, const char* bytes, int64_t size) {
  if (size < 0 || (size > 0 && !bytes)) return 1;
  char* copy = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
  if (!copy) return 1;
  if (size > 0) memcpy(copy, bytes, static_cast<size_t>(size));
  copy[size] = '\0';
  t->data.reset(copy);
  t->size = size;
  return 0;
}

int CopyPubText(PUBTEXT_T* dst, const PUBTEXT_T* src) {
  if (dst == src) return 0;
  PUBTEXT_T copy;
  if (src->data && SetPubText(&copy, src->data.get(), src->size) != 0) return 1;
  memcpy(copy.name, src->name, sizeof copy.name);
  copy.source = src->source;
  copy.attr = src->attr;
  copy.mode = src->mode;
  copy.ctime = src->ctime;
  copy.mtime = src->mtime;
  memcpy(copy.stamp_a, src->stamp_a, sizeof copy.stamp_a);
  memcpy(copy.stamp_b, src->stamp_b, sizeof copy.stamp_b);
  copy.use_time = src->use_time;
  *dst = std::move(copy);
  return 0;
}

const std::shared_ptr<const PUBINDEX_T>& EmptyPubIndex() {
  static const std::shared_ptr<const PUBINDEX_T> empty = std::make_shared<PUBINDEX_T>();
  return empty;
}

PUBFILE_T* CreatePubFile(PUBFILE_T* pf) {
  if (!pf) pf = new (std::nothrow) PUBFILE_T;
  if (!pf) return nullptr;
  pf->enable_mark = 0;
  pf->disable_mark = 0;
  pf->name_cursor = pf->index->names.begin();
  pf->addr_cursor = pf->index->addrs.begin();
  return pf;
}

PUBINDEX_T* OwnPubIndex(PUBFILE_T* pf) {
  // Held by this file alone, and always made non-const: changing it is seen by nobody else.
  if (pf->index.use_count() == 1) return const_cast<PUBINDEX_T*>(pf->index.get());
  std::shared_ptr<PUBINDEX_T> own;
  try {
    own = std::make_shared<PUBINDEX_T>(*pf->index);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  const PUBINDEX_T& old = *pf->index;
  pf->name_cursor = pf->name_cursor == old.names.end() ? own->names.cend()
                                                       : own->names.find(pf->name_cursor->first);
  pf->addr_cursor = pf->addr_cursor == old.addrs.end() ? own->addrs.cend()
                                                       : own->addrs.find(pf->addr_cursor->first);
  pf->index = std::move(own);
  return const_cast<PUBINDEX_T*>(pf->index.get());
}

double PubFileKey(const char* name, uint8_t reg, uint32_t addr, uint8_t bit) {
  double base = 0;
  switch (reg) {
    case PLC_REG_X:
      base = 1000000;
      break;
    case PLC_REG_Y:
      base = 2000000;
      break;
    case PLC_REG_S:
      base = 3000000;
      break;
    case PLC_REG_R:
      base = 4000000;
      break;
    default:
      break;
  }
  double crc = crcPLC(name, static_cast<uint32_t>(strlen(name)));
  return (crc * 0.000001 + (bit * 0.1 + static_cast<double>(addr))) + base;
}

int InsertPubFileRec(PUBFILE_T* pf, const PUBFILE_R& rec) {
  if (pf->index->names.count(rec.name)) return PF_NAME_TAKEN;
  if (pf->index->addrs.count(rec.key)) return PF_KEY_TAKEN;
  PUBINDEX_T* ix = OwnPubIndex(pf);
  if (!ix) return PF_NO_MEMORY;
  PUBFILE_R r = rec;  // rec may live in pf->recs, which may move
  r.choice = r.state == PF_ENABLED || r.state == PF_DISABLED ? static_cast<uint8_t>(r.state) : 0;
  const auto at = static_cast<uint32_t>(pf->recs.size());
  try {
    pf->recs.push_back(r);
    ix->names.emplace(r.name, at);
    ix->addrs.emplace(r.key, at);
  } catch (const std::bad_alloc&) {
    ix->names.erase(r.name);
    ix->addrs.erase(r.key);
    if (pf->recs.size() > at) pf->recs.pop_back();
    return PF_NO_MEMORY;
  }
  pf->name_cursor = ix->names.begin();
  pf->addr_cursor = ix->addrs.begin();
  return PF_INSERTED;
}

int AddPubFileRec(PUBFILE_T* pf, const PUBFILE_R* rec) {
  if (!pf || !rec || !rec->name) return 0;
  PUBFILE_R r = *rec;
  r.key = PubFileKey(r.name, r.reg, r.addr, r.bit);
  switch (InsertPubFileRec(pf, r)) {
    case PF_INSERTED:
      return 1;
    case PF_KEY_TAKEN:
      log("AddPubFileRec", 0, "Unable to insert (addrs) new public file record!");
      return 0;
    default:
      log("AddPubFileRec", 0, "Unable to insert (names) new public file record!");
      return 0;
  }
}

namespace {

constexpr size_t kMaxLine = 1023;
constexpr size_t kLongWord = 255;  // name and address
constexpr size_t kShortWord = 31;  // every other word

struct Words {
  char w[7][kLongWord + 1];
  int count;
};

// Splits a line into at most 7 white-space separated words. A word longer than its limit is cut
// at the limit; the rest of that word is dropped rather than spilling into the next field.
void SplitWords(const char* line, Words* out) {
  out->count = 0;
  const char* p = line;
  while (out->count < 7) {
    while (*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    if (!*p) break;
    int i = out->count;
    // Cut at the longest limit here; the shorter limit of a field is applied once the layout
    // (with or without the bit word) is known.
    size_t n = 0;
    while (*p && !(*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f' || *p == '\r')) {
      if (n < kLongWord) out->w[i][n++] = *p;
      ++p;
    }
    out->w[i][n] = '\0';
    out->count++;
  }
}

void CutWord(char* w, size_t limit) {
  if (strlen(w) > limit) w[limit] = '\0';
}

bool ReadInt(const char* text, long* value) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (end == text) return false;
  *value = v;
  return true;
}

// Parses one variable line (upper case, comment removed) and adds its record.
// Returns 0 to go on, -1 for a fatal error.
int ParseVarLine(PUBFILE_T* pf, PUBNAMES_T* store, char* line, int lineno) {
  const char* sp = strchr(line, ' ');
  bool long_form = strncmp(line, "PUB_", 4) == 0 || (sp && strstr(sp, "PUB_"));

  Words words;
  SplitWords(line, &words);
  // Positions of the fields for the layout with and without the bit.
  const int with_bit = long_form ? 7 : 6;
  bool has_bit;
  if (words.count >= with_bit)
    has_bit = true;
  else if (words.count >= with_bit - 1)
    has_bit = false;
  else
    return 0;  // too few words: not a variable line
  const char* name = words.w[0];
  char* reg = words.w[1];
  char* address = words.w[3];
  char* bitw = has_bit ? words.w[4] : nullptr;
  char* type = words.w[has_bit ? 5 : 4];
  CutWord(reg, kShortWord);
  CutWord(words.w[2], kShortWord);
  if (bitw) CutWord(bitw, kShortWord);
  CutWord(type, kShortWord);

  if (FindPubFileRecExact(pf, name)) {
    log("ReadPubFile", 0, "Found duplicity at line %d for variable: '%s'. Skiping this record!",
        lineno, name);
    return 0;
  }
  PUBFILE_R rec;
  rec.reg = GetPlcReg(reg);
  if (rec.reg == PLC_REG_NONE) {
    log("ReadPubFile", 0, "Parse error at line %d! Unknown register: '%s'. Skiping this record!",
        lineno, reg);
    return 0;
  }
  long v = 0;
  if (!ReadInt(address, &v)) {
    log("ReadPubFile", 0, "Parse error at line %d! Bad address: '%s'. Skiping this record!", lineno,
        address);
    return 0;
  }
  rec.addr = static_cast<uint32_t>(static_cast<int32_t>(v));
  if (bitw) {
    long b = 0;
    if (bitw[0] != '.' || !ReadInt(bitw + 1, &b)) {
      log("ReadPubFile", 0, "Parse error at line %d! Wrong bit number: '%s'. Skiping this record!",
          lineno, bitw);
      return 0;
    }
    rec.bit = static_cast<uint8_t>(b);
  }
  rec.type = GetPlcType(type, &rec.size);
  if (rec.type == PLC_TYPE_NONE) {
    log("ReadPubFile", 0, "Parse error at line %d! Unknown data type: '%s'. Skiping this record!",
        lineno, type);
    return 0;
  }
  rec.name = store->Add(name);
  if (!rec.name) {
    log("ReadPubFile", 0, "Unable to alocate memory for name '%s'!", name);
    return -1;
  }
  rec.state = pf_var_disabled ? PF_DISABLED : PF_ENABLED;
  if (!AddPubFileRec(pf, &rec)) {
    log("ReadPubFile", 0, "Unable to add record '%s' to table!", rec.name);
    return -1;
  }
  return 0;
}

}  // namespace

PUBFILE_T* ReadPubFile(PUBFILE_T* pf) {
  if (!pf || !pf->file.data || pf->file.size <= 0) return nullptr;
  const size_t size = static_cast<size_t>(pf->file.size);
  std::unique_ptr<char, decltype(&free)> text(static_cast<char*>(malloc(size + 1)), &free);
  if (!text) {
    log("ReadPubFile", 0, "Unable to allocate memory for public file!");
    return nullptr;
  }
  memcpy(text.get(), pf->file.data.get(), size);
  text.get()[size] = '\0';
  Dos2Unix(text.get());

  // The names read here are owned jointly by this file and every copy later made from it.
  std::shared_ptr<PUBNAMES_T> store;
  PUBINDEX_T* ix = OwnPubIndex(pf);
  try {
    if (ix) store = std::make_shared<PUBNAMES_T>();
    if (store) ix->name_owners.push_back(store);
  } catch (const std::bad_alloc&) {
    store.reset();
  }
  if (!store) {
    log("ReadPubFile", 0, "Unable to allocate memory for public file!");
    return nullptr;
  }

  int lineno = 2;
  char line[kMaxLine + 1];
  for (const char* p = text.get(); *p;) {
    const char* nl = strchr(p, '\n');
    size_t len = nl ? static_cast<size_t>(nl - p) : strlen(p);
    const char* next = nl ? nl + 1 : p + len;
    if (len == 0) {  // empty lines are not counted
      p = next;
      continue;
    }
    // A line beyond the limit is cut there and parsed as cut (its tail is usually a comment).
    size_t n = len < kMaxLine ? len : kMaxLine;
    memcpy(line, p, n);
    line[n] = '\0';
    p = next;

    if (strtoupper(line))
      log("ReadPubFile", 0, "Unable to convert string '%s' to upper case!", line);
    if (line[0] != ';') {
      char* semi = strchr(line, ';');
      if (semi) *semi = '\0';
      if (ParseVarLine(pf, store.get(), line, lineno) < 0) return nullptr;
    }
    ++lineno;
    if (lineno % 1000 == 0 && pubfile_read_pause_ms > 0) usleep(pubfile_read_pause_ms * 1000);
  }
  return pf;
}

PUBFILE_R* FindPubFileRecExact(PUBFILE_T* pf, const char* name) {
  if (!pf || !name) return nullptr;
  auto it = pf->index->names.find(name);
  return it == pf->index->names.end() ? nullptr : &pf->recs[it->second];
}

PUBFILE_R* FindPubFileRec(PUBFILE_T* pf, const char* name) {
  if (!pf || !name) return nullptr;
  const PubNameMap& names = pf->index->names;
  if (strcmp(name, "*") == 0) {
    if (pf->name_cursor == names.end()) {
      pf->name_cursor = names.begin();
      return nullptr;
    }
    return &pf->recs[(pf->name_cursor++)->second];
  }
  if (strchr(name, '*')) {
    while (pf->name_cursor != names.end()) {
      PUBFILE_R* r = &pf->recs[(pf->name_cursor++)->second];
      if (strmcmp(r->name, name) == 0) return r;
    }
    pf->name_cursor = names.begin();
    return nullptr;
  }
  return FindPubFileRecExact(pf, name);
}

PUBFILE_R* FindPubFileRecByKey(PUBFILE_T* pf, double key) {
  if (!pf) return nullptr;
  const PubAddrMap& addrs = pf->index->addrs;
  if (key == 0) {
    if (pf->addr_cursor == addrs.end()) {
      pf->addr_cursor = addrs.begin();
      return nullptr;
    }
    return &pf->recs[(pf->addr_cursor++)->second];
  }
  if (key < 0) {
    pf->addr_cursor = addrs.begin();
    return nullptr;
  }
  auto it = addrs.find(key);
  return it == addrs.end() ? nullptr : &pf->recs[it->second];
}

PUBFILE_R* FindFirstPubFileRec(PUBFILE_T* pf) {
  if (!pf || pf->index->names.empty()) return nullptr;
  return &pf->recs[pf->index->names.begin()->second];
}

int CountRecPublicFile(const PUBFILE_T* pf) {
  return pf ? static_cast<int>(pf->recs.size()) : 0;
}

int CountActRecPublicFile(const PUBFILE_T* pf) {
  if (!pf) return 0;
  int n = 0;
  for (const PUBFILE_R& r : pf->recs) {
    if (r.state == PF_ENABLED || r.state == PF_ALWAYS) ++n;
  }
  return n;
}

int CountHideRecPubFile(const PUBFILE_T* pf) {
  if (!pf) return 0;
  int n = 0;
  for (const PUBFILE_R& r : pf->recs) n += r.hidden ? 1 : 0;
  return n;
}

uint32_t MaxRegPublicFile(const PUBFILE_T* pf) {
  uint32_t m = 0;
  if (!pf) return 0;
  for (const PUBFILE_R& r : pf->recs) {
    if (r.addr > m) m = r.addr;
  }
  return m;
}

int GetPubFileMemSize(const PUBFILE_T* pf, uint32_t* x, uint32_t* y, uint32_t* r, uint32_t* s) {
  uint32_t dummy[4];
  uint32_t* out[4] = {x ? x : &dummy[0], y ? y : &dummy[1], r ? r : &dummy[2], s ? s : &dummy[3]};
  for (uint32_t* o : out) *o = 0;
  if (!pf) return 0;
  for (const auto& e : pf->index->names) {
    const PUBFILE_R& rec = pf->recs[e.second];
    uint32_t* o;
    switch (rec.reg) {
      case PLC_REG_X:
        o = out[0];
        break;
      case PLC_REG_Y:
        o = out[1];
        break;
      case PLC_REG_R:
        o = out[2];
        break;
      case PLC_REG_S:
        o = out[3];
        break;
      default:
        return 1;
    }
    uint32_t end = rec.addr + rec.size;
    // Adds rather than takes the maximum: the images come out larger than the highest end,
    // never smaller, which the data cycle tolerates.
    if (*o < end) *o += end;
  }
  return 0;
}

static const char kCrcMarker[] = ";* Crc=";

uint32_t GetPubFileCrc(const char* text, uint32_t* pos) {
  if (pos) *pos = 0;
  if (!text) return 0;
  const char* m = strstr(text, kCrcMarker);
  if (!m) return 0;
  const char* q = strchr(m + sizeof kCrcMarker - 1, '"');
  if (!q) return 0;
  unsigned long v = strtoul(q + 1, nullptr, 16);
  if (pos) *pos = static_cast<uint32_t>(m - text);
  return static_cast<uint32_t>(v);
}

uint32_t VerifyPubFileCrc(const PUBTEXT_T* file) {
  if (!file || !file->data || file->size <= 0) return 0;
  const char* text = file->data.get();
  size_t size = static_cast<size_t>(file->size);
  // The text may hold stray NUL bytes; the marker is looked for in what precedes the first one.
  if (strnlen(text, size) != size) return 0;
  uint32_t pos = 0;
  uint32_t crc = GetPubFileCrc(text, &pos);
  if (pos == 0 && !strstr(text, kCrcMarker)) return 0;
  uint16_t calc = crcPLC(text, pos);
  return (calc == (crc & 0xFFFF)) ? (crc & 0xFFFF) : 0;
}
