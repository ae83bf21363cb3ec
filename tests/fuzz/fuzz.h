// Shared by the fuzz targets. Each copies its input into heap blocks of exactly the size a rule
// is given, so AddressSanitizer reports any byte read or written past them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// A fuzz target is a test: a broken invariant has to stop the run.
#define CHECK(condition) do { if (!(condition)) __builtin_trap(); } while (0)

// Code page 932's lead bytes, written out here so the fuzzers link nothing of the fake.
inline bool Cp932LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
inline bool NoLeadBytes(unsigned char) { return false; }
inline bool IsBlank(unsigned char b) { return b >= 0x01 && b <= 0x20; }  // blanks and controls

// The characters a double-byte code page makes of a string (its NUL not included): a lead byte
// and the byte after it are one character, unless the string ends after the lead byte.
struct Character {
    std::size_t start;
    std::size_t length;
};
inline std::vector<Character> Characters(std::string_view text, bool (*isLeadByte)(unsigned char)) {
    std::vector<Character> characters;
    for (std::size_t start = 0; start < text.size(); start += characters.back().length) {
        const bool pair = isLeadByte(static_cast<unsigned char>(text[start])) &&
                          start + 1 < text.size();
        characters.push_back({start, pair ? 2u : 1u});
    }
    return characters;
}
