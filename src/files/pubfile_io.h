// Obtaining a public file's text and reading it (GetPubFile), writing its raw bytes to the local
// disk (WritePubFile), and handing its file information to the file services (PubFileInfo).
// They sit above the file services they use and convert between file records and the public
// file's own text record.
#pragma once
#include <cstdint>

#include "files/ffile.h"
#include "plc/pubfile.h"

struct DORVIK_T;

// Source codes of GetPubFile.
// PF_SRC_MEMORY is reported when the text was served from the file cache's memory.
enum : int { PF_SRC_CACHE = 0, PF_SRC_LOCAL = 1, PF_SRC_PLC = 2, PF_SRC_MEMORY = 3 };

// Obtains `name` from `*source` (0 file cache, 1 local disk, 2 PLC) into pf (null: a new file)
// and reads it. *source becomes where it was found (1, 2, 3 from memory; 0: not found); *flag is
// the option on input and the error flag (0/1) on output. With `crc`, receives the file's checksum
// when its checksum line matches, else 0. Returns the public file, or null. On null a file passed
// in still belongs to the caller; a file made here is freed.
PUBFILE_T* GetPubFile(PUBFILE_T* pf, const char* dir, const char* name, int* flag, DORVIK_T* link,
                      int timeout, int* source, uint32_t* crc);

// Writes pf's raw text to "./<dir>/<file name>" with the modification time and mode of the file
// it came from, so the copy is the same file version for CompareFileInfo. pf, or null if writing
// failed.
PUBFILE_T* WritePubFile(PUBFILE_T* pf, const char* dir);

// Fills rec's name, source, size, attributes, mode, times and stamps (not its data) from the file
// pf's text came from, to compare with CompareFileInfo. 0, or 1 when pf has no text.
int PubFileInfo(const PUBFILE_T* pf, FFILE_T* rec);
