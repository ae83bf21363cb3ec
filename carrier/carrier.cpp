#include "carrier/carrier.h"

#include <cstring>

#include "carrier/index.h"
#include "carrier/places.h"
#include "handoff/handoff.h"
#include "handoff/resolve.h"
#include "launcher/launcher.h"

namespace {

// Each file is written beside its old self under this name first, then moved over it: a CAB is
// never seen at its old size with new bytes, nor half written.
constexpr char kFreshSuffix[] = ".setup-new";
constexpr std::size_t kFolderMax = 260;

std::int64_t ResourceSizeOf(std::uint16_t id) {
    const unsigned char* data;
    std::uint32_t size;
    return platform::FindResourceData(id, &data, &size) ? size : -1;
}

bool FileExists(const char* path) {
    return platform::GetFileAttributesA(path) != platform::kInvalidAttributes;
}

// The package's files under a folder, the first rootLength bytes of `path`; `fresh` and `other`
// have room for it, a '\', the longest name in the index and the suffix.
struct Package {
    const unsigned char* index;
    const unsigned char* end;
    char* path;
    char* fresh;
    char* other;
    std::size_t rootLength;

    char* PathOf(char* buffer, const char* name, const char* suffix) {
        std::memcpy(buffer, path, rootLength);
        buffer[rootLength] = '\\';
        std::size_t length = std::strlen(name);
        std::memcpy(buffer + rootLength + 1, name, length);
        std::memcpy(buffer + rootLength + 1 + length, suffix, std::strlen(suffix) + 1);
        return buffer;
    }

    // Each folder on the name's path: made, outermost first (one there already is used), or
    // removed where empty, deepest first.
    std::uint32_t Folders(const char* name, bool make) {
        char* at = PathOf(other, name, "");
        std::size_t length = std::strlen(at);
        for (std::size_t n = rootLength + 1; n != length; ++n) {
            std::size_t i = make ? n : length + rootLength - n;
            if (at[i] != '\\') continue;
            at[i] = '\0';
            if (!make) {
                platform::RemoveDirectoryA(at);
            } else if (std::uint32_t error = platform::CreateDirectoryA(at);
                       error != 0 && error != platform::kAlreadyExists) {
                return error;
            }
            at[i] = '\\';
        }
        return 0;
    }

    // Every file under its new name, then each moved over its old self; on a failure the new
    // names are removed, with the folders left empty, and the earlier copy stays as it was.
    // Files in the folder that the package doesn't carry are never touched. 0, or the error.
    std::uint32_t Place() {
        std::uint32_t error = 0, written = 0, n = 0;
        std::uint16_t id = kFirstFileResource;
        IndexEntry entry;
        for (const unsigned char* at = index; at != end && error == 0; ++id) {
            at = NextIndexEntry(at, end, &entry);
            const unsigned char* data;
            std::uint32_t size;
            platform::FindResourceData(id, &data, &size);
            error = Folders(entry.name, true);
            if (error != 0) break;
            PathOf(fresh, entry.name, kFreshSuffix);
            platform::DeleteFileA(fresh);  // our own name, left by a run that was stopped
            error = platform::WriteNewFile(fresh, data, size);
            if (error == 0) ++written;
        }
        for (const unsigned char* at = index; at != end && n != written; ++n) {
            at = NextIndexEntry(at, end, &entry);
            PathOf(fresh, entry.name, kFreshSuffix);
            if (error == 0) error = platform::MoveOver(fresh, PathOf(other, entry.name, ""));
            if (error != 0) platform::DeleteFileA(fresh);
        }
        if (error != 0) {
            for (const unsigned char* at = index; at != end;) {
                at = NextIndexEntry(at, end, &entry);
                Folders(entry.name, false);
            }
        }
        return error;
    }
};

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
    char resolved[ResolvedNameSize(kInstallerPathBuffer)];
    std::size_t folder = 0;
    if (!LocateInstaller(installer) ||
        !ResolveProgramFile(installer, platform::IsDBCSLeadByte, FileExists, resolved)) {
        // Nothing written for an installer that isn't there.
    } else if (!carries || !IndexIsSound(package.index, indexSize, ResourceSizeOf) ||
               (folder = PackageFolderLength(package.index, indexSize)) == 0) {
        message = kDamagedText;
    } else {
        // Three paths: the folder written into, a file's new name in it, its own.
        std::size_t room = kFolderMax + 1 + indexSize + sizeof kFreshSuffix;
        package.path = static_cast<char*>(platform::Allocate(3 * room));
        if (package.path == nullptr) return 0;
        package.fresh = package.path + room;
        package.other = package.fresh + room;
        // Where the installer keeps using the files: its own folder, else the user's.
        std::uint32_t error = 3;  // ERROR_PATH_NOT_FOUND: no folder to try
        package.rootLength = FolderLength(installer, platform::IsDBCSLeadByte);
        if (package.rootLength != 0) {
            std::memcpy(package.path, installer, package.rootLength);
            error = package.Place();
        }
        if (error != 0 && platform::AppDataFolder(package.path)) {
            package.rootLength = std::strlen(package.path);
            error = package.Place();
        }
        // The package's own folder, the first part of every name, holds its install.ini.
        IndexEntry first;
        NextIndexEntry(package.index, package.end, &first);
        char* named = package.PathOf(package.other, first.name, "");
        std::size_t length = package.rootLength + 1 + folder;
        named[length] = '\0';
        char* argument =
            error == 0 ? static_cast<char*>(platform::Allocate(IniArgumentSize(length))) : nullptr;
        if (error != 0) {
            ShowUnpackFailure(named, error);
            message = nullptr;
        } else if (argument != nullptr) {
            ComposeIniArgument(named, length, argument);
            // The command tail, word for word, goes before the install argument. The installer
            // owns the files from here on: nothing waits to remove them.
            const char* argv[] = {installer, *commandTail != '\0' ? commandTail : argument,
                                  argument, nullptr};
            if (*commandTail == '\0') argv[2] = nullptr;
            HandOffToProgram(installer, argv);
        }
    }
    if (message != nullptr) {
        platform::MessageBoxA(nullptr, message, kFailureCaption, platform::kIconError);
    }
    return 0;
}
