// In-place text routines.
#include "app/text.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

int strtoupper(char* text) {
  int still_lower = 0;
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p) {
    *p = static_cast<unsigned char>(toupper(*p));
    if (islower(*p)) still_lower = 1;
  }
  return still_lower;
}

int strchrchg(char* text, char from, char to) {
  int changed = 0;
  for (char* p = text; *p; ++p) {
    if (*p == from) {
      *p = to;
      changed = 1;
    }
  }
  return changed;
}

int strchrdel(char* text, char c) {
  char* w = text;
  for (const char* r = text; *r; ++r) {
    if (*r != c) *w++ = *r;
  }
  int removed = (*w != '\0') ? 1 : 0;
  *w = '\0';
  return removed;
}

char* strstrrep(const char* src, const char* search, const char* repl) {
  std::string out;
  size_t slen = strlen(search);
  if (slen == 0) {
    out = src;
  } else {
    const char* p = src;
    for (const char* hit; (hit = strstr(p, search)) != nullptr; p = hit + slen) {
      out.append(p, static_cast<size_t>(hit - p));
      out.append(repl);
    }
    out.append(p);
  }
  char* copy = static_cast<char*>(malloc(out.size() + 1));
  if (!copy) return nullptr;
  memcpy(copy, out.c_str(), out.size() + 1);
  return copy;
}

int strmcmp(const char* text, const char* pattern) {
  // Patterns are at most 255 characters; longer ones are used cut.
  std::string_view pat(pattern, strnlen(pattern, 255));
  std::string_view txt(text);
  size_t pos = 0;
  bool first = true;
  size_t i = 0;
  while (i <= pat.size()) {
    size_t star = pat.find('*', i);
    if (star == std::string_view::npos) star = pat.size();
    std::string_view seg = pat.substr(i, star - i);
    i = star + 1;
    if (seg.empty()) continue;
    size_t hit = txt.find(seg, pos);
    if (hit == std::string_view::npos) return 1;
    // No backtracking: the first occurrence is taken for good.
    if (first && pat.front() != '*' && hit != 0) return 1;
    first = false;
    pos = hit + seg.size();
  }
  if (!pat.empty() && pat.back() == '*') return 0;
  return pos == txt.size() ? 0 : 1;
}

int Dos2Unix(char* text) {
  size_t len = strlen(text);
  size_t w = 0;
  for (size_t r = 0; r < len; ++r) {
    if (text[r] == '\r') {
      text[w++] = '\n';
      if (r + 1 < len && text[r + 1] == '\n') ++r;
    } else {
      text[w++] = text[r];
    }
  }
  memset(text + w, 0, len - w);
  return 0;
}

int FixDouble(double* value) {
  static const double one = 1.0;
  uint64_t bits;
  memcpy(&bits, &one, sizeof bits);
  if (bits == 0x3FF0000000000000ULL) return 0;
  // Mixed-endian doubles (old ARM FPA): exchange the two 32-bit halves.
  uint32_t half[2];
  memcpy(half, value, sizeof half);
  uint32_t t = half[0];
  half[0] = half[1];
  half[1] = t;
  memcpy(value, half, sizeof half);
  return 0;
}

// Reads one decimal number as "%d" would (leading blanks, optional sign); false if none.
static bool ReadInt(const char*& p, int& out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(p, &end, 10);
  if (end == p) return false;
  if (errno == ERANGE || v > INT_MAX || v < INT_MIN) v = (v < 0) ? INT_MIN : INT_MAX;
  out = static_cast<int>(v);
  p = end;
  return true;
}

int FixIPaddr(char* ip) {
  if (!ip || !*ip) return 1;
  int n[4];
  const char* p = ip;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != '.') return 0;  // not four dotted numbers: left as it is
      ++p;
    }
    if (!ReadInt(p, n[i])) return 0;
  }
  char fixed[64];
  int len = snprintf(fixed, sizeof fixed, "%d.%d.%d.%d", n[0], n[1], n[2], n[3]);
  // Never longer than the original for real addresses; refuse to grow the caller's buffer.
  if (len > 0 && static_cast<size_t>(len) <= strlen(ip))
    memcpy(ip, fixed, static_cast<size_t>(len) + 1);
  return 0;
}
