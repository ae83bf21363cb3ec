// The least a launcher can do: read the installer's path from its App Paths key, start it with
// the INI file's name, and end. The benchmark's floor: whatever setup.exe takes beyond this is
// its own work.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" [[noreturn]] void FloorStart() {
    char path[MAX_PATH + 1];
    DWORD size = MAX_PATH;
    HKEY key;
    LONG found = RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                               "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\CEAPPMGR.EXE",
                               0, KEY_READ, &key);
    if (found == ERROR_SUCCESS) {
        found = RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
        RegCloseKey(key);
    }
    if (found == ERROR_SUCCESS) {
        path[size < sizeof path ? size : MAX_PATH] = '\0';
        // "<path>" "install.ini": copied by hand, there being no runtime.
        static const char kArgument[] = "\" \"install.ini\"";
        char line[MAX_PATH + sizeof kArgument + 1];
        char* out = line;
        *out++ = '"';
        for (const char* in = path; *in != '\0';) *out++ = *in++;
        for (const char* in = kArgument; *in != '\0';) *out++ = *in++;
        *out = '\0';
        // Zeroed by hand for the same reason: the compiler would call memset otherwise.
        STARTUPINFOA start;
        char* const end = reinterpret_cast<char*>(&start + 1);
        for (char* byte = reinterpret_cast<char*>(&start); byte != end; ++byte) *byte = 0;
        start.cb = sizeof start;
        PROCESS_INFORMATION process;
        CreateProcessA(path, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process);
    }
    ExitProcess(0);
}
