#include "tests/fake/fake_platform.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "launcher/launcher.h"

namespace fake {
namespace {

World current;
std::jmp_buf processEnd;
std::uint32_t exitStatus;
char openKey;  // the address stands for the key handle
std::set<void*> blocks;

}  // namespace

World& world() { return current; }
World& Reset() { return current = World{}; }
std::size_t BlocksLive() { return blocks.size(); }

Outcome RunWinMain(const std::string& tail) {
    std::vector<char> buffer(tail.begin(), tail.end());
    buffer.push_back('\0');
    if (setjmp(processEnd) != 0) return {true, exitStatus};
    int result = WinMain(nullptr, nullptr, buffer.data(), 10);
    return {false, static_cast<std::uint32_t>(result)};
}

bool IsCodePage932LeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

}  // namespace fake

namespace platform {

using fake::current;

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
    if (out.size() + 1 <= size) std::memcpy(target, out.c_str(), out.size() + 1);
    return static_cast<std::uint32_t>(out.size() + 1);
}

std::uint32_t GetCurrentDirectoryA(std::uint32_t size, char* buffer) {
    if (!current.currentDirectory) return 0;
    const std::string& directory = *current.currentDirectory;
    if (directory.size() + 1 > size) return static_cast<std::uint32_t>(directory.size() + 1);
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<std::uint32_t>(directory.size());
}

std::uint32_t GetFileAttributesA(const char* path) {
    current.calls.push_back(std::string("probe ") + path);
    return current.files.count(path) != 0 ? 0x20 : kInvalidAttributes;
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

}  // namespace platform
