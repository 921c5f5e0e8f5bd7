// File-system helpers: the project CRC file, creating local folders, PLC root names.
#pragma once
#include <cstdint>

int SetCrcFile(const char* path, uint32_t value);  // 0, or 1 if the file cannot be created
uint32_t GetCrcFile(const char* path);             // 0 when missing or unreadable
int CreateLocalFilePath(const char* path);         // creates the folders of "./a/b/file"; 0 or 1
int IsDorvikRootDir(const char* path);             // 1 for "" or only '/' characters
