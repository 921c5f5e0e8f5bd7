// Line-level grammar of INI files shared by the load and the save.
#pragma once
#include <cstdint>

// Size of the trimming and classification buffers: 1024 characters plus terminator.
constexpr int kIniText = 1025;

// Results of ini_classify_line.
enum IniLine { kLineError = 1, kLineEmpty = 2, kLineComment = 3, kLineSection = 4, kLineValue = 5 };

// Copy of text without leading and trailing white space, cut at 1024 characters, in a static
// buffer overwritten by the next call.
const char* ini_strip(const char* text);

// Classifies one logical line; section, key and value each hold kIniText bytes. A section line
// fills section, a value line fills key and value (both trimmed).
int ini_classify_line(const char* input, char* section, char* key, char* value);

// Default handed to dictionary_get to tell an absent key from any stored value: the all-ones
// address, which no stored string can have.
inline const char* const kInvalidKey = reinterpret_cast<const char*>(~static_cast<uintptr_t>(0));
