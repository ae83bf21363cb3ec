#pragma once

#include <cstddef>
#include <cstdint>

// What a carrying launcher holds, as RT_RCDATA resources: the index under ID 1 and the carried
// files under ID 2 onwards, one each, in the index's order. The index is a run of entries, each
// the file's size in bytes (32 bits, little-endian) and its name (ASCII, ended by a NUL), until
// the index ends. A name is a path relative to the folder unpacked into, its parts separated by
// '\'. cabwright/services/carry.py writes it, the package's install.ini first.
constexpr std::uint16_t kIndexResource = 1;
constexpr std::uint16_t kFirstFileResource = 2;

struct IndexEntry {
    std::uint32_t size;
    const char* name;  // points into the index
};

// Reads the entry at `at`; returns the next entry's position, or null when the entry runs past
// `end` (a size cut short, a name without its NUL).
const unsigned char* NextIndexEntry(const unsigned char* at, const unsigned char* end,
                                    IndexEntry* entry);

// The size of a carried file's resource, or -1 when there is no such resource.
using ResourceSize = std::int64_t (*)(std::uint16_t id);

// Whether the index can be unpacked as it stands: at least one entry, every entry whole, every
// name a plain relative path (no empty part, no part ending in '.' or ' ', which covers "." and
// "..", nothing but printable ASCII other than ':' '/' '*' '?' '"' '<' '>' '|', so no drive
// letter and no absolute name), no two names naming the same file or one naming a folder of the
// other (letter case aside, as Windows' file names), and every file's resource present and
// as long as the index says.
bool IndexIsSound(const unsigned char* index, std::size_t size, ResourceSize resourceSize);
