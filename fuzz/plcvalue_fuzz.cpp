// Feeds arbitrary text to the direct address parser and the value converters for every type.
// The first input byte picks the type, the second the bit and the STRING size.
#include <cstdint>
#include <cstring>
#include <string>

#include "plc/plcdef.h"
#include "plc/plcvalue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t type = data[0] % 22;  // includes two unknown codes
  const uint8_t bit = data[1] % 10;
  const uint32_t len = data[1];
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  uint8_t reg, b, t;
  uint32_t off, sz;
  ParsePlcAddr(text.c_str(), &reg, &off, &b, &t, &sz);
  GetPlcType(text.c_str(), &sz);
  IdentPlc(data, size, data[0] % 6);

  unsigned char bytes[300] = {};
  if (CharToBinPlc(bytes, text.data(), type, bit, len) == 0) {
    char out[kPlcValueText];
    BinToCharPlc(bytes, out, type, bit, len);
  }
  // Raw bytes straight from the input as a register image.
  unsigned char raw[300] = {};
  memcpy(raw, data + 2, size - 2 < sizeof raw ? size - 2 : sizeof raw);
  char out[kPlcValueText];
  BinToCharPlc(raw, out, type, bit, len);
  GetPlcBit(bit, text.data(), 0);
  return 0;
}
