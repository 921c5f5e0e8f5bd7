// Register and data type tables, their look-ups, the direct address parser, IdentPlc and crcPLC.
#include "plc/plcdef.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const PLC_REG_NAME_T plc_reg_name[] = {
    {"X", 0},    {"Y", 1},    {"S", 2},
    {"R", 3},    {"E", 10},   {"D0", 128},
    {"D1", 129}, {"D2", 130}, {nullptr, PLC_REG_NONE},
};

const PLC_DATA_TYPE_T plc_data_type[] = {
    {"BOOL", 1, 0},     {"USINT", 1, 1}, {"SINT", 1, 2},  {"UINT", 2, 3},   {"INT", 2, 4},
    {"UDINT", 4, 5},    {"DINT", 4, 6},  {"ULINT", 8, 7}, {"LINT", 8, 8},   {"REAL", 4, 9},
    {"LREAL", 8, 10},   {"BYTE", 1, 11}, {"WORD", 2, 12}, {"DWORD", 4, 13}, {"LWORD", 8, 14},
    {"STRING", 80, 15}, {"DATE", 8, 16}, {"DT", 8, 17},   {"TIME", 4, 18},  {"TOD", 4, 19},
    {nullptr, 0, 0},
};

uint8_t GetPlcReg(const char* name) {
  if (!name) return PLC_REG_NONE;
  for (const PLC_REG_NAME_T* r = plc_reg_name; r->name; ++r) {
    if (strcmp(r->name, name) == 0) return r->code;
  }
  return PLC_REG_NONE;
}

// The bracket argument of STRING[n]: absent, unreadable or 0 -> 80, negative -> 0, >= 256 -> 255.
static uint32_t StringLength(const char* arg) {
  char* end = nullptr;
  long n = strtol(arg, &end, 10);
  if (end == arg || n == 0) return 80;
  if (n < 0) return 0;
  if (n >= 256) return 255;
  return static_cast<uint32_t>(n);
}

uint8_t GetPlcType(const char* text, uint32_t* size) {
  char name[32] = {};
  char arg[32] = {};
  if (!text || sscanf(text, "%31[^[][%31[^]]", name, arg) < 1) return PLC_TYPE_NONE;
  for (const PLC_DATA_TYPE_T* t = plc_data_type; t->name; ++t) {
    if (strcasecmp(t->name, name) != 0) continue;
    if (size) *size = (t->code == PLC_STRING) ? StringLength(arg) : t->size;
    return t->code;
  }
  return PLC_TYPE_NONE;
}

uint32_t SizeofPlcReg(uint8_t type) {
  // The table is ordered by code: the common case is one look.
  constexpr size_t kTypes = sizeof plc_data_type / sizeof plc_data_type[0] - 1;
  if (type < kTypes && plc_data_type[type].code == type) return plc_data_type[type].size;
  for (const PLC_DATA_TYPE_T* t = plc_data_type; t->name; ++t) {
    if (t->code == type) return t->size;
  }
  return 0;
}

const char* GetPlcTypeName(uint8_t type) {
  for (const PLC_DATA_TYPE_T* t = plc_data_type; t->name; ++t) {
    if (t->code == type) return t->name;
  }
  return nullptr;
}

uint8_t GetPlcDir(const char*) {
  return 0;
}

uint8_t GetPlcAddrLo(uint32_t addr) {
  return static_cast<uint8_t>(addr & 0xFF);
}

uint16_t GetPlcAddrHi(uint32_t addr) {
  return static_cast<uint16_t>(((addr & 0xFF) << 8) | ((addr >> 8) & 0xFF));
}

bool IsPlcAddr(const char* text) {
  return text && text[0] == '%';
}

// Reads one or more decimal digits; the value wraps to 32 bits. Returns the first character
// after the digits, or null when there is no digit.
static const char* ReadDigits(const char* p, uint32_t* value) {
  if (!isdigit(static_cast<unsigned char>(*p))) return nullptr;
  uint32_t v = 0;
  while (isdigit(static_cast<unsigned char>(*p))) v = v * 10u + static_cast<uint32_t>(*p++ - '0');
  *value = v;
  return p;
}

int ParsePlcAddr(const char* text, uint8_t* reg, uint32_t* offset, uint8_t* bit, uint8_t* type,
                 uint32_t* size) {
  if (!text || text[0] != '%' || text[1] == '\0') return 1;
  const char letter[2] = {text[1], '\0'};
  uint8_t r = GetPlcReg(letter);
  if (reg) *reg = r;
  if (r == PLC_REG_NONE) return 1;

  const char* p = text + 2;
  uint8_t t = PLC_BYTE;
  if (isalpha(static_cast<unsigned char>(*p))) {
    switch (*p) {
      case 'D':
        t = PLC_LREAL;
        break;
      case 'F':
        t = PLC_REAL;
        break;
      case 'L':
        t = PLC_DWORD;
        break;
      case 'Q':
        t = PLC_LWORD;
        break;
      case 'W':
        t = PLC_WORD;
        break;
      default:
        return 1;
    }
    ++p;
  }
  uint32_t off = 0;
  p = ReadDigits(p, &off);
  if (!p) return 1;
  uint32_t b = 0;
  if (*p == '.') {
    p = ReadDigits(p + 1, &b);
    if (!p) return 1;
    t = PLC_BOOL;
  }
  if (*p != '\0') return 1;

  if (offset) *offset = off;
  if (bit) *bit = static_cast<uint8_t>(b);  // kept modulo 256
  if (type) *type = t;
  if (size) *size = SizeofPlcReg(t);
  return 0;
}

// One buffer per thread: communication threads identify their PLCs at the same time.
static thread_local char plc_ident_str[256];

static long HexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

const char* IdentPlc(const unsigned char* rec, size_t len, int field) {
  memset(plc_ident_str, 0, sizeof plc_ident_str);
  if (!rec || len < 4 || field < 1 || field > 4) return plc_ident_str;

  size_t start = 4;
  for (int i = 0; i < field - 1; ++i) start += rec[i];
  size_t flen = rec[field - 1];
  size_t avail = (start < len) ? len - start : 0;

  if (field == 4 && flen < 4) {
    // A version "1.A": hexadecimal digit, separator, hexadecimal digit.
    if (avail < 3) return plc_ident_str;
    const unsigned char* f = rec + start;
    snprintf(plc_ident_str, sizeof plc_ident_str, "%ld%c%ld", HexDigit(f[0]),
             static_cast<char>(f[1]), HexDigit(f[2]));
    return plc_ident_str;
  }
  size_t n = flen;
  if (n > avail) n = avail;
  if (n > sizeof plc_ident_str - 1) n = sizeof plc_ident_str - 1;
  if (n > 0) memcpy(plc_ident_str, rec + start, n);
  return plc_ident_str;
}

namespace {
struct CrcTable {
  uint16_t t[256];
  CrcTable() {
    for (int i = 0; i < 256; ++i) {
      uint16_t crc = static_cast<uint16_t>(i << 8);
      for (int k = 0; k < 8; ++k) {
        crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x0049 : (crc << 1));
      }
      t[i] = crc;
    }
  }
};
const CrcTable crc_table;
}  // namespace

uint16_t crcPLCTable(uint8_t i) {
  return crc_table.t[i];
}

uint16_t crcPLC(const void* data, uint32_t len) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint16_t crc = 0;
  for (uint32_t i = 0; i < len; ++i) {
    crc = static_cast<uint16_t>((crc << 8) ^ crc_table.t[((crc >> 8) ^ p[i]) & 0xFF]);
  }
  return static_cast<uint16_t>((crc << 8) | (crc >> 8));
}
