// Moving values: reading a move and bringing every move's values up to date at a tick.
#include "moves.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "values.h"

namespace plcsim {
namespace {

constexpr int64_t kMaxPeriodMs = 86400000;  // a day
constexpr double kMaxPeriodS = 86400.0 * 366;
constexpr size_t kMaxTexts = 256;
constexpr double kTwoPi = 6.283185307179586;
constexpr unsigned kMaxValueSize = 255;  // the longest STRING

bool ParseInt(const std::string& s, int64_t& v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long x = strtoll(s.c_str(), &end, NumberBase(s));
  if (*end || errno) return false;
  v = x;
  return true;
}

bool ParseReal(const std::string& s, double& v) {
  if (s.empty()) return false;
  char* end = nullptr;
  v = strtod(s.c_str(), &end);
  return !*end && std::isfinite(v);
}

bool ParsePeriodMs(const std::string& s, int64_t& ms) {
  return ParseInt(s, ms) && ms >= 1 && ms <= kMaxPeriodMs;
}

bool ParsePeriodS(const std::string& s, double& sec) {
  return ParseReal(s, sec) && sec > 0 && sec <= kMaxPeriodS;
}

bool IsNumber(ValueKind k) {
  return k != kBool && k != kString;
}

// The texts of `text`: the rest of the line split at '|', blanks inside a text kept.
int ParseTexts(const std::string& args, size_t pos, Move& m) {
  while (pos < args.size() && (args[pos] == ' ' || args[pos] == '\t')) pos++;
  size_t last = args.find_last_not_of(" \t");
  if (last == std::string::npos || last < pos) return 1;
  std::string rest = args.substr(pos, last + 1 - pos);
  for (size_t start = 0;;) {
    size_t bar = rest.find('|', start);
    if (m.texts.size() == kMaxTexts) return 1;
    m.texts.push_back(rest.substr(start, bar == std::string::npos ? bar : bar - start));
    if (bar == std::string::npos) return 0;
    start = bar + 1;
  }
}

// The kind's parameters from `pos` on; the kind must suit the value type.
int ParseKind(const std::string& kind, const std::string& args, size_t pos, Move& m,
              std::string& err) {
  const ValueKind vk = m.at.kind;
  if (kind == "text") {
    if (vk != kString) return err = "bad move", 1;
    m.kind = kText;
    m.done = -1;
    if (!ParsePeriodMs(NextWord(args, pos), m.period_ms) || ParseTexts(args, pos, m) != 0)
      return err = "bad move parameter", 1;
    return 0;
  }
  std::string w[3];
  for (auto& word : w) word = NextWord(args, pos);
  bool ok = NextWord(args, pos).empty();
  if (kind == "count" && IsNumber(vk)) {
    m.kind = kCount;
    ok = ok && (vk == kReal || vk == kLreal ? ParseReal(w[0], m.a) : ParseInt(w[0], m.step)) &&
         ParsePeriodMs(w[1], m.period_ms) && w[2].empty();
  } else if (kind == "sine" && IsNumber(vk)) {
    m.kind = kSine;
    ok = ok && ParseReal(w[0], m.a) && ParsePeriodS(w[1], m.period_s) &&
         (w[2].empty() || ParseReal(w[2], m.b));
  } else if (kind == "ramp" && IsNumber(vk)) {
    m.kind = kRamp;
    ok = ok && ParseReal(w[0], m.a) && ParseReal(w[1], m.b) && ParsePeriodS(w[2], m.period_s);
  } else if (kind == "toggle" && vk != kString && vk != kReal && vk != kLreal) {
    m.kind = kToggle;
    ok = ok && ParsePeriodMs(w[0], m.period_ms) && w[1].empty();
  } else {
    return err = "bad move", 1;
  }
  return ok ? 0 : (err = "bad move parameter", 1);
}

// Bytes the move's variables cover from its address.
uint64_t SpanBytes(const Move& m) {
  if (m.at.kind == kBool) return (static_cast<uint64_t>(m.at.bit) + m.count + 7) / 8;
  return static_cast<uint64_t>(m.count) * m.at.size;
}

uint64_t LoadLe(const uint8_t* p, unsigned n) {
  uint64_t v = 0;
  for (unsigned i = 0; i < n; i++) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

void StoreLe(uint8_t* p, unsigned n, uint64_t v) {
  for (unsigned i = 0; i < n; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

float ToFloat(double v) {
  return static_cast<float>(std::fmax(-FLT_MAX, std::fmin(FLT_MAX, v)));
}

// A whole number rounded and held to the type's range, as raw bits.
uint64_t WholeRaw(const Place& pl, double v) {
  const unsigned bits = 8 * pl.size;
  v = std::round(v);
  if (pl.kind == kUnsigned) {
    if (!(v > 0)) return 0;
    if (v >= std::ldexp(1.0, static_cast<int>(bits)))
      return bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
    return static_cast<uint64_t>(v);
  }
  const double lim = std::ldexp(1.0, static_cast<int>(bits) - 1);
  if (v >= lim) return (uint64_t{1} << (bits - 1)) - 1;
  if (!(v > -lim)) return ~uint64_t{0} << (bits - 1);
  return static_cast<uint64_t>(static_cast<int64_t>(v));
}

void EncodeNumber(const Place& pl, double v, uint8_t* out) {
  if (pl.kind == kReal) {
    float f = ToFloat(v);
    memcpy(out, &f, 4);
  } else if (pl.kind == kLreal) {
    memcpy(out, &v, 8);
  } else {
    StoreLe(out, pl.size, WholeRaw(pl, v));
  }
}

// Adds `periods` steps to one variable; whole numbers wrap at the type's width.
void CountOne(const Move& m, int64_t periods, uint8_t* p) {
  if (m.at.kind == kReal) {
    float f;
    memcpy(&f, p, 4);
    f = ToFloat(f + m.a * static_cast<double>(periods));
    memcpy(p, &f, 4);
  } else if (m.at.kind == kLreal) {
    double d;
    memcpy(&d, p, 8);
    d += m.a * static_cast<double>(periods);
    memcpy(p, &d, 8);
  } else {
    uint64_t v = LoadLe(p, m.at.size);
    StoreLe(p, m.at.size, v + static_cast<uint64_t>(m.step) * static_cast<uint64_t>(periods));
  }
}

// BOOL: the variable's bit flips; a whole number goes between 0 and 1.
void ToggleOne(const Move& m, uint8_t* base, uint32_t i) {
  if (m.at.kind == kBool) {
    size_t b = static_cast<size_t>(m.at.bit) + i;
    base[b / 8] = static_cast<uint8_t>(base[b / 8] ^ (1u << (b % 8)));
  } else {
    uint8_t* p = base + static_cast<size_t>(i) * m.at.size;
    StoreLe(p, m.at.size, LoadLe(p, m.at.size) ? 0 : 1);
  }
}

// Counters and toggles change what is there (a value a master wrote carries on from there);
// sines and ramps overwrite every tick; texts are written when it is the next one's turn.
void ApplyMove(Sim& sim, Move& m, int64_t now_ms) {
  uint8_t* base = RegSpan(sim, m.at.reg, m.at.off, static_cast<size_t>(SpanBytes(m)));
  if (!base) return;
  if (m.start_ms < 0) m.start_ms = now_ms;
  const int64_t t_ms = now_ms - m.start_ms;
  const unsigned size = m.at.size;
  uint8_t value[kMaxValueSize];
  switch (m.kind) {
    case kCount:
    case kToggle: {
      const int64_t n = t_ms / m.period_ms, periods = n - m.done;
      m.done = n;
      if (periods == 0 || (m.kind == kToggle && periods % 2 == 0)) return;
      for (uint32_t i = 0; i < m.count; i++) {
        if (m.kind == kCount)
          CountOne(m, periods, base + static_cast<size_t>(i) * size);
        else
          ToggleOne(m, base, i);
      }
      return;
    }
    case kSine:
    case kRamp: {
      const double phase = std::fmod(static_cast<double>(t_ms) / 1000.0, m.period_s) / m.period_s;
      EncodeNumber(
          m.at, m.kind == kSine ? m.b + m.a * std::sin(kTwoPi * phase) : m.a + (m.b - m.a) * phase,
          value);
      break;
    }
    case kText: {
      const int64_t idx = (t_ms / m.period_ms) % static_cast<int64_t>(m.texts.size());
      if (idx == m.done) return;
      m.done = idx;
      const std::string& text = m.texts[static_cast<size_t>(idx)];
      memset(value, 0, size);
      memcpy(value, text.data(), text.size() < size ? text.size() : size);
      break;
    }
  }
  for (uint32_t i = 0; i < m.count; i++) memcpy(base + static_cast<size_t>(i) * size, value, size);
}

}  // namespace

int AddMove(Sim& sim, const std::string& args, std::string& err) {
  if (sim.moves.size() >= kMaxMoves) return err = "too many moves", 1;
  Move m;
  size_t pos = 0;
  if (ParsePlace(sim, args, pos, m.at, err) != 0) return 1;
  std::string word = NextWord(args, pos);
  if (!word.empty() && word[0] >= '0' && word[0] <= '9') {
    char* end = nullptr;
    unsigned long long n = strtoull(word.c_str(), &end, 10);
    if (*end || n == 0 || n > 8 * sim.regsize) return err = "bad count", 1;
    m.count = static_cast<uint32_t>(n);
    word = NextWord(args, pos);
  }
  if (SpanBytes(m) > sim.regsize ||
      !RegSpan(sim, m.at.reg, m.at.off, static_cast<size_t>(SpanBytes(m))))
    return err = "out of range", 1;
  if (ParseKind(word, args, pos, m, err) != 0) return 1;
  sim.moves.push_back(std::move(m));
  return 0;
}

void ApplyMoves(Sim& sim, int64_t now_ms) {
  for (Move& m : sim.moves) ApplyMove(sim, m, now_ms);
}

}  // namespace plcsim
