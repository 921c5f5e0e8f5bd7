// Text helpers for assertions: searching, hex, masking of time stamps.
#include "support/text.h"

#include <cctype>

namespace kt {

static bool Fits(const std::string& text, size_t at, const std::string& shape) {
  if (at + shape.size() > text.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const int c = static_cast<unsigned char>(text[at + i]);
    const char s = shape[i];
    if (s == '9'   ? !isdigit(c)
        : s == 'A' ? !isupper(c)
        : s == 'a' ? !islower(c)
        : s == '_' ? !isdigit(c) && c != ' '
                   : c != static_cast<unsigned char>(s))
      return false;
  }
  return true;
}

std::string MaskShape(const std::string& text, const std::string& shape, const char* with) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const bool fits = Fits(text, i, shape);
    out += fits ? std::string(with) : std::string(1, text[i]);
    i += fits ? shape.size() : 1;
  }
  return out;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

}  // namespace kt
