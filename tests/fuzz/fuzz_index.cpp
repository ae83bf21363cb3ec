// Input: a count of resources, their sizes (one byte each), then the index. A sound index is
// whole, each size its resource's, each name relative with no "." or ".." part and no colon; the
// package folder found, where one is, begins every name.
#include <string>
#include <vector>
#include "carrier/index.h"
#include "carrier/places.h"
#include "tests/fuzz/fuzz.h"

static std::vector<std::int64_t> sizes;
static std::int64_t SizeOf(std::uint16_t id) { return id - 2u < sizes.size() ? sizes[id - 2] : -1; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1u + data[0] % 8) return 0;
    sizes.assign(data + 1, data + 1 + data[0] % 8);
    const std::vector<unsigned char> index(data + 1 + data[0] % 8, data + size);
    const unsigned char *at = index.data(), *end = at + index.size();
    if (!IndexIsSound(at, index.size(), SizeOf)) return 0;
    // The package's folder, where one is: the first part of every name.
    const std::size_t folder = PackageFolderLength(at, index.size());
    const std::string first(reinterpret_cast<const char*>(at) + 4);
    for (std::uint16_t id = 2; at != end; ++id) {
        IndexEntry entry;
        at = NextIndexEntry(at, end, &entry);
        CHECK(at != nullptr && SizeOf(id) == entry.size);
        const std::string name = "\\" + std::string(entry.name) + "\\";  // no "." or ".." part
        for (auto bad : {"\\\\", "\\.\\", "\\..\\", ":", "/"}) CHECK(name.find(bad) == name.npos);
        CHECK(folder == 0 || (folder < first.size() && first[folder] == '\\' &&
                              std::string(entry.name).compare(0, folder + 1, first, 0,
                                                              folder + 1) == 0));
    }
    return 0;
}
