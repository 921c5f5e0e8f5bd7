// The INI file layer: load a file into a dictionary, typed getters, dumps, and the in-place save.
// All messages go to standard error; the store is not re-entrant (static work buffers).
#pragma once
#include <cstdio>

#include "ini/dictionary.h"

// "Ver 3.2 <build date> <build time>".
extern char ip_version[64];
const char* iniparser_version();

// New dictionary with the file's sections and "section:key" values; null on failure.
// Free with iniparser_freedict.
dictionary* iniparser_load(const char* path);
void iniparser_freedict(dictionary* d);

int iniparser_getnsec(const dictionary* d);                    // -1 for a null table
const char* iniparser_getsecname(const dictionary* d, int n);  // null when out of range

// Getters: the not-found value when the key has no entry (or is a section entry).
const char* iniparser_getstring(const dictionary* d, const char* key, const char* def);
int iniparser_getint(const dictionary* d, const char* key, int notfound);
double iniparser_getdouble(const dictionary* d, const char* key, double notfound);
int iniparser_getboolean(const dictionary* d, const char* key, int notfound);
int iniparser_find_entry(const dictionary* d, const char* key);  // 1 if present

int iniparser_setstring(dictionary* d, const char* key, const char* val);  // 0 or -1
void iniparser_unset(dictionary* d, const char* key);

void iniparser_dump(const dictionary* d, FILE* out);      // "[key]=[value]" per entry
void iniparser_dump_ini(const dictionary* d, FILE* out);  // the table as an INI file

// Writes the current values into the existing file at path, keeping its layout; a missing or
// empty file receives iniparser_dump_ini. 0, or -1 with the file unchanged.
int iniparser_save_ini(const dictionary* d, const char* path);
