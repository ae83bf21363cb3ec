// The platform operations only the carrying launcher needs, on Win32. A file of their own, so
// setup.exe is built from exactly the sources it always was.
#include "platform/platform.h"

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

bool AppDataFolder(char* buffer) {
    // SHGetFolderPathA: shell32's since Windows 2000 (and 98 with a newer shell), shfolder's
    // on systems it was shipped to; looked up here, as the DLL search allows.
    using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
    constexpr int kLocalAppData = 0x1C, kAppData = 0x1A;  // CSIDL_LOCAL_APPDATA, CSIDL_APPDATA
    static constexpr const char* kLibraries[] = {"shell32.dll", "shfolder.dll"};
    for (const char* library : kLibraries) {
        HMODULE module = ::LoadLibraryA(library);
        auto get = module != nullptr ? reinterpret_cast<GetFolderPath>(reinterpret_cast<void*>(
                                           ::GetProcAddress(module, "SHGetFolderPathA")))
                                     : nullptr;
        if (get != nullptr && (get(nullptr, kLocalAppData, nullptr, 0, buffer) == S_OK ||
                               get(nullptr, kAppData, nullptr, 0, buffer) == S_OK)) {
            return true;
        }
    }
    return false;
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

std::uint32_t MoveOver(const char* from, const char* to) {
    // MoveFileExA replaces in one step; Windows 9x has it only as a stub, looked up here so
    // that the file loads there all the same.
    using MoveFileEx = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    auto move = kernel != nullptr ? reinterpret_cast<MoveFileEx>(reinterpret_cast<void*>(
                                        ::GetProcAddress(kernel, "MoveFileExA")))
                                  : nullptr;
    if (move != nullptr && move(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
    DWORD error = move != nullptr ? ::GetLastError() : ERROR_CALL_NOT_IMPLEMENTED;
    if (error != ERROR_CALL_NOT_IMPLEMENTED) return error;
    ::DeleteFileA(to);
    return ::MoveFileA(from, to) ? 0 : ::GetLastError();
}

std::uint32_t FormatMessageA(std::uint32_t error, char* buffer, std::uint32_t size) {
    return ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                            error, 0, buffer, size, nullptr);
}

}  // namespace platform
