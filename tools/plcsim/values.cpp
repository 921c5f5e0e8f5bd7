// Conversion between value texts and little-endian register bytes, and hex texts.
#include "values.h"

#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plcsim {
namespace {

struct TypeDef {
  const char* name;
  unsigned size;
  ValueKind kind;
};

const TypeDef kTypes[] = {
    {"BOOL", 1, kBool},     {"USINT", 1, kUnsigned}, {"SINT", 1, kSigned},
    {"UINT", 2, kUnsigned}, {"INT", 2, kSigned},     {"UDINT", 4, kUnsigned},
    {"DINT", 4, kSigned},   {"ULINT", 8, kUnsigned}, {"LINT", 8, kSigned},
    {"REAL", 4, kReal},     {"LREAL", 8, kLreal},    {"BYTE", 1, kUnsigned},
    {"WORD", 2, kUnsigned}, {"DWORD", 4, kUnsigned}, {"LWORD", 8, kUnsigned},
    {"DATE", 8, kUnsigned}, {"DT", 8, kUnsigned},    {"TIME", 4, kSigned},
    {"TOD", 4, kSigned},
};

constexpr unsigned kStringDefault = 80;
constexpr unsigned kStringMax = 255;

int ParseType(const std::string& t, Place& pl) {
  if (strncasecmp(t.c_str(), "STRING", 6) == 0) {
    pl.kind = kString;
    if (t.size() == 6) {
      pl.size = kStringDefault;
      return 0;
    }
    if (t[6] != '[' || t.back() != ']' || t.size() < 9) return 1;
    std::string num = t.substr(7, t.size() - 8);
    char* end = nullptr;
    unsigned long n = strtoul(num.c_str(), &end, 10);
    if (*end || n == 0 || n > kStringMax || num[0] == '-' || num[0] == '+') return 1;
    pl.size = static_cast<unsigned>(n);
    return 0;
  }
  for (const auto& td : kTypes) {
    if (strcasecmp(td.name, t.c_str()) == 0) {
      pl.kind = td.kind;
      pl.size = td.size;
      return 0;
    }
  }
  return 1;
}

bool ParseUnsigned(const std::string& s, uint64_t& v) {
  if (s.empty() || s[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long x = strtoull(s.c_str(), &end, NumberBase(s));
  if (end == s.c_str() || *end || errno) return false;
  v = x;
  return true;
}

bool ParseValue(const Place& pl, const std::string& text, uint8_t* dst) {
  switch (pl.kind) {
    case kBool: {
      bool on;
      if (text == "1" || strcasecmp(text.c_str(), "TRUE") == 0)
        on = true;
      else if (text == "0" || strcasecmp(text.c_str(), "FALSE") == 0)
        on = false;
      else
        return false;
      uint8_t mask = static_cast<uint8_t>(1u << pl.bit);
      *dst = on ? (*dst | mask) : (*dst & ~mask);
      return true;
    }
    case kUnsigned: {
      uint64_t v;
      if (!ParseUnsigned(text, v)) return false;
      if (pl.size < 8 && v >> (8 * pl.size)) return false;
      for (unsigned i = 0; i < pl.size; i++) dst[i] = static_cast<uint8_t>(v >> (8 * i));
      return true;
    }
    case kSigned: {
      char* end = nullptr;
      errno = 0;
      long long v = strtoll(text.c_str(), &end, NumberBase(text));
      if (text.empty() || *end || errno) return false;
      if (pl.size < 8) {
        long long lim = 1LL << (8 * pl.size - 1);
        if (v < -lim || v >= lim) return false;
      }
      uint64_t u = static_cast<uint64_t>(v);
      for (unsigned i = 0; i < pl.size; i++) dst[i] = static_cast<uint8_t>(u >> (8 * i));
      return true;
    }
    case kReal:
    case kLreal: {
      char* end = nullptr;
      double d = strtod(text.c_str(), &end);
      if (text.empty() || *end) return false;
      if (pl.kind == kReal) {
        float f = static_cast<float>(d);
        memcpy(dst, &f, 4);
      } else {
        memcpy(dst, &d, 8);
      }
      return true;
    }
    case kString:
      // Zero-padded to the declared length; a longer text is cut.
      memset(dst, 0, pl.size);
      memcpy(dst, text.data(), text.size() < pl.size ? text.size() : pl.size);
      return true;
  }
  return false;
}

// The shortest text that reads back to the same number.
std::string FormatFloat(double d, int max_digits, bool is_float) {
  char buf[64];
  for (int prec = 1; prec <= max_digits; prec++) {
    snprintf(buf, sizeof buf, "%.*g", prec, d);
    double back = strtod(buf, nullptr);
    if (is_float ? static_cast<float>(back) == static_cast<float>(d) : back == d) break;
  }
  return buf;
}

std::string FormatValue(const Place& pl, const uint8_t* src) {
  char buf[64];
  uint64_t u = 0;
  for (unsigned i = 0; i < pl.size && i < 8; i++) u |= static_cast<uint64_t>(src[i]) << (8 * i);
  switch (pl.kind) {
    case kBool:
      return (*src >> pl.bit) & 1 ? "1" : "0";
    case kUnsigned:
      snprintf(buf, sizeof buf, "%" PRIu64, u);
      return buf;
    case kSigned: {
      int64_t v = static_cast<int64_t>(u);
      if (pl.size < 8) {
        unsigned shift = 64 - 8 * pl.size;
        v = static_cast<int64_t>(u << shift) >> shift;
      }
      snprintf(buf, sizeof buf, "%" PRId64, v);
      return buf;
    }
    case kReal: {
      float f;
      memcpy(&f, src, 4);
      return FormatFloat(f, 9, true);
    }
    case kLreal: {
      double d;
      memcpy(&d, src, 8);
      return FormatFloat(d, 17, false);
    }
    case kString:
      return std::string(reinterpret_cast<const char*>(src),
                         strnlen(reinterpret_cast<const char*>(src), pl.size));
  }
  return std::string();
}

}  // namespace

int ParsePlace(Sim& sim, const std::string& args, size_t& pos, Place& pl, std::string& err) {
  std::string reg = NextWord(args, pos), addr = NextWord(args, pos), type = NextWord(args, pos);
  if (type.empty()) return err = "usage: REG ADDR TYPE", 1;
  pl.reg = RegIndexByName(reg.c_str());
  if (pl.reg < 0) return err = "bad register", 1;
  if (ParseType(type, pl) != 0) return err = "bad type", 1;
  size_t dot = addr.find('.');
  uint64_t off = 0, bit = 0;
  if (!ParseUnsigned(addr.substr(0, dot), off)) return err = "bad address", 1;
  if (dot != std::string::npos) {
    if (pl.kind != kBool || !ParseUnsigned(addr.substr(dot + 1), bit) || bit > 7)
      return err = "bad address", 1;
  }
  pl.off = static_cast<size_t>(off);
  pl.bit = pl.kind == kBool ? static_cast<int>(bit) : -1;
  if (off > sim.regsize || !RegSpan(sim, pl.reg, pl.off, pl.size)) return err = "out of range", 1;
  return 0;
}

int NumberBase(const std::string& s) {
  size_t i = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
  return s.size() > i + 1 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') ? 16 : 10;
}

std::string NextWord(const std::string& s, size_t& pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) pos++;
  size_t start = pos;
  while (pos < s.size() && s[pos] != ' ' && s[pos] != '\t') pos++;
  return s.substr(start, pos - start);
}

int SetValue(Sim& sim, const std::string& args, std::string& err) {
  size_t pos = 0;
  Place pl;
  if (ParsePlace(sim, args, pos, pl, err) != 0) return 1;
  while (pos < args.size() && (args[pos] == ' ' || args[pos] == '\t')) pos++;
  std::string text = args.substr(pos);
  if (pl.kind != kString) {
    // Numbers are one word; trailing blanks are allowed.
    size_t end = text.find_last_not_of(" \t");
    text = end == std::string::npos ? std::string() : text.substr(0, end + 1);
  }
  uint8_t* dst = RegSpan(sim, pl.reg, pl.off, pl.size);
  uint8_t tmp[kStringMax];
  memcpy(tmp, dst, pl.size);
  if (!ParseValue(pl, text, tmp)) return err = "bad value", 1;
  memcpy(dst, tmp, pl.size);
  return 0;
}

int GetValue(Sim& sim, const std::string& args, std::string& value, std::string& err) {
  size_t pos = 0;
  Place pl;
  if (ParsePlace(sim, args, pos, pl, err) != 0) return 1;
  if (!NextWord(args, pos).empty()) return err = "usage: get REG ADDR TYPE", 1;
  value = FormatValue(pl, RegSpan(sim, pl.reg, pl.off, pl.size));
  return 0;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; i++) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

int FromHex(const std::string& hex, std::vector<uint8_t>& out) {
  if (hex.size() % 2) return 1;
  out.clear();
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int v = 0;
    for (size_t k = i; k < i + 2; k++) {
      char c = hex[k];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return 1;
      v = v * 16 + d;
    }
    out.push_back(static_cast<uint8_t>(v));
  }
  return 0;
}

}  // namespace plcsim
