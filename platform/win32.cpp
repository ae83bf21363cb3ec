// The platform operations on Win32: each is the call of the same name, or a few of them.
#include "platform/platform.h"
#include "platform/spawn.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace platform {
namespace {

// A KERNEL32 function looked up, not imported: older Windows lacks it and would refuse to load
// setup.exe if it were imported.
void* Kernel32Function(const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), name));
}

template <typename Function>
Function Kernel32(const char* name) {
    return reinterpret_cast<Function>(Kernel32Function(name));
}

}  // namespace

void RestrictDllSearch() {
    auto set = Kernel32<BOOL(WINAPI*)(DWORD)>("SetDefaultDllDirectories");
    if (set != nullptr) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

Key LocalMachine() { return HKEY_LOCAL_MACHINE; }

Handle GetModuleHandleA() { return ::GetModuleHandleA(nullptr); }
char* GetCommandLineA() { return ::GetCommandLineA(); }

int StartupShowState() {
    STARTUPINFOA info;
    ::GetStartupInfoA(&info);
    return (info.dwFlags & STARTF_USESHOWWINDOW) != 0 ? info.wShowWindow : SW_SHOWDEFAULT;
}

bool IsDBCSLeadByte(unsigned char byte) { return ::IsDBCSLeadByte(byte) != FALSE; }

long RegOpenKeyExA(Key root, const char* subkey, std::uint32_t options, std::uint32_t access,
                   Key* key) {
    return ::RegOpenKeyExA(static_cast<HKEY>(root), subkey, options, access,
                           reinterpret_cast<HKEY*>(key));
}

long RegQueryValueExA(Key key, const char* name, std::uint32_t* type, unsigned char* data,
                      std::uint32_t* size) {
    return ::RegQueryValueExA(static_cast<HKEY>(key), name, nullptr,
                              reinterpret_cast<DWORD*>(type), data, reinterpret_cast<DWORD*>(size));
}

long RegCloseKey(Key key) { return ::RegCloseKey(static_cast<HKEY>(key)); }

std::uint32_t ExpandEnvironmentStringsA(const char* source, char* target, std::uint32_t size) {
    return ::ExpandEnvironmentStringsA(source, target, size);
}

std::uint32_t GetCurrentDirectoryA(std::uint32_t size, char* buffer) {
    return ::GetCurrentDirectoryA(size, buffer);
}

std::uint32_t GetCurrentDirectoryW(std::uint32_t size, WideChar* buffer) {
    auto get = Kernel32<DWORD(WINAPI*)(DWORD, LPWSTR)>("GetCurrentDirectoryW");
    return get != nullptr ? get(size, reinterpret_cast<LPWSTR>(buffer)) : 0;
}

std::uint32_t GetShortPathNameW(const WideChar* path, WideChar* buffer, std::uint32_t size) {
    auto get = Kernel32<DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD)>("GetShortPathNameW");
    return get != nullptr ? get(reinterpret_cast<LPCWSTR>(path), reinterpret_cast<LPWSTR>(buffer),
                                size)
                          : 0;
}

std::uint32_t WideCharToMultiByte(const WideChar* text, char* buffer, std::uint32_t size,
                                  bool* lossy) {
    // A look-alike ("L" for a stroked L) would name another folder, so none is allowed. Where
    // the flag or the default-character report is refused (older Windows, a UTF-8 code page)
    // the call fails, and the ANSI name is kept.
    BOOL usedDefault = FALSE;
    int written = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS,
                                        reinterpret_cast<LPCWCH>(text), -1, buffer,
                                        static_cast<int>(size), nullptr, &usedDefault);
    *lossy = usedDefault != FALSE;
    return written > 0 ? static_cast<std::uint32_t>(written) : 0;
}

std::uint32_t GetFileAttributesA(const char* path) { return ::GetFileAttributesA(path); }

void StandardHandleSlots(HandleSlot (&slots)[kStandardSlots]) {
    static constexpr DWORD kWhich[kStandardSlots] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
                                                     STD_ERROR_HANDLE};
    for (std::size_t i = 0; i < kStandardSlots; ++i) {
        HANDLE handle = ::GetStdHandle(kWhich[i]);
        std::uint8_t flags = 0;
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            switch (::GetFileType(handle)) {
                case FILE_TYPE_CHAR: flags = kSlotOpen | kSlotDevice | kSlotText; break;
                case FILE_TYPE_PIPE: flags = kSlotOpen | kSlotPipe | kSlotText; break;
                case FILE_TYPE_DISK: flags = kSlotOpen | kSlotText; break;
                default: break;
            }
        }
        slots[i] = {reinterpret_cast<std::uintptr_t>(handle), flags};
    }
}

bool CreateProcessA(const char* application, char* commandLine, const unsigned char* reserved,
                    std::uint16_t reservedSize) {
    PROCESS_INFORMATION process;
    return Spawn(application, commandLine, reserved, reservedSize, &process);
}

void ExitProcess(std::uint32_t status) { ::ExitProcess(status); }

int MessageBoxA(Handle owner, const char* text, const char* caption, std::uint32_t style) {
    // USER32 is loaded here, on the failure road alone: importing it would slow every start.
    using MessageBoxFn = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
    HMODULE user32 = ::LoadLibraryA("user32.dll");
    auto show = user32 != nullptr ? reinterpret_cast<MessageBoxFn>(reinterpret_cast<void*>(
                                        ::GetProcAddress(user32, "MessageBoxA")))
                                  : nullptr;
    return show != nullptr ? show(static_cast<HWND>(owner), text, caption, style) : 0;
}

void* Allocate(std::size_t size) { return ::HeapAlloc(::GetProcessHeap(), 0, size); }

void Free(void* block) {
    if (block != nullptr) ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace platform
