// Scratch folders and small file helpers for tests.
#pragma once
#include <string>

namespace kt {

// A fresh empty folder below the system's temporary folder, removed with its content
// when the object goes out of scope.
struct ScratchDir {
  std::string path;
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

bool WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);

}  // namespace kt
