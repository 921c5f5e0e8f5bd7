// Text helpers for assertions: searching, hex, masking of time stamps.
#include "support/text.h"

#include <cctype>

namespace kt {

namespace {

bool Fits(const std::string& text, size_t at, const char* shape) {
  for (size_t i = 0; shape[i]; ++i) {
    if (at + i >= text.size()) return false;
    unsigned char c = static_cast<unsigned char>(text[at + i]);
    switch (shape[i]) {
      case '9':
        if (!isdigit(c)) return false;
        break;
      case 'A':
        if (!isupper(c)) return false;
        break;
      case 'a':
        if (!islower(c)) return false;
        break;
      case '_':
        if (!isdigit(c) && c != ' ') return false;
        break;
      default:
        if (c != static_cast<unsigned char>(shape[i])) return false;
    }
  }
  return true;
}

std::string Mask(const std::string& text, const char* shape, size_t len, const char* with) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (Fits(text, i, shape)) {
      out += with;
      i += len;
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace

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

std::string MaskShape(const std::string& text, const std::string& shape, const char* with) {
  return Mask(text, shape.c_str(), shape.size(), with);
}

std::string MaskBuildStamps(const std::string& text) {
  static const char shape[] = "Aaa _9 9999 99:99:99";
  return Mask(text, shape, sizeof shape - 1, "<stamp>");
}

std::string MaskLogTimes(const std::string& text) {
  static const char shape[] = "9999-99-99 99:99:99.999999";
  return Mask(text, shape, sizeof shape - 1, "<time>");
}

}  // namespace kt
