// Pieces of the PLC file access shared by the file operations and the information query.
#pragma once
#include <cstdint>

struct DORVIK_T;

// Room of a transfer record: enough for max_frames x 230 data bytes and their header.
constexpr int kFileRecord = 1320;

// Opens `name` (sub-command 2) in `mode` (1 read, 4 information, 6 write), three attempts; the
// reply stays in rec (kFileRecord bytes). 0, or -1 when every attempt failed.
int DorvikOpen(DORVIK_T* link, int step, const char* name, int mode, unsigned char* rec);

uint32_t GetLe32(const unsigned char* p);
void PutLe32(unsigned char* p, uint32_t v);
