// Input: a selector byte (odd: code page 932) and the command line.
#include <cstring>
#include <vector>

#include "launcher/command_tail.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool doubleByte = data[0] & 1;
    const std::size_t n = strnlen(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<unsigned char> line(n + 1);  // nothing after the NUL: reading past it is caught
    std::memcpy(line.data(), data + 1, n);
    const unsigned char* b = line.data();

    auto tail = reinterpret_cast<const unsigned char*>(
        CommandTail(reinterpret_cast<const char*>(b), doubleByte ? Cp932LeadByte : NoLeadBytes));
    CHECK(tail >= b && tail <= b + n && !IsBlank(*tail));
    const std::size_t t = static_cast<std::size_t>(tail - b);

    if (b[0] != '"') {  // before the tail: the whole unquoted name, then only blanks
        std::size_t i = 0;
        while (i < t && b[i] > ' ') ++i;
        CHECK(b[i] <= ' ');
        for (; i < t; ++i) CHECK(IsBlank(b[i]));
        return 0;
    }
    // A quoted name: the tail follows its closing quotation mark and the blanks after it.
    auto close = static_cast<const unsigned char*>(std::memchr(b + 1, '"', n - 1));
    if (close == nullptr) {
        CHECK(t == n);
    } else if (!doubleByte) {
        const unsigned char* p = close + 1;
        while (IsBlank(*p)) ++p;
        CHECK(p == tail);
    } else {  // a trail byte 0x22 closes nothing: one more character 0x83 0x22 moves it by two
        std::vector<char> longer(n + 3);
        std::memcpy(longer.data(), "\"\x83\"", 3);
        std::memcpy(&longer[3], b + 1, n);
        CHECK(CommandTail(longer.data(), Cp932LeadByte) == longer.data() + t + 2);
    }
    return 0;
}
