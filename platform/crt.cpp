// The few C library routines the compiler and the launcher call, for an executable that links
// no C runtime. Built with loop-to-call rewriting off, or each would call itself.
#include <cstddef>

extern "C" {

void* memset(void* target, int value, std::size_t size) {
    auto* p = static_cast<unsigned char*>(target);
    while (size-- != 0) *p++ = static_cast<unsigned char>(value);
    return target;
}

void* memcpy(void* target, const void* source, std::size_t size) {
    auto* to = static_cast<unsigned char*>(target);
    const auto* from = static_cast<const unsigned char*>(source);
    while (size-- != 0) *to++ = *from++;
    return target;
}

void* memmove(void* target, const void* source, std::size_t size) {
    auto* to = static_cast<unsigned char*>(target);
    const auto* from = static_cast<const unsigned char*>(source);
    if (to <= from) return memcpy(target, source, size);
    while (size-- != 0) to[size] = from[size];
    return target;
}

std::size_t strlen(const char* text) {
    const char* end = text;
    while (*end != '\0') ++end;
    return static_cast<std::size_t>(end - text);
}

}
