// Writing a dictionary's current values back into its INI file, keeping every other byte.
// Every line is checked and rewritten in memory first; the result goes to a temporary file in
// the same folder that replaces the original by rename, so a failure leaves the file as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ini/ini_line.h"
#include "ini/iniparser.h"

namespace {

constexpr int kMaxLines = 100000;
constexpr size_t kLineRoom = 1023;  // characters one load buffer holds per logical line

// One physical line with its line end, owned (malloc). len 0 drops a line that was merged.
struct SaveLine {
  char* text;
  size_t len;
};

// The file's lines; frees them on every path.
struct SaveLines {
  SaveLine* line = nullptr;
  int n = 0;
  int cap = 0;
  ~SaveLines() {
    for (int i = 0; i < n; i++) free(line[i].text);
    free(line);
  }
  int Append(char* text, size_t len) {
    if (n == cap) {
      int grown = cap ? cap * 2 : 256;
      void* p = realloc(line, static_cast<size_t>(grown) * sizeof(SaveLine));
      if (!p) return -1;
      line = static_cast<SaveLine*>(p);
      cap = grown;
    }
    line[n++] = SaveLine{text, len};
    return 0;
  }
};

bool save_space(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

// Length of the line without its line end and trailing white space.
size_t save_content_len(const SaveLine& l) {
  size_t len = l.len;
  while (len > 0 && save_space(l.text[len - 1])) len--;
  return len;
}

bool save_is_comment(const char* text) {
  while (*text && save_space(*text)) text++;
  return *text == '#' || *text == ';';
}

int save_write_dump(const dictionary* d, const char* path) {
  FILE* out = fopen(path, "w");
  if (!out) {
    fprintf(stderr, "iniparser: cannot open %s for write\n", path);
    return -1;
  }
  iniparser_dump_ini(d, out);
  bool failed = ferror(out) != 0;
  if (fclose(out) != 0 || failed) {
    fprintf(stderr, "iniparser: cannot write %s\n", path);
    return -1;
  }
  return 0;
}

// Reads every line of path with its line end; 0, or -1 after the message.
int save_read_lines(const char* path, SaveLines* lines) {
  FILE* in = fopen(path, "r");
  if (!in) {
    fprintf(stderr, "iniparser: cannot open %s for read\n", path);
    return -1;
  }
  struct stat st;
  int rc = fstat(fileno(in), &st) == 0 ? 0 : -1;
  uint64_t total = 0;
  bool has_nul = false;
  while (rc == 0) {
    char* text = nullptr;
    size_t cap = 0;
    ssize_t got = getline(&text, &cap, in);
    if (got <= 0) {
      free(text);
      break;
    }
    if (lines->n == kMaxLines) {
      free(text);
      fprintf(stderr, "iniparser: too much lines in %s [%d / %d]\n", path, kMaxLines + 1,
              kMaxLines);
      fclose(in);
      return -1;
    }
    if (lines->Append(text, static_cast<size_t>(got)) != 0) {
      free(text);
      rc = -1;
      break;
    }
    total += static_cast<uint64_t>(got);
    // A NUL byte hides the rest of its line from the parser; such a file is not rewritten.
    if (memchr(text, '\0', static_cast<size_t>(got))) has_nul = true;
  }
  if (ferror(in) || rc != 0 || has_nul || total != static_cast<uint64_t>(st.st_size)) {
    fprintf(stderr, "iniparser: cannot load %s\n", path);
    fclose(in);
    return -1;
  }
  fclose(in);
  return 0;
}

// Puts the logical line of lines[first..last] together the way the load does: each
// continuation replaces the backslash that ended the part before it.
// A backslash at the very end of the file joins nothing and is dropped, as in the load.
void save_join(const SaveLines& lines, int first, int last, char* out, size_t room) {
  size_t used = 0;
  for (int i = first; i <= last; i++) {
    size_t len = save_content_len(lines.line[i]);
    bool at_end = i == lines.n - 1 && len > 0 && lines.line[i].text[len - 1] == '\\';
    if (i < last || at_end) len--;  // the backslash
    if (used + len >= room) len = room - 1 - used;
    memcpy(out + used, lines.line[i].text, len);
    used += len;
  }
  out[used] = '\0';
}

// The line with the stored value in place of the parsed one, or false when that cannot be done
// so that the line reads back as key = stored.
bool save_replace(const char* line, const char* key, const char* parsed, const char* stored,
                  char* out, size_t room) {
  const char* eq = strchr(line, '=');
  if (!eq || strpbrk(stored, "\r\n")) return false;
  const char* at;
  size_t cut = strlen(parsed);
  if (cut > 0) {
    at = strstr(eq + 1, parsed);
    if (!at) return false;
  } else {
    // Nothing to find: an empty value goes after '=' and its spaces, inside quotes if any.
    at = eq + 1;
    while (*at == ' ' || *at == '\t') at++;
    if ((*at == '"' || *at == '\'') && at[1] == *at) at++;
  }
  size_t head = static_cast<size_t>(at - line);
  // "key =" with nothing behind it reads better as "key = value".
  const char* gap = (at == eq + 1 && *at == '\0') ? " " : "";
  int len = snprintf(out, room, "%.*s%s%s%s", static_cast<int>(head), line, gap, stored, at + cut);
  if (len < 0 || static_cast<size_t>(len) >= room) return false;

  char section[kIniText], new_key[kIniText], new_value[kIniText];
  size_t end = static_cast<size_t>(len);
  while (end > 0 && save_space(out[end - 1])) end--;
  if (end > 0 && out[end - 1] == '\\') return false;  // would continue onto the next line
  return ini_classify_line(out, section, new_key, new_value) == kLineValue &&
         strcmp(new_key, key) == 0 && strcmp(new_value, stored) == 0;
}

// Replaces lines[first..last] by one line: text followed by the line end of the last one.
int save_set_lines(SaveLines* lines, int first, int last, const char* text) {
  const SaveLine& tail_line = lines->line[last];
  size_t tail_at = save_content_len(tail_line);
  size_t tail = tail_line.len - tail_at;
  size_t len = strlen(text);
  char* merged = static_cast<char*>(malloc(len + tail + 1));
  if (!merged) {
    fprintf(stderr, "iniparser: cannot re-allocate memory\n");
    return -1;
  }
  memcpy(merged, text, len);
  memcpy(merged + len, tail_line.text + tail_at, tail);
  merged[len + tail] = '\0';
  for (int i = first; i <= last; i++) {
    free(lines->line[i].text);
    lines->line[i] = SaveLine{nullptr, 0};
  }
  lines->line[first] = SaveLine{merged, len + tail};
  return 0;
}

// Checks every line and puts the stored values in; 0, or -1 after the message.
int save_update_lines(const dictionary* d, const char* path, SaveLines* lines) {
  char section[kIniText] = "";
  char found_section[kIniText], key[kIniText], value[kIniText];
  char logical[kLineRoom + 1];
  char updated[kLineRoom + 1];
  char full_key[2 * kIniText + 1];

  for (int first = 0; first < lines->n;) {
    // A line ending in a backslash continues onto the next one, as in the load.
    int last = first;
    size_t raw = lines->line[first].len;
    while (last + 1 < lines->n) {
      size_t len = save_content_len(lines->line[last]);
      if (len == 0 || lines->line[last].text[len - 1] != '\\') break;
      raw += lines->line[++last].len;
    }
    int lineno = last + 1;
    bool too_long =
        last == first ? save_content_len(lines->line[first]) > kLineRoom : raw > kLineRoom;
    save_join(*lines, first, last, logical, sizeof logical);
    if (too_long) {
      // The load cuts such lines; only comments can be kept without knowing what it read.
      if (save_is_comment(logical)) {
        first = last + 1;
        continue;
      }
      fprintf(stderr, "iniparser: line too long in %s (%d):\n", path, lineno);
      fprintf(stderr, "-> %s\n", logical);
      return -1;
    }

    switch (ini_classify_line(logical, found_section, key, value)) {
      case kLineError:
        fprintf(stderr, "iniparser: syntax error in %s (%d):\n", path, lineno);
        fprintf(stderr, "-> %s\n", logical);
        return -1;
      case kLineSection:
        snprintf(section, sizeof section, "%s", found_section);
        break;
      case kLineValue: {
        // Keys before the first header were stored as ":key" by the load.
        snprintf(full_key, sizeof full_key, "%s:%s", section, key);
        const char* stored = dictionary_get(d, full_key, kInvalidKey);
        if (stored == kInvalidKey) {
          fprintf(stderr, "iniparser: cannot get value for key '%s' from %s\n", full_key, path);
          return -1;
        }
        if (!stored) stored = "";
        if (strcmp(stored, value) == 0) break;
        if (!save_replace(logical, key, value, stored, updated, sizeof updated)) {
          fprintf(stderr, "iniparser: cannot change value '%s' at line in %s (%d):\n", value, path,
                  lineno);
          fprintf(stderr, "-> %s\n", logical);
          return -1;
        }
        if (save_set_lines(lines, first, last, updated) != 0) return -1;
        break;
      }
      default:
        break;
    }
    first = last + 1;
  }
  return 0;
}

// Writes the lines to a temporary file beside target and renames it over target; messages
// name path, the file the caller gave.
int save_replace_target(const char* target, const char* path, const SaveLines& lines) {
  struct stat st;
  if (stat(target, &st) != 0) st.st_mode = 0644;
  size_t plen = strlen(target);
  char* tmp = static_cast<char*>(malloc(plen + 8));
  if (!tmp) {
    fprintf(stderr, "iniparser: cannot re-allocate memory\n");
    return -1;
  }
  snprintf(tmp, plen + 8, "%s.XXXXXX", target);
  int fd = mkstemp(tmp);
  FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (!out) {
    fprintf(stderr, "iniparser: cannot open %s for write\n", path);
    if (fd >= 0) {
      close(fd);
      unlink(tmp);
    }
    free(tmp);
    return -1;
  }
  fchmod(fd, st.st_mode & 07777);
  bool failed = false;
  for (int i = 0; i < lines.n && !failed; i++) {
    const SaveLine& l = lines.line[i];
    if (l.len > 0 && fwrite(l.text, 1, l.len, out) != l.len) failed = true;
  }
  if (fflush(out) != 0 || fsync(fd) != 0) failed = true;
  if (fclose(out) != 0) failed = true;
  if (failed || rename(tmp, target) != 0) {
    fprintf(stderr, "iniparser: cannot write %s\n", path);
    unlink(tmp);
    free(tmp);
    return -1;
  }
  free(tmp);
  return 0;
}

// Writes the lines over path through a temporary file and a rename.
int save_replace_file(const char* path, const SaveLines& lines) {
  // Through a symbolic link the rename must replace the file it points to, not the link.
  char* real = realpath(path, nullptr);
  int rc = save_replace_target(real ? real : path, path, lines);
  free(real);
  return rc;
}

}  // namespace

int iniparser_save_ini(const dictionary* d, const char* path) {
  if (!d || !path) return -1;
  struct stat st;
  if (stat(path, &st) != 0 || st.st_size == 0) return save_write_dump(d, path);

  SaveLines lines;
  if (save_read_lines(path, &lines) != 0) return -1;
  if (lines.n == 0) return 0;
  if (save_update_lines(d, path, &lines) != 0) return -1;
  return save_replace_file(path, lines);
}
