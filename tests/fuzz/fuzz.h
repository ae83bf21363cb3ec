// Shared by the fuzz targets. Each copies its input into heap blocks of exactly the size a rule
// is given, so AddressSanitizer reports any byte read or written past them.
#pragma once

#include <cstddef>
#include <cstdint>

// A fuzz target is a test: a broken invariant has to stop the run.
#define CHECK(condition) do { if (!(condition)) __builtin_trap(); } while (0)

// Code page 932's lead bytes, written out here so the fuzzers link nothing of the fake.
inline bool Cp932LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
inline bool NoLeadBytes(unsigned char) { return false; }
inline bool IsBlank(unsigned char b) { return b >= 0x01 && b <= 0x20; }  // blanks and controls
