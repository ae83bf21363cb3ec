// Input: up to eight slots of five bytes each, a 32-bit handle and its flags.
#include <bit>
#include <cstring>
#include <vector>

#include "handoff/command_line.h"
#include "tests/fuzz/fuzz.h"

static_assert(std::endian::native == std::endian::little, "the block is read back with memcpy");

// The block read back: its count, then that many flag bytes and that many handles.
struct Block {
    std::uint32_t count = 0;
    std::vector<std::uint8_t> flags;
    std::vector<std::uint32_t> handles;
};
static Block Parse(const unsigned char* bytes, std::size_t length) {
    Block block;
    if (length < 4) return block;
    std::memcpy(&block.count, bytes, 4);
    CHECK(block.count != 0);  // with no slot in use, nothing is attached
    CHECK(length == 4 + 5 * static_cast<std::size_t>(block.count));
    block.flags.assign(bytes + 4, bytes + 4 + block.count);
    block.handles.resize(block.count);
    std::memcpy(block.handles.data(), bytes + 4 + block.count, 4 * block.count);
    return block;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t count = size / 5 < 8 ? size / 5 : 8;
    std::vector<std::uint32_t> low(count);
    std::vector<platform::HandleSlot> slots(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(&low[i], data + 5 * i, 4);
        // A 64-bit handle's upper half differs from its lower: the block keeps the lower.
        const std::uint64_t handle = low[i] | std::uint64_t{~low[i]} << 32;
        slots[i] = {static_cast<std::uintptr_t>(handle), data[5 * i + 4]};
    }
    std::vector<unsigned char> out(HandleBlockSize(count));
    const Block block = Parse(out.data(), BuildHandleBlock(slots.data(), count, out.data()));

    // The block ends with the last slot in use; the slots after it are all free.
    CHECK(block.count <= count);
    CHECK(block.count == 0 || slots[block.count - 1].flags != 0);
    for (std::size_t i = block.count; i < count; ++i) CHECK(slots[i].flags == 0);
    // Each slot as the child must see it: its flags as they are, unless the launcher keeps the
    // handle to itself; a handle, its lower 32 bits, only where there are flags.
    for (std::size_t i = 0; i < block.count; ++i) {
        const std::uint8_t flags = data[5 * i + 4];
        const std::uint8_t seen = flags & platform::kSlotNoInherit ? 0 : flags;
        CHECK(block.flags[i] == seen);
        CHECK(block.handles[i] == (seen != 0 ? low[i] : 0xFFFFFFFFu));
    }
    return 0;
}
