#include "carrier/index.h"

namespace {

bool IsNameByte(unsigned char c) {
    if (c < 0x20 || c >= 0x7F) return false;
    for (const char* bad = ":/*?\"<>|"; *bad != '\0'; ++bad) {
        if (c == static_cast<unsigned char>(*bad)) return false;
    }
    return true;
}

// Every part non-empty and ending in neither '.' nor ' ': Windows drops those endings, so
// "a." would name the file "a", and ".." the folder above.
bool IsPlainName(const char* name) {
    char last = '\\';
    for (; *name != '\0'; ++name) {
        if (*name == '\\' && (last == '\\' || last == '.' || last == ' ')) return false;
        if (*name != '\\' && !IsNameByte(static_cast<unsigned char>(*name))) return false;
        last = *name;
    }
    return last != '\\' && last != '.' && last != ' ';
}

char Folded(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether the two names are one file, or one is a folder on the other's path.
bool Collide(const char* a, const char* b) {
    while (*a != '\0' && Folded(*a) == Folded(*b)) ++a, ++b;
    return (*a == '\0' && (*b == '\0' || *b == '\\')) || (*b == '\0' && *a == '\\');
}

}  // namespace

const unsigned char* NextIndexEntry(const unsigned char* at, const unsigned char* end,
                                    IndexEntry* entry) {
    if (end - at < 5) return nullptr;
    entry->size = static_cast<std::uint32_t>(at[0] | at[1] << 8 | at[2] << 16) |
                  static_cast<std::uint32_t>(at[3]) << 24;
    entry->name = reinterpret_cast<const char*>(at + 4);
    for (at += 4; at != end; ++at) {
        if (*at == '\0') return at + 1;
    }
    return nullptr;
}

bool IndexIsSound(const unsigned char* index, std::size_t size, ResourceSize resourceSize) {
    const unsigned char* end = index + size;
    std::uint32_t id = kFirstFileResource;
    for (const unsigned char* at = index; at != end; ++id) {
        IndexEntry entry;
        at = NextIndexEntry(at, end, &entry);
        if (at == nullptr || id > 0xFFFF || !IsPlainName(entry.name) ||
            resourceSize(static_cast<std::uint16_t>(id)) != entry.size) {
            return false;
        }
        for (const unsigned char* other = index; other != at;) {
            IndexEntry earlier;
            other = NextIndexEntry(other, end, &earlier);
            if (other != at && Collide(earlier.name, entry.name)) return false;
        }
    }
    return id != kFirstFileResource;
}
