// Feeds arbitrary text to the public file reader, then plans reads and walks the result.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "plc/optimreq.h"
#include "plc/pubfile.h"
#include "plc/pubfile_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pubfile_read_pause_ms = 0;
  PUBFILE_T* pf = CreatePubFile(nullptr);
  if (!pf) return 0;
  if (SetPubText(&pf->file, reinterpret_cast<const char*>(data), static_cast<int64_t>(size))) {
    RemovePubFile(pf, 2);
    return 0;
  }
  if (ReadPubFile(pf)) {
    VerifyPubFileCrc(&pf->file);
    uint32_t x, y, r, s;
    GetPubFileMemSize(pf, &x, &y, &r, &s);
    RemoveOptimReq(CreatePFOptimReq(nullptr, pf));
    PUBFILE_T* copy = ClonePubFile(pf);
    EnablePubFile(copy, "*", 0.5);
    DisablePubFile(copy, "", -1);
    HidePubFile(copy, "A*");
    RemovePubFile(pf, 1);
    pf = nullptr;
    while (FindPubFileRecByKey(copy, 0)) {
    }
    RemovePubFile(copy, 0);
  }
  RemovePubFile(pf, 2);
  return 0;
}
