// PLC file names to paths below the file folder, time stamps, folder listings.
#include "plcfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace plcsim {

int PlcPath(const std::string& root, const std::string& name, bool create_parents,
            std::string& path) {
  if (root.empty()) return 1;
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= name.size()) {
    size_t slash = name.find('/', i);
    if (slash == std::string::npos) slash = name.size();
    std::string part = name.substr(i, slash - i);
    i = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return 1;
    parts.push_back(part);
  }
  path = root;
  for (size_t k = 0; k < parts.size(); k++) {
    path += "/";
    path += parts[k];
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      bool last = k + 1 == parts.size();
      if (!last && create_parents && mkdir(path.c_str(), 0755) != 0) return 1;
      continue;
    }
    if (S_ISLNK(st.st_mode)) return 1;
  }
  return 0;
}

void PackStamp(time_t t, uint8_t out[6]) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  out[0] = static_cast<uint8_t>(tm.tm_year);
  out[1] = static_cast<uint8_t>(tm.tm_mon + 1);
  out[2] = static_cast<uint8_t>(tm.tm_mday);
  out[3] = static_cast<uint8_t>(tm.tm_hour);
  out[4] = static_cast<uint8_t>(tm.tm_min);
  out[5] = static_cast<uint8_t>(tm.tm_sec);
}

int UnpackStamp(const uint8_t in[6], time_t* t) {
  if (in[1] < 1 || in[1] > 12 || in[2] < 1 || in[2] > 31 || in[3] > 23 || in[4] > 59 || in[5] > 60)
    return 1;
  struct tm tm {};
  tm.tm_year = in[0];
  tm.tm_mon = in[1] - 1;
  tm.tm_mday = in[2];
  tm.tm_hour = in[3];
  tm.tm_min = in[4];
  tm.tm_sec = in[5];
  *t = timegm(&tm);
  return 0;
}

int SetFileTime(const std::string& path, time_t t) {
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = t;
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : 1;
}

std::string DirListing(const std::string& path, const std::string& name) {
  std::vector<std::string> lines;
  DIR* dir = opendir(path.c_str());
  if (!dir) return std::string();
  std::string prefix = name;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  while (struct dirent* e = readdir(dir)) {
    std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    struct stat st;
    std::string full = path + "/" + entry;
    bool is_dir = lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    lines.push_back(prefix + entry + (is_dir ? "/" : "") + "\n");
  }
  closedir(dir);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l;
  return out;
}

}  // namespace plcsim
