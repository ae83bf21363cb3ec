// Input: a selector byte (odd: code page 932) and the command line.
#include <cstring>
#include <string_view>
#include <vector>

#include "launcher/command_tail.h"
#include "tests/fuzz/fuzz.h"

// Where the tail starts, found over the line's characters: after a quoted name, at the character
// after the first one-byte quotation mark that follows the opening one (at the end if none does);
// after an unquoted name, at its first blank or control byte. Then past blanks and controls.
static std::size_t TailStart(std::string_view line, bool (*isLeadByte)(unsigned char)) {
    const std::vector<Character> characters = Characters(line, isLeadByte);
    std::size_t at = line.size();
    if (!line.empty() && line[0] == '"') {
        for (std::size_t i = 1; i < characters.size(); ++i) {
            if (characters[i].length == 1 && line[characters[i].start] == '"') {
                at = characters[i].start + 1;
                break;
            }
        }
    } else {
        // No trail byte of the code page is a blank or a control; should one follow a lead byte
        // all the same, it ends the name.
        for (const Character& c : characters) {
            std::size_t b = c.start;
            while (b < c.start + c.length && !IsBlank(static_cast<unsigned char>(line[b]))) ++b;
            if (b < c.start + c.length) {
                at = b;
                break;
            }
        }
    }
    while (at < line.size() && IsBlank(static_cast<unsigned char>(line[at]))) ++at;
    return at;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    auto isLeadByte = data[0] & 1 ? Cp932LeadByte : NoLeadBytes;
    const std::size_t n = strnlen(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<char> line(n + 1);  // nothing after the NUL: reading past it is caught
    std::memcpy(line.data(), data + 1, n);

    const char* tail = CommandTail(line.data(), isLeadByte);
    CHECK(tail >= line.data() && tail <= line.data() + n);
    CHECK(static_cast<std::size_t>(tail - line.data()) ==
          TailStart(std::string_view(line.data(), n), isLeadByte));
    return 0;
}
