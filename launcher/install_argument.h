#pragma once

#include <cstddef>
#include <cstdint>

// Bytes that the installer path buffer needs: the longest path the launcher accepts, plus a NUL
// after it that the registry read never overwrites.
constexpr std::uint32_t kInstallerValueMax = 260;
constexpr std::size_t kInstallerPathBuffer = kInstallerValueMax + 1;

// A value wrapped in one pair of quotation marks names the file inside them.
void UnwrapQuotes(char* path);

// The default install argument: a quotation mark, the directory, "\install.ini" and a quotation
// mark. Without a directory (length 0) it is the quoted bare name. `out` holds
// IniArgumentSize(length) bytes.
constexpr std::size_t IniArgumentSize(std::size_t directoryLength) { return directoryLength + 15; }
void ComposeIniArgument(const char* directory, std::size_t length, char* out);
