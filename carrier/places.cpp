#include "carrier/places.h"

#include "carrier/index.h"

std::size_t FolderLength(const char* path, platform::LeadByteTest isLeadByte) {
    const char* last = nullptr;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/') {
            last = at;
        } else if (isLeadByte(static_cast<unsigned char>(*at)) && at[1] != '\0') {
            ++at;
        }
    }
    return last != nullptr ? static_cast<std::size_t>(last - path) : 0;
}

std::size_t PackageFolderLength(const unsigned char* index, std::size_t size) {
    const unsigned char* end = index + size;
    IndexEntry first;
    if (NextIndexEntry(index, end, &first) == nullptr) return 0;
    std::size_t length = 0;
    while (first.name[length] != '\\') {
        if (first.name[length++] == '\0') return 0;
    }
    // install.ini, letter case aside, first: it is set aside first and moved in last.
    const char* ini = "install.ini";
    for (const char* at = first.name + length + 1; *at != '\0' || *ini != '\0'; ++at, ++ini) {
        if ((*at | 0x20) != *ini) return 0;  // names are printable ASCII: this folds case only
    }
    for (const unsigned char* at = index; at != end;) {
        IndexEntry entry;
        at = NextIndexEntry(at, end, &entry);
        // The same folder, and its '\\' after it.
        for (std::size_t i = 0; at != nullptr && i <= length; ++i) {
            if (entry.name[i] != first.name[i]) at = nullptr;
        }
        if (at == nullptr) return 0;
    }
    return length;
}
