// Conversion of PLC values between register bytes and the text clients see, and bit helpers.
#pragma once
#include <cstdint>

// Longest value text including its terminator; every destination of BinToCharPlc holds this.
constexpr int kPlcValueText = 256;

// Converts `text` into the bytes of `type` at `dst` (null: check only). A BOOL changes only its
// bit (0..7) of the byte at dst; bit numbers above 7 are refused; its text is upper-cased in
// place. `size` is the STRING length (at most 1024). Returns 0, or 1 when nothing could be read
// (dst untouched).
int CharToBinPlc(unsigned char* dst, char* text, uint8_t type, uint8_t bit, uint32_t size);

// Writes the value at `src` as text into `dst` (kPlcValueText bytes) under the number-formatting
// settings; `size` is the STRING length. Always 0; an unknown type leaves dst untouched.
int BinToCharPlc(const unsigned char* src, char* dst, uint8_t type, uint8_t bit, uint32_t size);

// Bit-write code: the bit number, plus 128 when the value is true. Mode 1: `value` is a byte
// (true when non-zero); otherwise it is text converted as a BOOL at `bit` (and upper-cased).
uint8_t GetPlcBit(uint8_t bit, char* value, int mode);

// 1 when the bit (0..7) differs between a and b.
int TestBitPlc(uint8_t a, uint8_t b, uint8_t bit);
