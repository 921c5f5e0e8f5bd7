// File-system helpers.
#include "app/fsutil.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <string>

int SetCrcFile(const char* path, uint32_t value) {
  FILE* f = fopen(path, "w");
  if (!f) return 1;
  fprintf(f, "%d", static_cast<int32_t>(value));
  fclose(f);
  return 0;
}

uint32_t GetCrcFile(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  int v = 0;
  if (fscanf(f, "%d", &v) != 1) v = 0;
  fclose(f);
  return static_cast<uint32_t>(v);
}

int CreateLocalFilePath(const char* path) {
  if (!path) return 1;
  const char* slash = strchr(path, '/');
  if (!slash) return 0;
  std::string dir;
  // The part before the first '/' is ".", the working directory itself.
  for (const char* start = slash + 1;;) {
    const char* next = strchr(start, '/');
    if (!next) break;  // the last component is the file name
    if (next > start) {
      if (!dir.empty()) dir += '/';
      dir.append(start, static_cast<size_t>(next - start));
      struct stat st;
      if (stat(dir.c_str(), &st) != 0 && mkdir(dir.c_str(), 0755) != 0) return 1;
    }
    start = next + 1;
  }
  return 0;
}

int IsDorvikRootDir(const char* path) {
  if (!path) return 1;
  for (const char* p = path; *p; ++p)
    if (*p != '/') return 0;
  return 1;
}
