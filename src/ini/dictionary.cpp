// The INI table: hashing, look-up, insertion with growth, removal and the debug dump.
#include "ini/dictionary.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMinSlots = 128;

// Lower-cased copy of key, cut at kDictKeyMax characters. Static: the store is not re-entrant.
const char* dictionary_lower(const char* key) {
  static char lower[kDictKeyMax + 1];
  int i = 0;
  for (; i < kDictKeyMax && key[i] != '\0'; i++) {
    lower[i] = static_cast<char>(tolower(static_cast<unsigned char>(key[i])));
  }
  lower[i] = '\0';
  return lower;
}

// True when stored, lower-cased and cut like the wanted key, equals lowered.
bool dictionary_same_key(const char* stored, const char* lowered) {
  for (int i = 0; i < kDictKeyMax; i++) {
    char c = static_cast<char>(tolower(static_cast<unsigned char>(stored[i])));
    if (c != lowered[i]) return false;
    if (c == '\0') return true;
  }
  return lowered[kDictKeyMax] == '\0';
}

// Slot index of the first entry matching key, or -1.
int dictionary_find(const dictionary* d, const char* key) {
  const char* lowered = dictionary_lower(key);
  uint32_t h = dictionary_hash(lowered);
  for (int i = 0; i < d->size; i++) {
    if (d->key[i] && d->hash[i] == h && dictionary_same_key(d->key[i], lowered)) return i;
  }
  return -1;
}

char* dictionary_copy(const char* text) {
  if (!text) return nullptr;
  size_t len = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(len));
  if (copy) memcpy(copy, text, len);
  return copy;
}

// Doubles the three slot arrays; on failure the table is left as it was.
int dictionary_grow(dictionary* d) {
  if (d->size > INT_MAX / 2) return -1;
  size_t slots = static_cast<size_t>(d->size) * 2;
  char** val = static_cast<char**>(calloc(slots, sizeof(char*)));
  char** key = static_cast<char**>(calloc(slots, sizeof(char*)));
  uint32_t* hash = static_cast<uint32_t*>(calloc(slots, sizeof(uint32_t)));
  if (!val || !key || !hash) {
    free(val);
    free(key);
    free(hash);
    return -1;
  }
  memcpy(val, d->val, d->size * sizeof(char*));
  memcpy(key, d->key, d->size * sizeof(char*));
  memcpy(hash, d->hash, d->size * sizeof(uint32_t));
  free(d->val);
  free(d->key);
  free(d->hash);
  d->val = val;
  d->key = key;
  d->hash = hash;
  d->size = static_cast<int32_t>(slots);
  return 0;
}

}  // namespace

dictionary* dictionary_new(int size) {
  if (size < kMinSlots) size = kMinSlots;
  dictionary* d = static_cast<dictionary*>(calloc(1, sizeof(dictionary)));
  if (!d) return nullptr;
  d->size = size;
  d->val = static_cast<char**>(calloc(size, sizeof(char*)));
  d->key = static_cast<char**>(calloc(size, sizeof(char*)));
  d->hash = static_cast<uint32_t*>(calloc(size, sizeof(uint32_t)));
  if (!d->val || !d->key || !d->hash) {
    dictionary_del(d);
    return nullptr;
  }
  return d;
}

void dictionary_del(dictionary* d) {
  if (!d) return;
  for (int i = 0; d->key && d->val && i < d->size; i++) {
    free(d->key[i]);
    free(d->val[i]);
  }
  free(d->val);
  free(d->key);
  free(d->hash);
  free(d);
}

uint32_t dictionary_hash(const char* key) {
  if (!key) return 0;
  uint32_t h = 0;
  for (const char* p = key; *p; p++) {
    // Bytes count as signed 8-bit values whatever the platform's char is.
    h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(*p)));
    h += h << 10;
    h ^= h >> 6;
  }
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return h;
}

const char* dictionary_get(const dictionary* d, const char* key, const char* def) {
  if (!d || !key) return def;
  int i = dictionary_find(d, key);
  return i < 0 ? def : d->val[i];
}

int dictionary_set(dictionary* d, const char* key, const char* val) {
  if (!d || !key) return -1;
  char* copy = nullptr;
  if (val && !(copy = dictionary_copy(val))) return -1;

  int i = dictionary_find(d, key);
  if (i >= 0) {
    free(d->val[i]);
    d->val[i] = copy;
    return 0;
  }
  uint32_t h = dictionary_hash(dictionary_lower(key));
  if (d->n == d->size && dictionary_grow(d) != 0) {
    free(copy);
    return -1;
  }
  char* key_copy = dictionary_copy(key);
  if (!key_copy) {
    free(copy);
    return -1;
  }
  i = 0;
  while (i < d->size - 1 && d->key[i]) i++;  // n < size, so a free slot exists
  d->key[i] = key_copy;
  d->val[i] = copy;
  d->hash[i] = h;
  d->n++;
  return 0;
}

void dictionary_unset(dictionary* d, const char* key) {
  if (!d || !key) return;
  int i = dictionary_find(d, key);
  if (i < 0) return;
  free(d->key[i]);
  free(d->val[i]);
  d->key[i] = nullptr;
  d->val[i] = nullptr;
  d->hash[i] = 0;
  d->n--;
}

void dictionary_dump(const dictionary* d, FILE* out) {
  if (!d || !out) return;
  if (d->n < 1) {
    fprintf(out, "empty dictionary\n");
    return;
  }
  for (int i = 0; i < d->size; i++) {
    if (d->key[i]) fprintf(out, "%20s\t[%s]\n", d->key[i], d->val[i] ? d->val[i] : "UNDEF");
  }
}
