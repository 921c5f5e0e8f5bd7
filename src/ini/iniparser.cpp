// Loading INI files into a dictionary, the typed getters, the dumps and the version text.
#include "ini/iniparser.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ini/ini_line.h"

char ip_version[64];

namespace {

constexpr int kLineSize = 1024;  // load line buffer

// Value text of key, or null when absent or a section entry (nothing to convert).
const char* iniparser_value(const dictionary* d, const char* key) {
  const char* str = dictionary_get(d, key, kInvalidKey);
  return str == kInvalidKey ? nullptr : str;
}

// Removes trailing line ends and white space; returns the new length.
int iniparser_chomp(char* line) {
  int len = static_cast<int>(strlen(line));
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r' ||
                     isspace(static_cast<unsigned char>(line[len - 1])))) {
    line[--len] = '\0';
  }
  return len;
}

// Classifies and stores one logical line. Returns the new error count, or -1 when a store failed.
int iniparser_store_line(dictionary* d, const char* path, int lineno, const char* line,
                         char* section, int errors) {
  char key[kIniText];
  char value[kIniText];
  char found_section[kIniText];
  char full_key[2 * kIniText + 1];

  switch (ini_classify_line(line, found_section, key, value)) {
    case kLineSection:
      snprintf(section, kIniText, "%s", found_section);
      return dictionary_set(d, section, nullptr);
    case kLineValue:
      snprintf(full_key, sizeof full_key, "%s:%s", section, key);
      return dictionary_set(d, full_key, value);
    case kLineError:
      fprintf(stderr, "iniparser: syntax error in %s (%d):\n", path, lineno);
      fprintf(stderr, "-> %s\n", line);
      return errors + 1;
    default:  // empty and comment lines
      return errors;
  }
}

}  // namespace

const char* iniparser_version() {
  snprintf(ip_version, sizeof ip_version, "%s %s %s", "Ver 3.2", __DATE__, __TIME__);
  return ip_version;
}

dictionary* iniparser_load(const char* path) {
  FILE* in = path ? fopen(path, "r") : nullptr;
  if (!in) {
    fprintf(stderr, "iniparser: cannot open %s\n", path ? path : "(null)");
    return nullptr;
  }
  dictionary* d = dictionary_new(0);
  if (!d) {
    fprintf(stderr, "iniparser: memory allocation failure\n");
    fclose(in);
    return nullptr;
  }

  char line[kLineSize] = "";
  char section[kIniText] = "";
  int fill = 0;          // where the next read goes: 0, or over the backslash of a continued line
  bool pending = false;  // a continued line waits for its next physical line
  int lineno = 0;
  int errors = 0;

  for (;;) {
    bool got = fgets(line + fill, kLineSize - fill, in) != nullptr;
    if (got) {
      lineno++;
    } else if (!pending) {
      break;
    } else {
      line[fill] = '\0';  // a continuation at the end of the file joins an empty line
    }
    int len = iniparser_chomp(line);
    if (got && len > 0 && line[len - 1] == '\\') {
      fill = len - 1;
      pending = true;
      continue;
    }
    fill = 0;
    pending = false;
    errors = iniparser_store_line(d, path, lineno, line, section, errors);
    if (errors < 0) {
      fprintf(stderr, "iniparser: memory allocation failure\n");
      dictionary_del(d);
      fclose(in);
      return nullptr;
    }
    if (!got) break;
  }
  fclose(in);
  if (errors != 0) {
    dictionary_del(d);
    return nullptr;
  }
  return d;
}

void iniparser_freedict(dictionary* d) {
  dictionary_del(d);
}

int iniparser_getnsec(const dictionary* d) {
  if (!d) return -1;
  int count = 0;
  for (int i = 0; i < d->size; i++) {
    if (d->key[i] && !strchr(d->key[i], ':')) count++;
  }
  return count;
}

const char* iniparser_getsecname(const dictionary* d, int n) {
  if (!d || n < 0) return nullptr;
  for (int i = 0; i < d->size; i++) {
    if (d->key[i] && !strchr(d->key[i], ':') && n-- == 0) return d->key[i];
  }
  return nullptr;
}

const char* iniparser_getstring(const dictionary* d, const char* key, const char* def) {
  if (!d || !key) return def;
  return dictionary_get(d, key, def);
}

int iniparser_getint(const dictionary* d, const char* key, int notfound) {
  const char* str = iniparser_value(d, key);
  if (!str) return notfound;
  return static_cast<int>(strtol(str, nullptr, 0));
}

double iniparser_getdouble(const dictionary* d, const char* key, double notfound) {
  const char* str = iniparser_value(d, key);
  if (!str) return notfound;
  return strtod(str, nullptr);
}

int iniparser_getboolean(const dictionary* d, const char* key, int notfound) {
  const char* str = iniparser_value(d, key);
  if (!str) return notfound;
  if (str[0] != '\0' && strchr("yYtT1", str[0])) return 1;
  if (str[0] != '\0' && strchr("nNfF0", str[0])) return 0;
  return notfound;
}

int iniparser_find_entry(const dictionary* d, const char* key) {
  if (!d || !key) return 0;
  return dictionary_get(d, key, kInvalidKey) != kInvalidKey ? 1 : 0;
}

int iniparser_setstring(dictionary* d, const char* key, const char* val) {
  return dictionary_set(d, key, val);
}

void iniparser_unset(dictionary* d, const char* key) {
  dictionary_unset(d, key);
}

void iniparser_dump(const dictionary* d, FILE* out) {
  if (!d || !out) return;
  for (int i = 0; i < d->size; i++) {
    if (!d->key[i]) continue;
    if (d->val[i]) {
      fprintf(out, "[%s]=[%s]\n", d->key[i], d->val[i]);
    } else {
      fprintf(out, "[%s]=UNDEF\n", d->key[i]);
    }
  }
}

namespace {

// Writes the entries of section name (keys "name:...", case-sensitive) as "key = value" lines.
void iniparser_dump_section_keys(const dictionary* d, const char* name, FILE* out) {
  size_t len = strlen(name);
  for (int i = 0; i < d->size; i++) {
    const char* key = d->key[i];
    if (!key || strncmp(key, name, len) != 0 || key[len] != ':') continue;
    fprintf(out, "%-30s = %s\n", key + len + 1, d->val[i] ? d->val[i] : "");
  }
}

}  // namespace

void iniparser_dump_ini(const dictionary* d, FILE* out) {
  if (!d || !out) return;
  if (iniparser_getnsec(d) < 1) {
    for (int i = 0; i < d->size; i++) {
      if (d->key[i]) fprintf(out, "%s = %s\n", d->key[i], d->val[i] ? d->val[i] : "");
    }
    return;
  }
  // Keys that stood before the first section header (":key") would otherwise be lost; they go
  // first, before any header, unless a section with an empty name lists them.
  if (!iniparser_find_entry(d, "")) iniparser_dump_section_keys(d, "", out);
  for (int i = 0; i < d->size; i++) {
    if (!d->key[i] || strchr(d->key[i], ':')) continue;
    fprintf(out, "\n[%s]\n", d->key[i]);
    iniparser_dump_section_keys(d, d->key[i], out);
  }
  fprintf(out, "\n");
}
