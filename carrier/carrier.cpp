#include "carrier/carrier.h"

#include <cstring>

#include "carrier/index.h"
#include "carrier/places.h"
#include "handoff/handoff.h"
#include "handoff/resolve.h"
#include "launcher/launcher.h"

namespace {

// Each file is written beside its old self under the first name, then moved in; its earlier
// copy is set aside under the second until the whole set is in. A CAB is never seen half
// written, and the installer never reads a mixed set.
constexpr char kFreshSuffix[] = ".setup-new";
constexpr char kAsideSuffix[] = ".setup-old";
static_assert(sizeof kAsideSuffix == sizeof kFreshSuffix);
constexpr std::size_t kFolderMax = 260;
// FILE_ATTRIBUTE_READONLY and _DIRECTORY: what couldn't be removed once set aside, and so is
// refused, with ERROR_ACCESS_DENIED, as replacing it would be.
constexpr std::uint32_t kNotReplaceable = 0x11;
constexpr std::uint32_t kAccessDenied = 5;

std::int64_t ResourceSizeOf(std::uint16_t id) {
    const unsigned char* data;
    std::uint32_t size;
    return platform::FindResourceData(id, &data, &size) ? size : -1;
}

bool FileExists(const char* path) {
    return platform::GetFileAttributesA(path) != platform::kInvalidAttributes;
}

// The package's files under a folder, the first rootLength bytes of `path`; `fresh`, `aside`
// and `other` have room for it, a '\', the longest name in the index and the suffix.
struct Package {
    const unsigned char* index;
    const unsigned char* end;
    char* path;
    char* fresh;
    char* aside;
    char* other;
    std::size_t rootLength;
    std::uint32_t count;

    char* PathOf(char* buffer, const char* name, const char* suffix) {
        std::memcpy(buffer, path, rootLength);
        buffer[rootLength] = '\\';
        std::size_t length = std::strlen(name);
        std::memcpy(buffer + rootLength + 1, name, length);
        std::memcpy(buffer + rootLength + 1 + length, suffix, std::strlen(suffix) + 1);
        return buffer;
    }

    // The nth file's name; the first is install.ini, which make package puts first.
    const char* Name(std::uint32_t n) {
        IndexEntry entry;
        const unsigned char* at = index;
        do at = NextIndexEntry(at, end, &entry); while (n-- != 0);
        return entry.name;
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

    // Ends what this run, or one that was stopped, began, install.ini last: every new name
    // removed; then, with the whole new set in (`keep`), each set-aside copy removed, else each
    // put back over what took its place in one step, and the files moved in from `movedFrom` on
    // that had no earlier copy removed. Only the first `setAside` files may have been set aside.
    // install.ini stays aside where another file couldn't be put back: no mixed set is read.
    void Settle(bool keep, std::uint32_t setAside, std::uint32_t movedFrom) {
        bool whole = true;
        for (std::uint32_t n = count; n-- != 0;) {
            const char* name = Name(n);
            platform::DeleteFileA(PathOf(fresh, name, kFreshSuffix));
            PathOf(aside, name, kAsideSuffix);
            PathOf(other, name, "");
            if (keep) {
                platform::DeleteFileA(aside);
            } else if (n < setAside && FileExists(aside)) {
                if (n != 0 || whole) whole = platform::MoveOver(aside, other) == 0 && whole;
            } else if (n >= movedFrom) {
                platform::DeleteFileA(other);
            }
        }
    }

    // Every file of the package or none: each written under its new name; each earlier copy
    // set aside, install.ini first, so that the installer finds none until the whole set is in;
    // each new file moved in, install.ini last; then the earlier copies removed. On a failure
    // the earlier copy is put back as it was, and nothing of ours is left beside it but folders
    // that were there. A run stopped at any point leaves the earlier copy, no install.ini (the
    // next run puts the set-aside copies back) or the whole new set, and names of ours that the
    // next run removes first. Files the package doesn't carry are never touched. 0, or the error.
    std::uint32_t Place() {
        // What a stopped run left: set-aside copies are stale once its install.ini is in.
        Settle(FileExists(PathOf(other, Name(0), "")), count, count);
        std::uint32_t error = 0, setAside = 0, movedFrom = count;
        for (std::uint32_t n = 0; n != count && error == 0; ++n) {
            const unsigned char* data;
            std::uint32_t size;
            platform::FindResourceData(static_cast<std::uint16_t>(kFirstFileResource + n), &data,
                                       &size);
            const char* name = Name(n);
            error = Folders(name, true);
            if (error == 0) {
                error = platform::WriteNewFile(PathOf(fresh, name, kFreshSuffix), data, size);
            }
        }
        while (error == 0 && setAside != count) {
            const char* name = Name(setAside);
            std::uint32_t attributes = platform::GetFileAttributesA(PathOf(other, name, ""));
            if (FileExists(PathOf(aside, name, kAsideSuffix))) {
                error = platform::kAlreadyExists;  // a stopped run's, still there: never replaced
            } else if (attributes != platform::kInvalidAttributes) {
                error = (attributes & kNotReplaceable) != 0
                            ? kAccessDenied
                            : platform::MoveOver(other, aside);
            }
            setAside += error == 0;
        }
        while (error == 0 && movedFrom != 0) {
            const char* name = Name(movedFrom - 1);
            error = platform::MoveOver(PathOf(fresh, name, kFreshSuffix), PathOf(other, name, ""));
            movedFrom -= error == 0;
        }
        Settle(error == 0, setAside, movedFrom);
        for (std::uint32_t n = 0; n != count && error != 0; ++n) Folders(Name(n), false);
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
    IndexEntry first;
    if (!LocateInstaller(installer) ||
        !ResolveProgramFile(installer, platform::IsDBCSLeadByte, FileExists, resolved)) {
        // Nothing written for an installer that isn't there.
    } else if (!carries || !IndexIsSound(package.index, indexSize, ResourceSizeOf) ||
               (folder = PackageFolderLength(package.index, indexSize)) == 0) {
        message = kDamagedText;
    } else {
        // Four paths: the folder written into, a file's new name in it, its earlier copy's
        // name set aside, its own.
        std::size_t room = kFolderMax + 1 + indexSize + sizeof kFreshSuffix;
        package.path = static_cast<char*>(platform::Allocate(4 * room));
        if (package.path == nullptr) return 0;
        package.fresh = package.path + room;
        package.aside = package.fresh + room;
        package.other = package.aside + room;
        for (const unsigned char* at = package.index; at != package.end; ++package.count) {
            at = NextIndexEntry(at, package.end, &first);
        }
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
        char* named = package.PathOf(package.other, package.Name(0), "");
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
