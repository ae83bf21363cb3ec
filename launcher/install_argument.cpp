#include "launcher/install_argument.h"

#include <cstring>

void UnwrapQuotes(char* path) {
    std::size_t length = std::strlen(path);
    if (length < 2 || path[0] != '"' || path[length - 1] != '"') return;
    std::memmove(path, path + 1, length - 2);
    path[length - 2] = '\0';
}

void ComposeIniArgument(const char* directory, std::size_t length, char* out) {
    static constexpr char kSuffix[] = "\\install.ini\"";
    *out++ = '"';
    // With no directory there is nothing for the backslash to separate.
    const char* suffix = kSuffix + 1;
    if (length != 0) {
        std::memcpy(out, directory, length);
        out += length;
        suffix = kSuffix;
    }
    std::memcpy(out, suffix, kSuffix + sizeof kSuffix - suffix);
}
