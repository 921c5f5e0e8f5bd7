// The INI table: composite keys ("section:key") mapped to value strings, in insertion slots.
#pragma once
#include <cstdint>
#include <cstdio>

// One loaded configuration. Slots are unordered; an entry sits in the lowest slot that was
// free when it was inserted, so slot order is file order for a freshly loaded file.
// Single-threaded: the look-up uses a static lower-casing buffer.
struct dictionary {
  int32_t n;       // entries in use
  int32_t size;    // slots (at least 128, doubled when full)
  char** val;      // owned values; null for a section entry or an empty slot
  char** key;      // owned keys; null marks an empty slot
  uint32_t* hash;  // hash of the lower-cased key; 0 in an empty slot
};

// Keys are hashed and compared in lower case, limited to their first kDictKeyMax characters.
constexpr int kDictKeyMax = 1024;

// New empty table with max(128, size) slots; null when out of memory. Free with dictionary_del.
dictionary* dictionary_new(int size);
void dictionary_del(dictionary* d);  // null is allowed

// One-at-a-time hash of the bytes as given (no lower-casing), each byte taken as signed.
uint32_t dictionary_hash(const char* key);

// Stored value of the entry matching key (case-insensitively); null for a section entry;
// def when nothing matches. The pointer stays owned by the table.
const char* dictionary_get(const dictionary* d, const char* key, const char* def);

// Inserts or replaces; value may be null. 0, or -1 for a null table/key or no memory.
int dictionary_set(dictionary* d, const char* key, const char* val);

// Removes the matching entry, if any.
void dictionary_unset(dictionary* d, const char* key);

// Debug listing: "%20s\t[%s]\n" per entry, "empty dictionary\n" when empty.
void dictionary_dump(const dictionary* d, FILE* out);
