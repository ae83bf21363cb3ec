// The platform operations only the carrying launcher needs, on Win32. A file of their own, so
// setup.exe is built from exactly the sources it always was.
#include "platform/platform.h"
#include "platform/spawn.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace platform {

bool FindResourceData(std::uint16_t id, const unsigned char** data, std::uint32_t* size) {
    HRSRC found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(id), RT_RCDATA);
    HGLOBAL loaded = found != nullptr ? ::LoadResource(nullptr, found) : nullptr;
    if (loaded == nullptr) return false;
    // Resources stay mapped with the image: nothing to free.
    *data = static_cast<const unsigned char*>(::LockResource(loaded));
    *size = ::SizeofResource(nullptr, found);
    return *data != nullptr || *size == 0;
}

std::uint32_t GetTempPathA(std::uint32_t size, char* buffer) {
    return ::GetTempPathA(size, buffer);
}

void RandomBytes(unsigned char* buffer, std::uint32_t size) {
    // RtlGenRandom, exported by ADVAPI32 (already loaded) since Windows XP under this name.
    using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
    HMODULE advapi = ::GetModuleHandleA("advapi32.dll");
    auto generate = advapi != nullptr ? reinterpret_cast<GenRandom>(reinterpret_cast<void*>(
                                            ::GetProcAddress(advapi, "SystemFunction036")))
                                      : nullptr;
    if (generate != nullptr && generate(buffer, size)) return;
    // Older systems: the clock, where the stack lies, and what the buffer held, so
    // a try after a name refused gives another.
    auto state = static_cast<std::uint32_t>(::GetTickCount() ^
                                            reinterpret_cast<std::uintptr_t>(&advapi));
    for (std::uint32_t i = 0; i < size; ++i) {
        state = (state ^ buffer[i]) * 1103515245u + 12345u;
        buffer[i] = static_cast<unsigned char>(state >> 24);
    }
}

std::uint32_t CreateDirectoryA(const char* path) {
    return ::CreateDirectoryA(path, nullptr) ? 0 : ::GetLastError();
}

void RemoveDirectoryA(const char* path) { ::RemoveDirectoryA(path); }

std::uint32_t WriteNewFile(const char* path, const unsigned char* data, std::uint32_t size) {
    HANDLE file = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
    DWORD written = 0;
    DWORD error = ::WriteFile(file, data, size, &written, nullptr) && written == size
                      ? 0
                      : ::GetLastError();
    if (!::CloseHandle(file) && error == 0) error = ::GetLastError();  // a flush that failed
    if (error != 0) ::DeleteFileA(path);
    return error;
}

void DeleteFileA(const char* path) { ::DeleteFileA(path); }

Handle StartProcess(const char* application, char* commandLine, const unsigned char* reserved,
                    std::uint16_t reservedSize) {
    PROCESS_INFORMATION process;
    if (!Spawn(application, commandLine, reserved, reservedSize, &process)) return nullptr;
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

void WaitForProcess(Handle process) {
    ::WaitForSingleObject(process, INFINITE);
    ::CloseHandle(process);
}

std::uint32_t FormatMessageA(std::uint32_t error, char* buffer, std::uint32_t size) {
    return ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                            error, 0, buffer, size, nullptr);
}

}  // namespace platform
