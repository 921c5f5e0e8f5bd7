// Feeds arbitrary PLC replies to the file and memory services: the input is a sequence of reply
// data chunks (one length byte, then the bytes), each wrapped into a well-formed reply frame so
// the services' own checks of handles, offsets and lengths are what gets exercised.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/globals.h"
#include "files/fileaccess.h"
#include "files/mem.h"
#include "link/dorvik.h"

namespace {

struct Script {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

int ScriptSend(void* endpoint, const unsigned char* request, unsigned char* reply, int request_len,
               int reply_len, int* error, int reply_cap) {
  (void)request;
  (void)request_len;
  Script* s = static_cast<Script*>(endpoint);
  *error = 0;
  int cap = reply_len < reply_cap ? reply_len : reply_cap;
  memset(reply, 0, static_cast<size_t>(cap));
  if (s->pos >= s->size) {
    *error = 80;
    return 1;
  }
  int at = 0;
  for (int frame = 0; frame * 255 < reply_len && s->pos < s->size; ++frame) {
    size_t n = s->data[s->pos++];
    if (n > 249) n = 249;
    if (n > s->size - s->pos) n = s->size - s->pos;
    if (at + static_cast<int>(n) + 9 > cap) break;
    unsigned char* f = reply + at;
    f[0] = 0x68;
    f[1] = f[2] = static_cast<unsigned char>(n + 3);
    f[3] = 0x68;
    f[4] = 5;
    f[5] = 0;
    f[6] = 0x08;
    unsigned sum = 5 + 0x08;
    for (size_t i = 0; i < n; ++i) {
      f[7 + i] = s->data[s->pos + i];
      sum += f[7 + i];
    }
    s->pos += n;
    f[7 + n] = static_cast<unsigned char>(sum);
    f[8 + n] = 0x16;
    at += static_cast<int>(n) + 9;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  verbose = -1;  // nothing logged
  Script script = {data, size, 0};
  DORVIK_T link{};
  Dorvik_SetStation(&link, 0, 5, 0);
  int frames = size > 0 ? 1 + data[0] % 5 : 1;
  Dorvik_ATTACH(&link, ScriptSend, &script, frames);

  FFILE_T rec;
  GetDorvikFile(&rec, "", "fuzz.bin", &link, 0);
  FFILE_T info;
  GetFileInfo(&info, "", "/fuzz-none/x", &link, 0);

  FFILE_T out;
  out.data = static_cast<char*>(malloc(3000));
  if (out.data) {
    memset(out.data, 'x', 3000);
    out.size.store(3000);
    WriteDorvikFile(&out, "", "fuzz.bin", &link, 0);
  }

  MEM_T mem;
  GetDorvikMem(&mem, 3, 0xFF00, 2000, &link, 0);

  free(rec.data);
  free(info.data);
  free(out.data);
  free(mem.data);
  Dorvik_EXIT(&link);
  return 0;
}
