// Files on the local disk: the confined local path, reading a file or a directory listing into
// a record, writing a record to a file, and a file's information.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/fsutil.h"
#include "app/log.h"
#include "files/ffile.h"
#include "files/fileaccess.h"

namespace {

bool HasDotDot(const char* s) {
  for (const char* p = s; *p;) {
    const char* slash = strchr(p, '/');
    size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if (n == 2 && p[0] == '.' && p[1] == '.') return true;
    if (!slash) break;
    p = slash + 1;
  }
  return false;
}

bool Inside(const char* resolved, const char* root) {
  size_t n = strlen(root);
  if (strncmp(resolved, root, n) != 0) return false;
  return resolved[n] == '\0' || resolved[n] == '/' || (n == 1 && root[0] == '/');
}

// The deepest part of `path` that exists must resolve below the working directory. A part that
// exists but cannot be resolved (a dangling symbolic link) is refused: writing through it would
// create a file wherever it points.
bool StaysInside(const char* path) {
  char root[PATH_MAX];
  if (!realpath(".", root)) return false;
  std::string probe = path;
  for (;;) {
    char resolved[PATH_MAX];
    if (realpath(probe.c_str(), resolved)) return Inside(resolved, root);
    if (errno != ENOENT && errno != ENOTDIR) return false;
    struct stat st;
    if (lstat(probe.c_str(), &st) == 0) return false;
    while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
    size_t slash = probe.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    probe.resize(slash);
  }
}

void SetName(FFILE_T* rec, const char* name) {
  // Unchanged names are not written again: a worker must not write what its owner may read.
  if (strncmp(rec->name, name, sizeof rec->name - 1) != 0)
    snprintf(rec->name, sizeof rec->name, "%s", name);
}

// A directory is listed only when asked for with a trailing slash.
bool AcceptableKind(const struct stat& st, const char* name, const char* path) {
  if (S_ISDIR(st.st_mode)) {
    size_t n = strlen(path);
    return name[0] != '\0' && n > 0 && path[n - 1] == '/';
  }
  return S_ISREG(st.st_mode);
}

struct DirEntry {
  std::string name;
  bool is_dir;
};

// Entries of a directory except "." and "..", in name order so a listing is reproducible.
bool ReadDirEntries(const char* path, std::vector<DirEntry>* out) {
  struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> d(opendir(path));
  if (!d) return false;
  while (dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string full = std::string(path) + e->d_name;
    struct stat st;
    bool is_dir = false;
    if (stat(full.c_str(), &st) != 0)
      log("GetLocalFile", 0, "Unable to get information about file: %s", full.c_str());
    else
      is_dir = S_ISDIR(st.st_mode);
    out->push_back({e->d_name, is_dir});
  }
  std::sort(out->begin(), out->end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return true;
}

int FillListing(FFILE_T* rec, const char* name, const std::vector<DirEntry>& entries) {
  char* pos = rec->data;
  const size_t name_len = strlen(name);
  for (const DirEntry& e : entries) {
    if (rec->abort.load()) break;
    memcpy(pos, name, name_len);
    pos += name_len;
    memcpy(pos, e.name.data(), e.name.size());
    pos += e.name.size();
    if (e.is_dir) *pos++ = '/';
    *pos++ = '\n';
    rec->end.store(pos, std::memory_order_release);
  }
  return 0;
}

int FillFromFile(FFILE_T* rec, FILE* f, const char* path, size_t size) {
  char* pos = rec->data;
  size_t done = 0;
  while (done < size && !rec->abort.load()) {
    size_t want = std::min<size_t>(size - done, 65536);
    size_t got = fread(pos, 1, want, f);
    if (got == 0) {
      log("GetLocalFile", 0, "Unable to read local file: %s", path);
      return -1;
    }
    pos += got;
    done += got;
    rec->end.store(pos, std::memory_order_release);
  }
  return 0;
}

}  // namespace

int LocalFilePath(char* out, size_t cap, const char* dir, const char* name) {
  if (!dir) dir = "";
  if (!name || HasDotDot(dir) || HasDotDot(name)) return -1;
  int n = snprintf(out, cap, "./%s/%s", dir, name);
  if (n < 0 || static_cast<size_t>(n) >= cap) return -1;
  return StaysInside(out) ? 0 : -1;
}

int GetLocalFile(FFILE_T* rec, const char* dir, const char* name) {
  rec->end.store(nullptr, std::memory_order_release);
  rec->sent = nullptr;
  rec->busy.store(2, std::memory_order_release);
  rec->size.store(1);
  SetName(rec, name);
  char path[PATH_MAX];
  if (LocalFilePath(path, sizeof path, dir, name) != 0) return -1;

  struct stat st;
  if (stat(path, &st) != 0) {
    log("GetLocalFile", 0, "Unable to get size of local file!");
    return -1;
  }
  if (!AcceptableKind(st, name, path)) return -1;

  std::vector<DirEntry> entries;
  std::unique_ptr<FILE, decltype(&fclose)> f(nullptr, &fclose);
  int64_t size = 0;
  if (S_ISDIR(st.st_mode)) {
    if (!ReadDirEntries(path, &entries)) return -1;
    for (const DirEntry& e : entries)
      size += static_cast<int64_t>(strlen(name) + e.name.size() + 1 + (e.is_dir ? 1 : 0));
  } else {
    f.reset(fopen(path, "rb"));
    if (!f) return -1;
    size = static_cast<int64_t>(st.st_size);
  }

  if (rec->source != SRC_LOCAL) rec->source = SRC_LOCAL;
  rec->mode = st.st_mode;
  rec->ctime = st.st_ctime;
  rec->mtime = st.st_mtime;
  SetDorvikFileAttr(rec);
  free(rec->data);
  rec->data = nullptr;
  if (size <= kMaxFileBytes) rec->data = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
  if (!rec->data) {
    log("GetLocalFile", 0, "Unable to allocate memory for local file!");
    return -1;
  }
  rec->size.store(size);
  rec->sent = rec->data;
  rec->end.store(rec->data, std::memory_order_release);

  int rc = S_ISDIR(st.st_mode) ? FillListing(rec, name, entries)
                               : FillFromFile(rec, f.get(), path, static_cast<size_t>(size));
  if (rc != 0) return -1;
  *rec->end.load() = '\0';

  FinishFileRead(rec, "GetLocalFile", "Abort of reading local file", path);
  return 0;
}

int WriteLocalFile(FFILE_T* rec, const char* dir, const char* name) {
  rec->end.store(nullptr, std::memory_order_release);
  rec->sent = nullptr;
  rec->busy.store(2, std::memory_order_release);
  if (!rec->data && rec->size.load() > 0) return -1;  // nothing to write is not a success
  char path[PATH_MAX];
  if (LocalFilePath(path, sizeof path, dir, name) != 0) return -1;
  if (CreateLocalFilePath(path) != 0) return -1;
  std::unique_ptr<FILE, decltype(&fclose)> f(fopen(path, "wb"), &fclose);
  if (!f) return -1;

  const int64_t size = rec->size.load();
  char* pos = rec->data;
  rec->end.store(pos, std::memory_order_release);
  int64_t done = 0;
  while (done < size) {
    size_t piece = static_cast<size_t>(std::min<int64_t>(size - done, 65536));
    if (fwrite(pos, 1, piece, f.get()) != piece) {
      log("WriteLocalFile", 0, "Unable to write local file: %s", path);
      return -1;
    }
    pos += piece;
    done += static_cast<int64_t>(piece);
    rec->end.store(pos, std::memory_order_release);
  }
  if (fclose(f.release()) != 0) {
    log("WriteLocalFile", 0, "Unable to write local file: %s", path);
    return -1;
  }

  struct utimbuf times = {rec->mtime, rec->mtime};
  if (utime(path, &times) != 0)
    log("WriteLocalFile", 0, "Unable to set time attr for file: %s", path);
  if (chmod(path, rec->mode & 07777) != 0)
    log("WriteLocalFile", 0, "Unable to set access attr for file: %s", path);
  rec->busy.store(0, std::memory_order_release);
  return 0;
}

int GetLocalFileInfo(FFILE_T* rec, const char* dir, const char* name) {
  char path[PATH_MAX];
  if (LocalFilePath(path, sizeof path, dir, name) != 0) return -1;
  struct stat st;
  if (stat(path, &st) != 0 || !AcceptableKind(st, name, path)) return -1;
  rec->mode = st.st_mode;
  rec->size.store(static_cast<int64_t>(st.st_size));
  rec->ctime = st.st_ctime;
  rec->mtime = st.st_mtime;
  SetDorvikFileAttr(rec);
  SetName(rec, name);
  return 0;
}

int WriteLocalFileInfo(FFILE_T* rec, const char* dir, const char* name) {
  char path[PATH_MAX];
  if (LocalFilePath(path, sizeof path, dir, name) != 0) return -1;
  if (CreateLocalFilePath(path) != 0) return -1;
  struct utimbuf times = {ClockNow(), rec->mtime};
  return utime(path, &times) == 0 ? 0 : -1;
}
