#include "tests/fake/fake_platform.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "carrier/carrier.h"
#include "launcher/launcher.h"

namespace fake {
namespace {

World current;
std::jmp_buf processEnd;
std::uint32_t exitStatus;
char openKey;  // the address stands for the key handle
std::set<void*> blocks;

// The UTF-16 units of ANSI text: a lead byte and the byte after it are one character.
std::uint32_t Units(const std::string& text) {
    std::uint32_t units = 0;
    for (std::size_t i = 0; i < text.size(); ++i, ++units) {
        if (current.leadBytes.count(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ++i;
    }
    return units;
}

// What a call that counts ANSI text returns for it, the NUL included or not.
std::uint32_t Count(const std::string& text, bool units, bool withNul) {
    return (units ? Units(text) : static_cast<std::uint32_t>(text.size())) + (withNul ? 1 : 0);
}

// Wide text in the ANSI code page, '?' for a character it lacks, as the platform's ANSI calls
// see it.
std::string ToAnsi(const std::u16string& text, bool* lossy) {
    std::string out;
    for (char16_t c : text) {
        auto found = current.codePage.find(c);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (found != current.codePage.end()) {
            out += found->second;
        } else {
            out += '?';
            *lossy = true;
        }
    }
    return out;
}

std::string AnsiDirectory() {
    bool lossy = false;
    return current.wideDirectory ? ToAnsi(*current.wideDirectory, &lossy)
                                 : *current.currentDirectory;
}

std::u16string WideDirectory() {
    if (current.wideDirectory) return *current.wideDirectory;
    std::u16string out;
    for (char c : *current.currentDirectory) out += static_cast<unsigned char>(c);
    return out;
}

// Writes text and its NUL as the platform's string calls do: `size` bytes at most, and what the
// buffer held after that stays (here: bytes that are never a NUL, as a stack may hold).
template <typename Char>
void Fill(const std::basic_string<Char>& text, Char* target, std::size_t size) {
    std::size_t written = std::min(text.size() + 1, size);
    std::copy(text.c_str(), text.c_str() + written, target);
    std::fill(target + written, target + size, static_cast<Char>(0x7F));
}

}  // namespace

World& world() { return current; }
World& Reset() { return current = World{}; }
std::size_t BlocksLive() { return blocks.size(); }

Outcome RunWinMain(const std::string& tail, bool carrier) {
    std::vector<char> buffer(tail.begin(), tail.end());
    buffer.push_back('\0');
    if (setjmp(processEnd) != 0) return {true, exitStatus};
    int result =
        carrier ? CarrierMain(buffer.data()) : WinMain(nullptr, nullptr, buffer.data(), 10);
    return {false, static_cast<std::uint32_t>(result)};
}

bool IsCodePage932LeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

}  // namespace fake

namespace platform {

using fake::current;
using fake::Count;
using fake::Fill;
using fake::AnsiDirectory;
using fake::WideDirectory;
using fake::ToAnsi;

Key LocalMachine() {
    static char machine;  // the address stands for the root key
    return &machine;
}
void RestrictDllSearch() {}
Handle GetModuleHandleA() { return nullptr; }
char* GetCommandLineA() { return nullptr; }
int StartupShowState() { return 10; }
bool IsDBCSLeadByte(unsigned char byte) { return current.leadBytes.count(byte) != 0; }

long RegOpenKeyExA(Key root, const char* subkey, std::uint32_t options, std::uint32_t access,
                   Key* key) {
    current.calls.push_back("open " + std::to_string(access));
    bool known = root == LocalMachine() && std::strcmp(subkey, kInstallerKey) == 0 && options == 0;
    bool present = access == kKeyRead ? current.keyInDefaultView
                 : access == (kKeyRead | kKeyWow64_64) && current.keyIn64BitView;
    if (!known || !present) return 2;  // ERROR_FILE_NOT_FOUND
    ++current.keysOpen;
    *key = &fake::openKey;
    return 0;
}

long RegQueryValueExA(Key key, const char* name, std::uint32_t* type, unsigned char* data,
                      std::uint32_t* size) {
    if (key != &fake::openKey || name != nullptr || !current.value) return 2;
    const std::string& value = *current.value;
    bool fits = value.size() <= *size;
    *size = static_cast<std::uint32_t>(value.size());
    if (!fits) return 234;  // ERROR_MORE_DATA
    std::memcpy(data, value.data(), value.size());
    *size = Count(value, current.countsUnits, false);
    *type = current.valueType;
    return 0;
}

long RegCloseKey(Key key) {
    current.calls.push_back("close");
    if (key == &fake::openKey) --current.keysOpen;
    return 0;
}

std::uint32_t ExpandEnvironmentStringsA(const char* source, char* target, std::uint32_t size) {
    std::string out, text = source;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        auto found = close != std::string::npos
                         ? current.environment.find(text.substr(i + 1, close - i - 1))
                         : current.environment.end();
        if (found == current.environment.end()) {
            out += text[i];
        } else {
            out += found->second;
            i = close;
        }
    }
    // As Wine's does: expanded in UTF-16 units into a buffer of `size` units, converted into
    // `size` bytes (cut short, without a NUL, when the bytes don't fit), counted in units.
    std::uint32_t units = Count(out, true, true) + (current.expansionSpareByte ? 1 : 0);
    if (units <= size) Fill(out, target, size);
    return units;
}

std::uint32_t GetCurrentDirectoryA(std::uint32_t size, char* buffer) {
    if (!current.currentDirectory && !current.wideDirectory) return 0;
    const std::string directory = AnsiDirectory();
    if (directory.size() + 1 > size) return static_cast<std::uint32_t>(directory.size() + 1);
    Fill(directory, buffer, size);
    return Count(directory, current.countsUnits, false);
}

std::uint32_t GetCurrentDirectoryW(std::uint32_t size, WideChar* buffer) {
    if (!current.wideCalls || (!current.currentDirectory && !current.wideDirectory)) return 0;
    const std::u16string directory = WideDirectory();
    if (directory.size() + 1 > size) return static_cast<std::uint32_t>(directory.size() + 1);
    Fill(directory, buffer, size);
    return static_cast<std::uint32_t>(directory.size());
}

std::uint32_t GetShortPathNameW(const WideChar* path, WideChar* buffer, std::uint32_t size) {
    if (!current.wideCalls) return 0;
    // Without a short name of its own, a path comes back as it is.
    auto found = current.shortNames.find(path);
    const std::u16string name = found != current.shortNames.end() ? found->second : path;
    if (name.size() + 1 > size) return static_cast<std::uint32_t>(name.size() + 1);
    Fill(name, buffer, size);
    return static_cast<std::uint32_t>(name.size());
}

std::uint32_t WideCharToMultiByte(const WideChar* text, char* buffer, std::uint32_t size,
                                  bool* lossy) {
    *lossy = false;
    const std::string out = ToAnsi(text, lossy);
    if (size == 0) return static_cast<std::uint32_t>(out.size() + 1);
    Fill(out, buffer, size);
    return out.size() + 1 <= size ? static_cast<std::uint32_t>(out.size() + 1) : 0;
}

std::uint32_t GetFileAttributesA(const char* path) {
    current.calls.push_back(std::string("probe ") + path);
    if (current.folders.count(path) != 0) return 0x10;  // FILE_ATTRIBUTE_DIRECTORY
    bool file = current.files.count(path) != 0 || current.disk.count(path) != 0;
    return !file ? kInvalidAttributes : current.readOnly.count(path) != 0 ? 0x21 : 0x20;
}

void StandardHandleSlots(HandleSlot (&slots)[kStandardSlots]) {
    std::memcpy(slots, current.standardHandles, sizeof slots);
}

bool CreateProcessA(const char* application, char* commandLine, const unsigned char* reserved,
                    std::uint16_t reservedSize) {
    if (!current.createSucceeds) return false;
    current.started = fake::Started{application, commandLine, {reserved, reserved + reservedSize}};
    return true;
}

void ExitProcess(std::uint32_t status) {
    // Ending the process releases what it still holds.
    for (void* block : fake::blocks) std::free(block);
    fake::blocks.clear();
    fake::exitStatus = status;
    std::longjmp(fake::processEnd, 1);
}

int MessageBoxA(Handle owner, const char* text, const char* caption, std::uint32_t style) {
    current.messages.push_back({owner, text, caption, style});
    return 1;
}

void* Allocate(std::size_t size) {
    if (current.allocationsBeforeFailure == 0) return nullptr;
    if (current.allocationsBeforeFailure > 0) --current.allocationsBeforeFailure;
    void* block = std::malloc(size);
    fake::blocks.insert(block);
    return block;
}

void Free(void* block) {
    if (block == nullptr) return;
    fake::blocks.erase(block);
    std::free(block);
}

// The carrying launcher's calls, with the platform's refusals: a file or folder where a new one
// goes, a missing parent folder, a read-only file deleted or replaced, a folder replaced.
namespace {

bool Exists(const std::string& path) {
    return current.folders.count(path) != 0 || current.disk.count(path) != 0;
}
bool ParentExists(const std::string& path) {
    return current.folders.count(path.substr(0, path.rfind('\\'))) != 0;
}
bool StepFails() { return current.stepsBeforeFailure >= 0 && current.stepsBeforeFailure-- == 0; }

}  // namespace

bool FindResourceData(std::uint16_t id, const unsigned char** data, std::uint32_t* size) {
    auto found = current.resources.find(id);
    if (found == current.resources.end()) return false;
    *data = reinterpret_cast<const unsigned char*>(found->second.data());
    *size = static_cast<std::uint32_t>(found->second.size());
    return true;
}

bool AppDataFolder(char* buffer) {
    if (current.appData) Fill(*current.appData, buffer, 260);
    return current.appData.has_value();
}

std::uint32_t CreateDirectoryA(const char* path) {
    if (Exists(path)) return kAlreadyExists;
    if (!ParentExists(path)) return 3;  // ERROR_PATH_NOT_FOUND
    current.folders.insert(path);
    return 0;
}

void RemoveDirectoryA(const char* path) {
    const std::string inside = std::string(path) + '\\';
    auto within = [&](const std::string& p) { return p.rfind(inside, 0) == 0; };
    auto fileWithin = [&](const auto& file) { return within(file.first); };
    if (std::none_of(current.disk.begin(), current.disk.end(), fileWithin) &&
        std::none_of(current.folders.begin(), current.folders.end(), within)) {
        current.folders.erase(path);
    }
}

std::uint32_t WriteNewFile(const char* path, const unsigned char* data, std::uint32_t size) {
    if (Exists(path)) return 80;      // ERROR_FILE_EXISTS
    if (!ParentExists(path)) return 3;
    if (StepFails()) return 112;      // ERROR_DISK_FULL
    current.disk[path].assign(reinterpret_cast<const char*>(data), size);
    return 0;
}

void DeleteFileA(const char* path) {
    if (current.readOnly.count(path) == 0) current.disk.erase(path);
}

std::uint32_t MoveOver(const char* from, const char* to) {
    if (current.folders.count(from) != 0) {  // a folder is renamed, with the files in it
        if (Exists(to)) return 5;
        const std::string inside = std::string(from) + '\\';
        current.folders.erase(from), current.folders.insert(to);
        for (const auto& [path, bytes] : std::map<std::string, std::string>(current.disk)) {
            if (path.rfind(inside, 0) != 0) continue;
            current.disk[to + path.substr(inside.size() - 1)] = bytes;
            current.disk.erase(path);
        }
        return 0;
    }
    if (current.disk.count(from) == 0) return 2;  // ERROR_FILE_NOT_FOUND
    if (!current.moveFileEx) DeleteFileA(to);
    if (current.folders.count(to) != 0 || current.readOnly.count(to) != 0) return 5;
    if (!current.moveFileEx && current.disk.count(to) != 0) return kAlreadyExists;
    if (!ParentExists(to)) return 3;
    if (StepFails()) return 32;  // ERROR_SHARING_VIOLATION: held open
    current.disk[to] = current.disk[from];
    current.disk.erase(from);
    if (current.readOnly.erase(from) != 0) current.readOnly.insert(to);
    return 0;
}

std::uint32_t FormatMessageA(std::uint32_t, char*, std::uint32_t) { return 0; }

}  // namespace platform
