// Input: a count of resources and their sizes' low bytes, then the index. Whatever the index
// says, a sound one is whole, its names relative and distinct, its sizes those of resources.
#include <cstring>
#include <string>
#include <vector>

#include "carrier/index.h"
#include "tests/fuzz/fuzz.h"

static std::vector<std::int64_t> sizes;

static std::int64_t SizeOf(std::uint16_t id) {
    return id - 2u < sizes.size() ? sizes[id - 2u] : -1;
}

static std::string Folded(std::string name) {
    for (char& c : name) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    return name;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size < 1u + data[0] % 8) return 0;
    const std::size_t count = data[0] % 8;
    sizes.assign(data + 1, data + 1 + count);
    std::vector<unsigned char> index(data + 1 + count, data + size);
    const unsigned char* begin = index.data();
    const bool sound = IndexIsSound(begin, index.size(), SizeOf);

    std::vector<std::string> names;
    const unsigned char* end = begin + index.size();
    bool whole = true;
    for (const unsigned char* at = begin; at != end;) {
        IndexEntry entry;
        at = NextIndexEntry(at, end, &entry);
        if (at == nullptr) {
            whole = false;
            break;
        }
        if (sound) CHECK(SizeOf(static_cast<std::uint16_t>(2 + names.size())) == entry.size);
        names.push_back(entry.name);
    }
    if (!sound) return 0;
    CHECK(whole && !names.empty());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        CHECK(name[0] != '\\' && name.back() != '\\' && name.find(':') == std::string::npos &&
              name.find('/') == std::string::npos && name.find("\\\\") == std::string::npos);
        const std::string padded = "\\" + name + "\\";
        CHECK(padded.find("\\..\\") == std::string::npos && padded.find("\\.\\") == std::string::npos);
        for (std::size_t j = 0; j < i; ++j) {
            const std::string a = Folded(names[j]) + "\\", b = Folded(name) + "\\";
            CHECK(a.compare(0, b.size(), b) != 0 && b.compare(0, a.size(), a) != 0);
        }
    }
    return 0;
}
