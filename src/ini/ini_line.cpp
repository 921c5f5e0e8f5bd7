// Trimming and classification of INI lines (section, key = value, comment, empty, error).
#include "ini/ini_line.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

bool ini_space(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

// Trims text in place (text holds kIniText bytes).
void ini_strip_into(char* text) {
  const char* stripped = ini_strip(text);
  memmove(text, stripped, strlen(stripped) + 1);
}

}  // namespace

const char* ini_strip(const char* text) {
  static char buf[kIniText];
  buf[0] = '\0';
  if (!text) return buf;
  while (*text && ini_space(*text)) text++;
  size_t len = strnlen(text, kIniText - 1);
  memcpy(buf, text, len);
  buf[len] = '\0';
  while (len > 0 && ini_space(buf[len - 1])) buf[--len] = '\0';
  return buf;
}

int ini_classify_line(const char* input, char* section, char* key, char* value) {
  char line[kIniText];
  snprintf(line, sizeof line, "%s", ini_strip(input));
  size_t len = strlen(line);

  if (len == 0) return kLineEmpty;
  if (line[0] == '#' || line[0] == ';') return kLineComment;
  if (line[0] == '[' && line[len - 1] == ']') {
    section[0] = '\0';
    if (sscanf(line, "[%1024[^]]", section) != 1) section[0] = '\0';
    ini_strip_into(section);
    return kLineSection;
  }
  // The widths match the buffers; a stripped line is never longer than them.
  if (sscanf(line, "%1024[^=] = \"%1024[^\"]\"", key, value) == 2 ||
      sscanf(line, "%1024[^=] = '%1024[^']'", key, value) == 2 ||
      sscanf(line, "%1024[^=] = %1024[^;#]", key, value) == 2) {
    ini_strip_into(key);
    ini_strip_into(value);
    if (strcmp(value, "\"\"") == 0 || strcmp(value, "''") == 0) value[0] = '\0';
    return kLineValue;
  }
  if (sscanf(line, "%1024[^=] = %1024[;#]", key, value) == 2 ||
      sscanf(line, "%1024[^=] %1024[=]", key, value) == 2) {
    ini_strip_into(key);
    value[0] = '\0';
    return kLineValue;
  }
  return kLineError;
}
