#include "handoff/command_line.h"

#include <cstdint>
#include <cstring>

namespace {

bool NeedsQuotes(const char* name) {
    if (*name == '"') return false;
    for (; *name != '\0'; ++name) {
        if (*name == ' ' || *name == '\t') return true;
    }
    return false;
}

void PutLittleEndian32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

std::size_t CommandLineSize(const char* const* argv) {
    std::size_t size = 2;
    if (argv[0] != nullptr && NeedsQuotes(argv[0])) size += 2;
    for (; *argv != nullptr; ++argv) size += std::strlen(*argv) + 1;
    return size;
}

void BuildCommandLine(const char* const* argv, char* out) {
    bool quote = argv[0] != nullptr && NeedsQuotes(argv[0]);
    for (const char* const* arg = argv; *arg != nullptr; ++arg) {
        if (arg != argv) *out++ = ' ';
        if (quote) *out++ = '"';
        std::size_t length = std::strlen(*arg);
        std::memcpy(out, *arg, length);
        out += length;
        if (quote) *out++ = '"';
        quote = false;
    }
    *out = '\0';
}

std::size_t BuildHandleBlock(const platform::HandleSlot* slots, std::size_t count,
                             unsigned char* out) {
    std::size_t used = count;
    while (used > 0 && slots[used - 1].flags == 0) --used;
    if (used == 0) return 0;
    PutLittleEndian32(out, static_cast<std::uint32_t>(used));
    for (std::size_t i = 0; i < used; ++i) {
        bool passed = slots[i].flags != 0 && (slots[i].flags & platform::kSlotNoInherit) == 0;
        out[4 + i] = passed ? slots[i].flags : 0;
        PutLittleEndian32(out + 4 + used + 4 * i,
                          passed ? static_cast<std::uint32_t>(slots[i].handle) : 0xFFFFFFFFu);
    }
    return HandleBlockSize(used);
}
