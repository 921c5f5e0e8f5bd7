// The PLC's file system: a folder on disk that PLC file names map into, and its time stamps.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

namespace plcsim {

// File status codes of the file transfer replies (errno numbers, which readers know).
constexpr uint32_t kFsOk = 0;
constexpr uint32_t kFsNotFound = 2;
constexpr uint32_t kFsIoError = 5;
constexpr uint32_t kFsBadHandle = 9;
constexpr uint32_t kFsRefused = 13;
constexpr uint32_t kFsIsDir = 21;
constexpr uint32_t kFsInvalid = 22;

// Maps a PLC file name below `root`: leading '/' dropped, "." and empty parts skipped, ".."
// and symbolic links refused, so the path never leaves the folder. With `create_parents` the
// missing folders on the way are made. Returns 0 with `path` set, 1 when refused.
int PlcPath(const std::string& root, const std::string& name, bool create_parents,
            std::string& path);

// Packed UTC date-time: year - 1900, month 1-12, day, hour, minute, second.
void PackStamp(time_t t, uint8_t out[6]);
// 0 with `*t` set, 1 when the six bytes are no valid date-time.
int UnpackStamp(const uint8_t in[6], time_t* t);

// Sets access and modification time of `path` (not following a link). 0 or 1.
int SetFileTime(const std::string& path, time_t t);

// Listing of a folder as the PLC gives it when it is read: one line per entry, the requested
// name ending in '/', the entry's name, a '/' for a folder, a line feed. Sorted by name.
std::string DirListing(const std::string& path, const std::string& name);

}  // namespace plcsim
