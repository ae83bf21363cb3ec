// Runs setup.exe exactly as a case describes, for the end-to-end suite: it sets up the
// installer's App Paths key, starts the launcher with an exact command line (CreateProcessA, no
// re-quoting) in a chosen directory, closes its message box if asked, waits for it and prints one
// JSON record. The case comes as a file of key=hex lines, so any bytes can be expressed:
//   exe, dir, cmd   the launcher, its current directory, its whole command line
//   reg             "none", "novalue", or "<default|other>:<type>:<hex bytes>" for the value
//   dismiss         "1": press OK on a window titled "Setup" and report what it said
//   hold            milliseconds to leave that window up first, so it can be photographed: its
//                   place goes out at once as "shown LEFT TOP RIGHT BOTTOM", and the record
//                   gives it again as "rect"
//   wdir            a current directory given as UTF-8, entered by its wide name after dir
//   stdhandles      "1": start the launcher with standard handles of three kinds, inherited
//   timeout         milliseconds before the launcher is given up on (default 60000)
//   debug           WINEDEBUG for the launcher (and what it starts), so a trace shows its calls
//                   and not the runner's
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "json.h"

namespace {

const char kKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\CEAPPMGR.EXE";

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return out;
}


// The registry view a process of the launcher's own bitness reads by default, and the other one.
REGSAM View(const std::string& which) {
    bool native64 = sizeof(void*) == 8;
    if (which == "default") return native64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    return native64 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}

bool SetUpRegistry(const std::string& setting) {
    for (const char* view : {"default", "other"}) RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, View(view), 0);
    if (setting == "none") return true;
    std::string where = setting == "novalue" ? "default" : setting.substr(0, setting.find(':'));
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE | View(where), nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG result = ERROR_SUCCESS;
    if (setting != "novalue") {
        std::size_t second = setting.find(':', where.size() + 1);
        DWORD type = std::strtoul(setting.substr(where.size() + 1, second).c_str(), nullptr, 10);
        std::string bytes = FromHex(setting.substr(second + 1));
        result = RegSetValueExA(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<DWORD>(bytes.size()));
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

struct Box {
    std::string caption, text;
    int buttons = 0;
    RECT rect = {};
};

BOOL CALLBACK ReadControl(HWND control, LPARAM context) {
    Box& box = *reinterpret_cast<Box*>(context);
    char kind[64], text[1024];
    GetClassNameA(control, kind, sizeof kind);
    GetWindowTextA(control, text, sizeof text);
    if (lstrcmpiA(kind, "Button") == 0 && IsWindowVisible(control)) ++box.buttons;  // Wine keeps the unused ones hidden
    else if (lstrcmpiA(kind, "Static") == 0 && text[0] != '\0') box.text = text;
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::map<std::string, std::string> fields;
    if (FILE* in = std::fopen(argv[1], "rb")) {
        char line[70000];
        while (std::fgets(line, sizeof line, in)) {
            std::string text = line;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            std::size_t equals = text.find('=');
            if (equals != std::string::npos) fields[text.substr(0, equals)] = text.substr(equals + 1);
        }
        std::fclose(in);
    }
    if (!SetUpRegistry(fields.count("reg") ? fields["reg"] : "none")) {
        std::printf("{\"error\":\"registry\"}\n");
        return 1;
    }
    std::string exe = FromHex(fields["exe"]), dir = FromHex(fields["dir"]), cmd = FromHex(fields["cmd"]);
    DWORD timeout = fields.count("timeout") ? std::strtoul(fields["timeout"].c_str(), nullptr, 10) : 60000;
    DWORD hold = std::strtoul(fields["hold"].c_str(), nullptr, 10);

    if (fields.count("debug")) SetEnvironmentVariableA("WINEDEBUG", fields["debug"].c_str());
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION process;
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    // The launcher inherits the runner's current directory. Setting it here first lets a
    // directory the platform refuses fail cleanly (Wine 8 corrupts its heap when one past
    // 260 bytes goes to CreateProcessA instead).
    if (!dir.empty() && !SetCurrentDirectoryA(dir.c_str())) {
        std::printf("{\"error\":\"create: directory refused %lu\"}\n", GetLastError());
        return 1;
    }
    // A folder whose name the ANSI code page can't hold is entered by its wide name.
    if (fields.count("wdir")) {
        std::string utf8 = FromHex(fields["wdir"]);
        std::wstring wide(utf8.size() + 1, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
        if (!SetCurrentDirectoryW(wide.c_str())) {
            std::printf("{\"error\":\"wide directory refused %lu\"}\n", GetLastError());
            return 1;
        }
    }
    // Three distinct inheritable standard handles, one of each kind: the NUL device, a pipe and
    // a file, for checking the handle block the launcher passes on.
    BOOL inherit = FALSE;
    HANDLE pipeRead = nullptr;
    if (fields["stdhandles"] == "1") {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        std::string errors = std::string(argv[1]) + ".stderr";
        start.hStdInput = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inheritable, OPEN_EXISTING, 0, nullptr);
        CreatePipe(&pipeRead, &start.hStdOutput, &inheritable, 0);
        start.hStdError = CreateFileA(errors.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      &inheritable, CREATE_ALWAYS, 0, nullptr);
        start.dwFlags |= STARTF_USESTDHANDLES;
        inherit = TRUE;
    }
    if (!CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, inherit, 0, nullptr, nullptr,
                        &start, &process)) {
        std::printf("{\"error\":\"create %lu\"}\n", GetLastError());
        return 1;
    }
    bool boxSeen = false, timedOut = false;
    Box box;
    for (DWORD waited = 0; WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT; waited += 20) {
        if (waited >= timeout) {
            TerminateProcess(process.hProcess, 255);
            timedOut = true;
            break;
        }
        HWND window = fields["dismiss"] == "1" && !boxSeen ? FindWindowA(nullptr, "Setup") : nullptr;
        DWORD owner = 0;
        if (window != nullptr) GetWindowThreadProcessId(window, &owner);
        // Read it once it shows: until then its unused buttons are not yet hidden.
        if (window != nullptr && owner == process.dwProcessId && IsWindowVisible(window)) {
            if (hold > 0) {
                GetWindowRect(window, &box.rect);
                std::printf("shown %ld %ld %ld %ld\n", box.rect.left, box.rect.top, box.rect.right,
                            box.rect.bottom);
                std::fflush(stdout);
                // A launcher that ends by itself meanwhile leaves no box pressed to report.
                if (WaitForSingleObject(process.hProcess, hold) != WAIT_TIMEOUT) continue;
                waited += hold;
                GetWindowRect(window, &box.rect);
            }
            boxSeen = true;
            char caption[256];
            GetWindowTextA(window, caption, sizeof caption);
            box.caption = caption;
            EnumChildWindows(window, ReadControl, reinterpret_cast<LPARAM>(&box));
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    QueryPerformanceCounter(&end);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    std::printf("{\"exit\":%lu,\"ms\":%.1f,\"timed_out\":%s,\"box\":", status,
                1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart),
                timedOut ? "true" : "false");
    if (boxSeen) {
        std::printf("{\"caption\":%s,\"text\":%s,\"buttons\":%d", Json(box.caption).c_str(),
                    Json(box.text).c_str(), box.buttons);
        if (hold > 0) {
            std::printf(",\"rect\":[%ld,%ld,%ld,%ld]", box.rect.left, box.rect.top, box.rect.right,
                        box.rect.bottom);
        }
        std::printf("}}\n");
    } else {
        std::printf("null}\n");
    }
    return 0;
}
