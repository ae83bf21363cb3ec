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

// A platform call that writes text into a buffer of `size` characters. Asked with size 0, it
// tells the size it needs, its NUL included. Then it reports the text's length, or at least
// `size` when the buffer is too small, or 0 on failure; that length may count UTF-16 units
// rather than bytes where the text is double-byte, so it is read only for success.
using TextCall = std::uint32_t (*)(const void* input, void* buffer, std::uint32_t size);

// The text on the heap, in a block of the size the call asked for and ended by the launcher
// itself; null when it can't be had.
void* FetchText(TextCall call, const void* input, std::size_t charSize) {
    std::uint32_t size = call(input, nullptr, 0);
    auto* text = size != 0 ? static_cast<unsigned char*>(platform::Allocate(size * charSize))
                           : nullptr;
    if (text == nullptr) return nullptr;
    std::uint32_t length = call(input, text, size);
    if (length == 0 || length >= size) {
        platform::Free(text);
        return nullptr;
    }
    std::memset(text + (size - 1) * charSize, 0, charSize);
    return text;
}

std::uint32_t AnsiDirectory(const void*, void* buffer, std::uint32_t size) {
    return platform::GetCurrentDirectoryA(size, static_cast<char*>(buffer));
}

std::uint32_t WideDirectory(const void*, void* buffer, std::uint32_t size) {
    return platform::GetCurrentDirectoryW(size, static_cast<platform::WideChar*>(buffer));
}

std::uint32_t ShortName(const void* path, void* buffer, std::uint32_t size) {
    return platform::GetShortPathNameW(static_cast<const platform::WideChar*>(path),
                                       static_cast<platform::WideChar*>(buffer), size);
}

// Wide text in the ANSI code page; a character with no equivalent there (not even a look-alike)
// fails it.
std::uint32_t FaithfulAnsi(const void* text, void* buffer, std::uint32_t size) {
    bool lossy = false;
    std::uint32_t written = platform::WideCharToMultiByte(
        static_cast<const platform::WideChar*>(text), static_cast<char*>(buffer), size, &lossy);
    return written == 0 || lossy ? 0 : size == 0 ? written : written - 1;
}

// The current directory's short name in the ANSI code page, on the heap, when its ANSI name
// would name no folder (a character outside the code page comes out as '?') and the short name
// has no such character. Null otherwise: the ANSI name is faithful, the platform has no wide
// calls (its file names are ANSI anyway), or the volume keeps no short names.
char* ShortNameForNonAnsiDirectory() {
    void* wide = FetchText(WideDirectory, nullptr, sizeof(platform::WideChar));
    if (wide == nullptr) return nullptr;
    char* result = nullptr;
    void* ansi = FetchText(FaithfulAnsi, wide, 1);
    void* shortName = ansi == nullptr ? FetchText(ShortName, wide, sizeof(platform::WideChar))
                                      : nullptr;
    if (shortName != nullptr) result = static_cast<char*>(FetchText(FaithfulAnsi, shortName, 1));
    platform::Free(shortName);
    platform::Free(ansi);  // faithful: the ANSI name stays, byte for byte
    platform::Free(wide);
    return result;
}

// The install argument made from the current directory, on the heap; null when out of memory.
char* DefaultIniArgument() {
    char* directory = ShortNameForNonAnsiDirectory();
    if (directory == nullptr) directory = static_cast<char*>(FetchText(AnsiDirectory, nullptr, 1));
    // Without a directory the argument is the bare name.
    std::size_t length = directory != nullptr ? std::strlen(directory) : 0;
    char* argument = static_cast<char*>(platform::Allocate(IniArgumentSize(length)));
    if (argument != nullptr) ComposeIniArgument(directory, length, argument);
    platform::Free(directory);
    return argument;
}

}  // namespace

bool LocateInstaller(char (&path)[kInstallerPathBuffer]) {
    platform::Key key;
    if (!OpenInstallerKey(&key)) return false;
    // Cleared first, so the path ends where the value's bytes end, NUL or not, whatever count
    // the read reports; the last byte is never offered and stays its end.
    std::memset(path, 0, sizeof path);
    std::uint32_t type = 0;
    std::uint32_t byteCount = kInstallerValueMax;
    long result = platform::RegQueryValueExA(key, nullptr, &type,
                                             reinterpret_cast<unsigned char*>(path), &byteCount);
    platform::RegCloseKey(key);
    if (result != 0) return false;

    if (type == platform::kRegExpandSz) {
        // Room for the byte beyond the string and its NUL that the ANSI call may want.
        char expanded[kInstallerValueMax + 2];
        std::uint32_t size = platform::ExpandEnvironmentStringsA(path, expanded, sizeof expanded);
        if (size == 0 || size > sizeof expanded) return false;  // failed, or too small
        expanded[sizeof expanded - 1] = '\0';
        std::size_t length = std::strlen(expanded);
        if (length > kInstallerValueMax) return false;  // longer than a path: as if not found
        std::memcpy(path, expanded, length + 1);
    }
    UnwrapQuotes(path);
    return true;
}

int WinMain(platform::Handle, platform::Handle, char* commandTail, int) {
    char installer[kInstallerPathBuffer];
    if (LocateInstaller(installer)) {
        char* composed = *commandTail == '\0' ? DefaultIniArgument() : nullptr;
        const char* argument = composed != nullptr ? composed : commandTail;
        // Empty only when memory ran out for the default argument: nothing sound to say then.
        if (*argument == '\0') return 0;
        const char* argv[] = {installer, argument, nullptr};
        HandOffToProgram(installer, argv);  // returns only when nothing was started
        platform::Free(composed);
    }
    // Nothing started. Most often the device manager was removed and left its registration
    // behind, naming a file that is gone: the same advice fits.
    platform::MessageBoxA(nullptr, kFailureText, kFailureCaption, platform::kIconError);
    return 0;
}
