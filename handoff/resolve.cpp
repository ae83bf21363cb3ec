#include "handoff/resolve.h"

#include <cstring>

bool ResolveProgramFile(const char* path, platform::LeadByteTest isLeadByte, FileProbe exists,
                        char* out) {
    // One pass, stepping over two-byte characters whole, so that a trail byte equal to a
    // separator, colon or dot is never taken for one.
    const char* lastSeparator = nullptr;
    const char* firstColon = nullptr;
    const char* lastDot = nullptr;
    const char* end = path;
    for (; *end != '\0'; ++end) {
        char c = *end;
        if (c == '\\' || c == '/') {
            lastSeparator = end;
        } else if (c == ':') {
            if (firstColon == nullptr) firstColon = end;
        } else if (c == '.') {
            lastDot = end;
        } else if (isLeadByte(static_cast<unsigned char>(c)) && end[1] != '\0') {
            ++end;
        }
    }
    const char* name = lastSeparator != nullptr ? lastSeparator : firstColon;

    char* tail = out;
    if (name == nullptr) {  // a bare name: the current directory, never the search path
        name = path;
        *tail++ = '.';
        *tail++ = '\\';
    }
    std::size_t length = static_cast<std::size_t>(end - path);
    std::memcpy(tail, path, length + 1);
    tail += length;

    if (lastDot != nullptr && lastDot >= name) return exists(out);

    static constexpr char kExtensions[][5] = {".com", ".exe", ".bat", ".cmd"};
    for (const char* extension : kExtensions) {
        std::memcpy(tail, extension, 5);
        if (exists(out)) return true;
    }
    return false;
}
