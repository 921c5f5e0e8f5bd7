// Registers, data types, direct PLC addresses, the identification record and the CRC-16 of
// the public file: constant tables and pure look-ups over them.
#pragma once
#include <cstddef>
#include <cstdint>

struct PLC_REG_NAME_T {
  const char* name;  // null ends the table
  uint8_t code;
};

struct PLC_DATA_TYPE_T {
  const char* name;  // null ends the table
  uint8_t size;
  uint8_t code;
};

extern const PLC_REG_NAME_T plc_reg_name[];
extern const PLC_DATA_TYPE_T plc_data_type[];

// Register codes with an image in the communication object.
enum : uint8_t { PLC_REG_X = 0, PLC_REG_Y = 1, PLC_REG_S = 2, PLC_REG_R = 3, PLC_REG_NONE = 255 };

// Data type codes.
enum : uint8_t {
  PLC_BOOL = 0,
  PLC_USINT,
  PLC_SINT,
  PLC_UINT,
  PLC_INT,
  PLC_UDINT,
  PLC_DINT,
  PLC_ULINT,
  PLC_LINT,
  PLC_REAL,
  PLC_LREAL,
  PLC_BYTE,
  PLC_WORD,
  PLC_DWORD,
  PLC_LWORD,
  PLC_STRING,
  PLC_DATE,
  PLC_DT,
  PLC_TIME,
  PLC_TOD,
  PLC_TYPE_LAST = PLC_TOD,
  PLC_TYPE_NONE = 255
};

uint8_t GetPlcReg(const char* name);  // case-sensitive; 255 if unknown
uint8_t GetPlcType(const char* text,
                   uint32_t* size);        // "STRING[20]" -> 15, size 20; 255 if unknown
uint32_t SizeofPlcReg(uint8_t type);       // table size of a type code; 0 if none
const char* GetPlcTypeName(uint8_t type);  // null if none
uint8_t GetPlcDir(const char* text);       // every direction is 0
uint8_t GetPlcAddrLo(uint32_t addr);       // bits 0..7
uint16_t GetPlcAddrHi(uint32_t addr);      // low 16 bits, bytes exchanged
bool IsPlcAddr(const char* text);          // text starts with '%'

// "%R100", "%YW4", "%X0.3": 0 on success, 1 on a syntax error (reg is 255 for an unknown letter).
int ParsePlcAddr(const char* text, uint8_t* reg, uint32_t* offset, uint8_t* bit, uint8_t* type,
                 uint32_t* size);

// Field 1..4 of the PLC's identification record of `len` bytes, as text. The result points to a
// 256-byte buffer private to the calling thread; it stays valid until that thread's next call.
// Lengths in the record that reach past `len` are cut to what was received.
const char* IdentPlc(const unsigned char* rec, size_t len, int field);

// CRC-16, polynomial 0x0049, initial 0, MSB first; the result has its two bytes exchanged.
uint16_t crcPLC(const void* data, uint32_t len);
// Table entry i of the CRC (exposed for checking the table).
uint16_t crcPLCTable(uint8_t i);
