// Input: up to eight slots of five bytes each, a 32-bit handle and its flags.
#include <vector>

#include "handoff/command_line.h"
#include "tests/fuzz/fuzz.h"

static std::uint32_t Read32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<platform::HandleSlot> slots(size / 5 < 8 ? size / 5 : 8);
    std::size_t inUse = 0;  // one past the last slot with flags
    for (std::size_t i = 0; i < slots.size(); ++i) {
        // High bits, as a 64-bit handle may have: the 32-bit block has to drop them.
        const std::uint64_t handle = Read32(data + 5 * i) * 0x100000001u;
        slots[i] = {static_cast<std::uintptr_t>(handle), data[5 * i + 4]};
        if (slots[i].flags != 0) inUse = i + 1;
    }
    std::vector<unsigned char> out(HandleBlockSize(slots.size()));
    const std::size_t length = BuildHandleBlock(slots.data(), slots.size(), out.data());

    CHECK(length == (inUse == 0 ? 0 : HandleBlockSize(inUse)));
    if (inUse == 0) return 0;
    CHECK(Read32(out.data()) == inUse);
    for (std::size_t i = 0; i < inUse; ++i) {
        const std::uint8_t flags = slots[i].flags;
        const bool passed = flags != 0 && !(flags & platform::kSlotNoInherit);
        CHECK(out[4 + i] == (passed ? flags : 0));
        CHECK(Read32(&out[4 + inUse + 4 * i]) == (passed ? Read32(data + 5 * i) : 0xFFFFFFFFu));
    }
    return 0;
}
