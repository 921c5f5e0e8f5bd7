// Base64 coding of file data through OpenSSL's BIO filter chain, without line breaks.
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/protocol.h"

namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free_all(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

}  // namespace

long Base64EncodeLen(long n) {
  return (n + 2) / 3 * 4;
}

long Base64DecodeLen(long n) {
  return n * 3 / 4 - 2;
}

int Base64Encode(const unsigned char* data, size_t len, char** out, size_t* outlen) {
  *out = nullptr;
  *outlen = 0;
  if (len > INT_MAX / 4 * 3) return 1;
  BIO* mem = BIO_new(BIO_s_mem());
  if (!mem) return 1;
  BioPtr chain(BIO_new(BIO_f_base64()));
  if (!chain) {
    BIO_free(mem);
    return 1;
  }
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  BIO_push(chain.get(), mem);
  if (len > 0 && BIO_write(chain.get(), data, static_cast<int>(len)) != static_cast<int>(len))
    return 1;
  if (BIO_flush(chain.get()) != 1) return 1;
  char* text = nullptr;
  long n = BIO_get_mem_data(mem, &text);
  if (n < 0) return 1;
  // A copy of our own: the memory BIO's buffer would need OpenSSL's allocator to free.
  char* copy = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
  if (!copy) return 1;
  if (n > 0) memcpy(copy, text, static_cast<size_t>(n));
  copy[n] = '\0';
  *out = copy;
  *outlen = static_cast<size_t>(n);
  return 0;
}

int Base64Decode(const char* text, unsigned char** out, size_t* outlen) {
  *out = nullptr;
  *outlen = 0;
  size_t n = strlen(text);
  if (n > INT_MAX) return 1;
  // Room for every byte the text can hold: Base64DecodeLen is short by up to two bytes when the
  // text has no padding.
  size_t room = n / 4 * 3 + 3;
  unsigned char* buf = static_cast<unsigned char*>(malloc(room + 1));
  if (!buf) return 1;
  BIO* mem = BIO_new_mem_buf(text, static_cast<int>(n));
  BioPtr chain(BIO_new(BIO_f_base64()));
  if (!mem || !chain) {
    if (mem) BIO_free(mem);
    free(buf);
    return 1;
  }
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  BIO_push(chain.get(), mem);
  size_t got = 0;
  while (got < room) {
    int r = BIO_read(chain.get(), buf + got, static_cast<int>(room - got));
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  buf[got] = '\0';
  *out = buf;
  *outlen = got;
  return 0;
}
