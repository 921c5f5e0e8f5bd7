// Moving one file, or one file's information, between a file record and the place it lives:
// the local disk below the working directory, or the PLC's file system over the link.
#pragma once
#include <ctime>

#include "files/ffile.h"

struct DORVIK_T;

// Largest file the services hold in memory; a larger one fails like a failed allocation.
constexpr int64_t kMaxFileBytes = 256LL * 1024 * 1024;

// "./<dir>/<name>" when it stays below the working directory: no ".." component in either, and
// no symbolic link on the way that leads out of the tree. 0, or -1 when refused or too long.
int LocalFilePath(char* out, size_t cap, const char* dir, const char* name);

int GetLocalFile(FFILE_T* rec, const char* dir, const char* name);
int WriteLocalFile(FFILE_T* rec, const char* dir, const char* name);
int GetLocalFileInfo(FFILE_T* rec, const char* dir, const char* name);
int WriteLocalFileInfo(FFILE_T* rec, const char* dir, const char* name);

int GetDorvikFile(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);
int WriteDorvikFile(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);
int WriteDorvikFileInfo(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);

int GetFileInfo(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);
int WriteFileInfo(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);

// End of a successful read: logs "<aborted>: <name>" when an abort cut it short, then marks the
// record fresh until ffile_timeout from now and no longer busy.
void FinishFileRead(FFILE_T* rec, const char* func, const char* aborted, const char* name);

// PLC attributes and packed stamps from the local mode and times; -1 if a time cannot be
// converted.
int SetDorvikFileAttr(FFILE_T* rec);
// Mode 0644 regular and the times from the packed stamps. Returns 0.
int SetLocalFileAttr(FFILE_T* rec);

// Packed UTC date-time (year - 1900, month 1..12, day, hour, minute, second) and back, whatever
// the process's time zone. PackPlcTime returns 0, or -1 when the time cannot be broken down.
int PackPlcTime(time_t t, unsigned char out[6]);
time_t UnpackPlcTime(const unsigned char in[6]);
