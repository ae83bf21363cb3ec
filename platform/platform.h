// The platform operations the launcher needs, and nothing more.
//
// setup.exe links platform/win32.cpp, which forwards each one to the Win32 call of the same name;
// the host tests link a scripted fake instead, so the launcher's whole flow runs on Linux.
// The types are spelled without <windows.h> so the launcher's own code never includes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using Key = void*;
using Handle = void*;

// HKEY_LOCAL_MACHINE, as the platform spells it (sign-extended on 64-bit Windows).
Key LocalMachine();

constexpr std::uint32_t kKeyRead = 0x20019;       // KEY_READ
constexpr std::uint32_t kKeyWow64_64 = 0x0100;    // KEY_WOW64_64KEY
constexpr std::uint32_t kRegExpandSz = 2;         // REG_EXPAND_SZ
constexpr std::uint32_t kIconError = 0x10;        // MB_ICONERROR
constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;

// One slot of the handle table a child built on the C runtime inherits through the start
// information's reserved fields.
struct HandleSlot {
    std::uintptr_t handle;
    std::uint8_t flags;   // 0: slot not in use
};
constexpr std::uint8_t kSlotOpen = 0x01;       // FOPEN
constexpr std::uint8_t kSlotPipe = 0x08;       // FPIPE
constexpr std::uint8_t kSlotNoInherit = 0x10;  // FNOINHERIT
constexpr std::uint8_t kSlotDevice = 0x40;     // FDEV
constexpr std::uint8_t kSlotText = 0x80;       // FTEXT
constexpr std::size_t kStandardSlots = 3;

// Whether a byte opens a two-byte character in the process's ANSI code page. The pure rules take
// it as a parameter so tests can hand them a double-byte table.
using LeadByteTest = bool (*)(unsigned char byte);

// Process start-up.
void RestrictDllSearch();   // keeps planted DLLs beside setup.exe from being loaded
Handle GetModuleHandleA();  // of the running executable
char* GetCommandLineA();
int StartupShowState();     // what WinMain is handed as its show state
bool IsDBCSLeadByte(unsigned char byte);

// Registry, read only.
long RegOpenKeyExA(Key root, const char* subkey, std::uint32_t options, std::uint32_t access, Key* key);
long RegQueryValueExA(Key key, const char* name, std::uint32_t* type, unsigned char* data,
                      std::uint32_t* size);
long RegCloseKey(Key key);
std::uint32_t ExpandEnvironmentStringsA(const char* source, char* target, std::uint32_t size);

// Files and processes. Counts of ANSI text may be in UTF-16 units rather than bytes where the
// text is double-byte: the launcher reads them only for success.
std::uint32_t GetCurrentDirectoryA(std::uint32_t size, char* buffer);
// The wide (UTF-16) view of the current directory, for a folder whose name the ANSI code page
// can't hold. Both calls return 0 where the platform has no wide file calls (Windows 95, 98, Me).
using WideChar = char16_t;
std::uint32_t GetCurrentDirectoryW(std::uint32_t size, WideChar* buffer);
std::uint32_t GetShortPathNameW(const WideChar* path, WideChar* buffer, std::uint32_t size);
// Wide text with its NUL into the ANSI code page, with no look-alike substitutes; `lossy` tells
// whether a character had no equivalent. Returns bytes written (or needed, for size 0); 0 on
// failure.
std::uint32_t WideCharToMultiByte(const WideChar* text, char* buffer, std::uint32_t size,
                                  bool* lossy);
std::uint32_t GetFileAttributesA(const char* path);
void StandardHandleSlots(HandleSlot (&slots)[kStandardSlots]);
// CreateProcessA with inherited handles, creation flags 0, the caller's environment and current
// directory, and a start information that is all zero but for its size and reserved fields.
bool CreateProcessA(const char* application, char* commandLine, const unsigned char* reserved,
                    std::uint16_t reservedSize);
[[noreturn]] void ExitProcess(std::uint32_t status);

// The one user interface: the failure message.
int MessageBoxA(Handle owner, const char* text, const char* caption, std::uint32_t style);

// Process heap; Allocate returns null when out of memory.
void* Allocate(std::size_t size);
void Free(void* block);

// Carrying a package: only the carrying launcher (carrier/) calls these; platform/carrier.cpp
// implements them. Calls that can fail return 0 for success, else the system's error code.
constexpr std::uint32_t kAlreadyExists = 183;  // ERROR_ALREADY_EXISTS

// The RT_RCDATA resource `id` of the running executable, as mapped: false when there is none.
bool FindResourceData(std::uint16_t id, const unsigned char** data, std::uint32_t* size);
// The user's local application data folder (the roaming one on systems without one), at most
// 260 bytes with its NUL; false where the system has none to say.
bool AppDataFolder(char* buffer);
std::uint32_t CreateDirectoryA(const char* path);  // fails on a folder already there
void RemoveDirectoryA(const char* path);           // a folder not empty stays
// A file that must not exist yet, written whole; on failure nothing of it is left.
std::uint32_t WriteNewFile(const char* path, const unsigned char* data, std::uint32_t size);
void DeleteFileA(const char* path);
// The file `from` put in the place of `to`, which may exist (and is then replaced): in one step,
// but on Windows 9x, which deletes `to` first; on a failure `from` is where it was.
std::uint32_t MoveOver(const char* from, const char* to);
// The system's text for an error code, ended by a NUL; 0 when it has none.
std::uint32_t FormatMessageA(std::uint32_t error, char* buffer, std::uint32_t size);

}  // namespace platform
