#include "launcher/launcher.h"

#include <cstring>

#include "handoff/handoff.h"

namespace {

bool OpenInstallerKey(platform::Key* key) {
    if (platform::RegOpenKeyExA(platform::LocalMachine(), kInstallerKey, 0, platform::kKeyRead,
                                key) == 0) {
        return true;
    }
    // A 32-bit program sees only the 32-bit view of the registry; a 64-bit device manager
    // registers itself in the other one.
    return platform::RegOpenKeyExA(platform::LocalMachine(), kInstallerKey, 0,
                                   platform::kKeyRead | platform::kKeyWow64_64, key) == 0;
}

// The install argument made from the current directory, on the heap; null when out of memory.
char* DefaultIniArgument() {
    // The first call reports the size the directory needs, whatever its length.
    std::uint32_t size = platform::GetCurrentDirectoryA(0, nullptr);
    char* directory = size != 0 ? static_cast<char*>(platform::Allocate(size)) : nullptr;
    std::uint32_t length = directory != nullptr ? platform::GetCurrentDirectoryA(size, directory) : 0;
    if (length >= size) length = 0;  // it could not be had after all: use the bare name

    char* argument = static_cast<char*>(platform::Allocate(IniArgumentSize(length)));
    if (argument != nullptr) ComposeIniArgument(directory, length, argument);
    platform::Free(directory);
    return argument;
}

}  // namespace

bool LocateInstaller(char (&path)[kInstallerPathBuffer]) {
    platform::Key key;
    if (!OpenInstallerKey(&key)) return false;
    std::uint32_t type = 0;
    std::uint32_t byteCount = kInstallerValueMax;
    long result = platform::RegQueryValueExA(key, nullptr, &type,
                                             reinterpret_cast<unsigned char*>(path), &byteCount);
    platform::RegCloseKey(key);
    if (result != 0) return false;

    EndInstallerPath(path, byteCount);
    if (type == platform::kRegExpandSz) {
        char expanded[kInstallerPathBuffer];
        std::uint32_t size = platform::ExpandEnvironmentStringsA(path, expanded, sizeof expanded);
        if (size == 0 || size > sizeof expanded) return false;
        std::memcpy(path, expanded, size);
    }
    UnwrapQuotes(path);
    return true;
}

int WinMain(platform::Handle, platform::Handle, char* commandTail, int) {
    char installer[kInstallerPathBuffer];
    if (!LocateInstaller(installer)) {
        platform::MessageBoxA(nullptr, kFailureText, kFailureCaption, platform::kIconError);
        return 0;
    }
    char* composed = *commandTail == '\0' ? DefaultIniArgument() : nullptr;
    const char* argument = composed != nullptr ? composed : commandTail;
    if (*argument == '\0') return 0;  // out of memory for the default argument

    const char* argv[] = {installer, argument, nullptr};
    HandOffToProgram(installer, argv);
    platform::Free(composed);
    return 0;
}
