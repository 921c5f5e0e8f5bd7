// Feeds arbitrary PLC replies to the file and memory services: the input is a sequence of reply
// data chunks (one length byte, then the bytes), each wrapped into a well-formed reply frame so
// the services' own checks of handles, offsets and lengths are what gets exercised.
#include <sys/stat.h>

#include <algorithm>
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

// Wraps the next chunks into as many reply frames as the exchange expects; an exhausted script is
// silence (code 80).
int ScriptSend(void* endpoint, const unsigned char*, unsigned char* reply, int, int reply_len,
               int* error, int reply_cap) {
  Script* s = static_cast<Script*>(endpoint);
  const int cap = reply_len < reply_cap ? reply_len : reply_cap;
  memset(reply, 0, static_cast<size_t>(cap));
  *error = s->pos >= s->size ? 80 : 0;
  if (*error) return 1;
  for (int at = 0, frame = 0; frame * 255 < reply_len && s->pos < s->size; ++frame) {
    const size_t n = std::min<size_t>({s->data[s->pos++], 249, s->size - s->pos});
    if (at + static_cast<int>(n) + 9 > cap) break;
    unsigned char* f = reply + at;
    f[0] = f[3] = 0x68;
    f[1] = f[2] = static_cast<unsigned char>(n + 3);
    f[4] = 5, f[5] = 0, f[6] = 0x08;
    memcpy(f + 7, s->data + s->pos, n);
    unsigned sum = 0;
    for (size_t i = 4; i < 7 + n; ++i) sum += f[i];
    f[7 + n] = static_cast<unsigned char>(sum);
    f[8 + n] = 0x16;
    s->pos += n;
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
