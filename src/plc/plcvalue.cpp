// Text <-> register bytes for every PLC data type, following the number-formatting settings.
#include "plc/plcvalue.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/globals.h"
#include "app/log.h"
#include "app/text.h"
#include "plc/plcdef.h"

namespace {

constexpr uint32_t kScratch = 1024;

// BOOL text, upper-cased in place: TRUE or FALSE, else a number (0 false). 0 and *on, or 1.
int ReadBool(char* text, bool* on) {
  strtoupper(text);
  if (strcmp(text, "TRUE") == 0) {
    *on = true;
    return 0;
  }
  if (strcmp(text, "FALSE") == 0) {
    *on = false;
    return 0;
  }
  int n = 0;
  if (sscanf(text, "%d", &n) != 1) return 1;
  *on = (n != 0);
  return 0;
}

template <typename T>
int Scan(const char* text, const char* fmt, unsigned char* out) {
  T v{};
  if (sscanf(text, fmt, &v) != 1) return 1;
  memcpy(out, &v, sizeof v);
  return 0;
}

template <typename T>
T Load(const unsigned char* src) {
  T v;
  memcpy(&v, src, sizeof v);
  return v;
}

}  // namespace

int CharToBinPlc(unsigned char* dst, char* text, uint8_t type, uint8_t bit, uint32_t size) {
  unsigned char scratch[kScratch] = {};
  if (type > PLC_TYPE_LAST) {
    log("CharToBinPlc", 0, "Unknown data type: %d", type);
    return 1;
  }
  if (!text) return 1;
  uint32_t n = (type == PLC_STRING) ? size : SizeofPlcReg(type);
  if (n > kScratch) return 1;
  if (dst) memcpy(scratch, dst, n);

  int bad = 0;
  switch (type) {
    case PLC_BOOL: {
      bool on = false;
      if (bit > 7 || ReadBool(text, &on)) return 1;
      uint8_t mask = static_cast<uint8_t>(1u << bit);
      scratch[0] = on ? (scratch[0] | mask) : (scratch[0] & ~mask);
      break;
    }
    case PLC_USINT:
    case PLC_BYTE:
      bad = Scan<unsigned char>(text, "%hhu", scratch);
      break;
    case PLC_SINT:
      bad = Scan<signed char>(text, "%hhd", scratch);
      break;
    case PLC_UINT:
    case PLC_WORD:
      bad = Scan<unsigned short>(text, "%hu", scratch);
      break;
    case PLC_INT:
      bad = Scan<short>(text, "%hd", scratch);
      break;
    case PLC_UDINT:
    case PLC_DWORD:
      bad = Scan<unsigned int>(text, "%u", scratch);
      break;
    case PLC_DINT:
    case PLC_TIME:
    case PLC_TOD:
      bad = Scan<int>(text, "%d", scratch);
      break;
    case PLC_ULINT:
    case PLC_LWORD:
      bad = Scan<uint64_t>(text, "%" SCNu64, scratch);
      break;
    case PLC_LINT:
      bad = Scan<int64_t>(text, "%" SCNd64, scratch);
      break;
    case PLC_REAL:
      bad = Scan<float>(text, "%f", scratch);
      break;
    case PLC_LREAL: {
      double d = 0;
      if (sscanf(text, "%lf", &d) != 1) return 1;
      FixDouble(&d);
      memcpy(scratch, &d, sizeof d);
      break;
    }
    case PLC_STRING:
      strncpy(reinterpret_cast<char*>(scratch), text, n);
      break;
    case PLC_DATE:
    case PLC_DT:
      bad = date_time_decimal ? Scan<double>(text, "%lf", scratch)
                              : Scan<uint64_t>(text, "%" SCNu64, scratch);
      break;
  }
  if (bad) return 1;
  if (dst) memcpy(dst, scratch, n);
  return 0;
}

// Fixed-point text that does not fit a value text falls back to the exponent form, so a huge
// LREAL is never shown cut.
static void FormatFloat(char* dst, double v, int p, bool sci) {
  if (!sci) {
    int len = snprintf(dst, kPlcValueText, "%.*f", p, v);
    if (len >= 0 && len < kPlcValueText) return;
  }
  snprintf(dst, kPlcValueText, "%.*e", p, v);
}

int BinToCharPlc(const unsigned char* src, char* dst, uint8_t type, uint8_t bit, uint32_t size) {
  if (type > PLC_TYPE_LAST) {
    log("BinToCharPlc", 0, "Unknown data type: %d", type);
    return 0;
  }
  if (!src || !dst) return 0;
  int d = lim_of_decimals ? num_of_decimals : 15;
  if (d < 0) d = 0;
  const bool sci = scient_notation != 0;
  const size_t cap = kPlcValueText;

  switch (type) {
    case PLC_BOOL:
      snprintf(dst, cap, "%d", (bit < 8 && (src[0] >> bit) & 1) ? 1 : 0);
      break;
    case PLC_USINT:
    case PLC_BYTE:
      snprintf(dst, cap, "%u", Load<unsigned char>(src));
      break;
    case PLC_SINT:
      snprintf(dst, cap, "%d", Load<signed char>(src));
      break;
    case PLC_UINT:
    case PLC_WORD:
      snprintf(dst, cap, "%u", Load<unsigned short>(src));
      break;
    case PLC_INT:
      snprintf(dst, cap, "%d", Load<short>(src));
      break;
    case PLC_UDINT:
    case PLC_DWORD:
      snprintf(dst, cap, "%u", Load<unsigned int>(src));
      break;
    case PLC_DINT:
    case PLC_TIME:
    case PLC_TOD:
      snprintf(dst, cap, "%d", Load<int>(src));
      break;
    case PLC_ULINT:
    case PLC_LWORD:
      snprintf(dst, cap, "%" PRIu64, Load<uint64_t>(src));
      break;
    case PLC_LINT:
      snprintf(dst, cap, "%" PRId64, Load<int64_t>(src));
      break;
    case PLC_REAL:
      FormatFloat(dst, Load<float>(src), d < 6 ? d : 6, sci);
      break;
    case PLC_LREAL: {
      double v = Load<double>(src);
      FixDouble(&v);
      FormatFloat(dst, v, d < 15 ? d : 15, sci);
      break;
    }
    case PLC_STRING: {
      if (size == 0) break;
      size_t n = size < cap - 1 ? size : cap - 1;
      n = strnlen(reinterpret_cast<const char*>(src), n);
      memcpy(dst, src, n);
      dst[n] = '\0';
      for (size_t i = 0; i < n; ++i) {
        if (dst[i] == '\r' || dst[i] == '\n') dst[i] = ' ';
      }
      break;
    }
    case PLC_DATE:
    case PLC_DT:
      if (date_time_decimal)
        snprintf(dst, cap, "%.03f", Load<double>(src));
      else
        snprintf(dst, cap, "%" PRIu64, Load<uint64_t>(src));
      break;
  }
  return 0;
}

uint8_t GetPlcBit(uint8_t bit, char* value, int mode) {
  bool on = false;
  if (mode == 1) {
    on = value && value[0] != 0;
  } else {
    // A bit beyond the byte does not convert and so writes false, as the byte holds no such bit.
    unsigned char b = 0;
    if (value && CharToBinPlc(&b, value, PLC_BOOL, bit, 1) == 0) on = (b != 0);
  }
  return static_cast<uint8_t>(on ? (bit | 0x80) : bit);
}

int TestBitPlc(uint8_t a, uint8_t b, uint8_t bit) {
  if (bit > 7) return 0;
  return ((a ^ b) >> bit) & 1;
}
