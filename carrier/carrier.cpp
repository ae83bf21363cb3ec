#include "carrier/carrier.h"

#include <cstring>

#include "carrier/index.h"
#include "handoff/handoff.h"
#include "launcher/launcher.h"

namespace {

constexpr char kFolderPrefix[] = "setup-";
constexpr std::size_t kRandomBytes = 8;  // 64 bits, as 16 hexadecimal digits
constexpr int kFolderTries = 16;

std::int64_t ResourceSizeOf(std::uint16_t id) {
    const unsigned char* data;
    std::uint32_t size;
    return platform::FindResourceData(id, &data, &size) ? size : -1;
}

// The folder unpacked into and, after it, room for a '\' and the longest name in the index.
struct Package {
    const unsigned char* index;
    const unsigned char* end;
    char* path;
    std::size_t folderLength;
    std::uint32_t written;  // files written, in index order

    char* PathOf(const char* name) {
        path[folderLength] = '\\';
        std::memcpy(path + folderLength + 1, name, std::strlen(name) + 1);
        return path;
    }

    // Each folder on the name's path: made, outermost first (one made for an earlier name is
    // there already), or removed, deepest first.
    std::uint32_t Folders(const char* name, bool make) {
        std::size_t length = std::strlen(PathOf(name));
        for (std::size_t n = folderLength + 1; n != length; ++n) {
            std::size_t i = make ? n : length + folderLength - n;
            if (path[i] != '\\') continue;
            path[i] = '\0';
            if (!make) {
                platform::RemoveDirectoryA(path);
            } else if (std::uint32_t error = platform::CreateDirectoryA(path);
                       error != 0 && error != platform::kAlreadyExists) {
                return error;
            }
            path[i] = '\\';
        }
        return 0;
    }

    // Writes each file straight from its resource; stops at the first failure with its code.
    std::uint32_t Unpack() {
        std::uint16_t id = kFirstFileResource;
        IndexEntry entry;
        for (const unsigned char* at = index; at != end; ++id, ++written) {
            at = NextIndexEntry(at, end, &entry);
            const unsigned char* data;
            std::uint32_t size;
            platform::FindResourceData(id, &data, &size);
            std::uint32_t error = Folders(entry.name, true);
            if (error == 0) error = platform::WriteNewFile(PathOf(entry.name), data, size);
            if (error != 0) return error;
        }
        return 0;
    }

    // Exactly what Unpack made: the files written, then every folder on their paths, then the
    // package's own folder. A folder the installer left something in stays.
    void Remove() {
        IndexEntry entry;
        std::uint32_t n = 0;
        for (const unsigned char* at = index; at != end; ++n) {
            at = NextIndexEntry(at, end, &entry);
            if (n < written) platform::DeleteFileA(PathOf(entry.name));
        }
        for (const unsigned char* at = index; at != end;) {
            at = NextIndexEntry(at, end, &entry);
            Folders(entry.name, false);
        }
        path[folderLength] = '\0';
        platform::RemoveDirectoryA(path);
    }
};

// A new folder under the temporary folder, named by random bytes; a name already taken is never
// used, another is tried. Returns 0, or the error that stopped it with the name last tried in
// package.path.
std::uint32_t MakeFolder(Package& package) {
    std::uint32_t error = 0;
    unsigned char random[kRandomBytes] = {};
    for (int tries = 0; tries < kFolderTries; ++tries) {
        char* name = package.path + package.folderLength;
        std::memcpy(name, kFolderPrefix, sizeof kFolderPrefix - 1);
        name += sizeof kFolderPrefix - 1;
        platform::RandomBytes(random, sizeof random);
        for (unsigned char byte : random) {
            *name++ = "0123456789abcdef"[byte >> 4];
            *name++ = "0123456789abcdef"[byte & 15];
        }
        *name = '\0';
        error = platform::CreateDirectoryA(package.path);
        if (error != platform::kAlreadyExists) break;
    }
    package.folderLength = std::strlen(package.path);
    return error;
}

// The unpacking failure, naming the folder and the system's reason.
void ShowUnpackFailure(const char* folder, std::uint32_t error) {
    constexpr std::uint32_t kReasonMax = 512;
    std::size_t length = sizeof kUnpackText - 1 + std::strlen(folder);
    char* text = static_cast<char*>(platform::Allocate(length + 5 + kReasonMax));
    if (text == nullptr) return;
    std::memcpy(text, kUnpackText, sizeof kUnpackText - 1);
    std::memcpy(text + sizeof kUnpackText - 1, folder, length - (sizeof kUnpackText - 1));
    std::memcpy(text + length, ".\r\n\r\n", 5);
    if (platform::FormatMessageA(error, text + length + 5, kReasonMax) == 0) {
        text[length + 1] = '\0';  // no reason known: the sentence alone
    }
    platform::MessageBoxA(nullptr, text, kFailureCaption, platform::kIconError);
    platform::Free(text);
}

}  // namespace

int CarrierMain(char* commandTail) {
    Package package = {};
    std::uint32_t indexSize = 0;
    bool carries = platform::FindResourceData(kIndexResource, &package.index, &indexSize);
    package.end = package.index + indexSize;
    const char* message = kFailureText;
    char installer[kInstallerPathBuffer];
    if (!LocateInstaller(installer)) {
        // Nothing unpacked for an installer that isn't there.
    } else if (!carries || !IndexIsSound(package.index, indexSize, ResourceSizeOf)) {
        message = kDamagedText;
    } else {
        std::uint32_t tempLength = platform::GetTempPathA(0, nullptr);
        // The temporary folder ends with a '\'; after it the folder's own name.
        package.path = static_cast<char*>(platform::Allocate(
            tempLength + sizeof kFolderPrefix + 2 * kRandomBytes + indexSize + 1));
        if (package.path == nullptr) return 0;
        std::uint32_t got = platform::GetTempPathA(tempLength, package.path);
        package.folderLength = got != 0 && got < tempLength ? got : 0;
        package.path[package.folderLength] = '\0';
        // No temporary folder: never one made in the current directory instead.
        constexpr std::uint32_t kPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
        std::uint32_t error = package.folderLength != 0 ? MakeFolder(package) : kPathNotFound;
        if (error != 0) {
            ShowUnpackFailure(package.path, error);
            return 0;
        }
        error = package.Unpack();
        char* argument = nullptr;
        if (error == 0) {
            package.path[package.folderLength] = '\0';
            argument = static_cast<char*>(
                platform::Allocate(IniArgumentSize(package.folderLength)));
        }
        if (argument != nullptr) {
            ComposeIniArgument(package.path, package.folderLength, argument);
            // The command tail, word for word, goes before the install argument.
            const char* argv[] = {installer, *commandTail != '\0' ? commandTail : argument,
                                  argument, nullptr};
            if (*commandTail == '\0') argv[2] = nullptr;
            message = RunProgram(installer, argv) == 0 ? nullptr : kFailureText;
            platform::Free(argument);
        }
        package.Remove();
        if (error != 0) {
            ShowUnpackFailure(package.path, error);
            message = nullptr;
        }
        platform::Free(package.path);
    }
    if (message != nullptr) {
        platform::MessageBoxA(nullptr, message, kFailureCaption, platform::kIconError);
    }
    return 0;
}
