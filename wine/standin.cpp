// A stand-in for the device manager's installer, for trying setup.exe out without ActiveSync.
// It reads its command line the way the installer does (an optional /report, then INI paths,
// quoted or not) and appends one JSON record per run to the file named by STANDIN_LOG: what it
// was given, where it ran, what it inherited, and what each INI describes. Bytes above 0x7F are
// written as \u00XX, so a reader gets the exact bytes back by encoding the strings as Latin-1.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json.h"

namespace {



// The words after the program's own name: blank-separated, a quoted word runs to its closing
// quotation mark and loses the marks.
std::vector<std::string> Words(const char* line) {
    if (*line == '"') {
        for (++line; *line != '\0' && *line != '"'; ++line) {}
        if (*line == '"') ++line;
    } else {
        while (static_cast<unsigned char>(*line) > ' ') ++line;
    }
    std::vector<std::string> words;
    while (true) {
        while (*line == ' ' || *line == '\t') ++line;
        if (*line == '\0') return words;
        std::string word;
        if (*line == '"') {
            for (++line; *line != '\0' && *line != '"'; ++line) word += *line;
            if (*line == '"') ++line;
        } else {
            for (; *line != '\0' && *line != ' ' && *line != '\t'; ++line) word += *line;
        }
        words.push_back(word);
    }
}

std::string Profile(const std::string& ini, const std::string& section, const char* key) {
    char value[1024] = "";
    GetPrivateProfileStringA(section.c_str(), key, "", value, sizeof value, ini.c_str());
    return value;
}

std::string IniRecord(const std::string& path) {
    char full[MAX_PATH * 4];
    char* name = nullptr;
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, &name);
    std::string ini = length != 0 && length < sizeof full ? full : path;
    bool exists = GetFileAttributesA(ini.c_str()) != INVALID_FILE_ATTRIBUTES;
    std::string record = "{\"path\":" + Json(path) + ",\"exists\":" + (exists ? "true" : "false");
    if (exists) {
        std::string component = Profile(ini, "CEAppManager", "Component");
        std::string folder = ini.substr(0, ini.find_last_of('\\') + 1);
        std::vector<std::string> cabs;
        std::string list = Profile(ini, component, "CabFiles") + ",";
        for (std::size_t start = 0, comma; (comma = list.find(',', start)) != std::string::npos;
             start = comma + 1) {
            std::string cab = list.substr(start, comma - start);
            if (cab.empty()) continue;
            bool present = GetFileAttributesA((folder + cab).c_str()) != INVALID_FILE_ATTRIBUTES;
            cabs.push_back("{\"name\":" + Json(cab) + ",\"present\":" + (present ? "true" : "false") + "}");
        }
        record += ",\"version\":" + Json(Profile(ini, "CEAppManager", "Version")) +
                  ",\"component\":" + Json(component) +
                  ",\"description\":" + Json(Profile(ini, component, "Description")) +
                  ",\"cabs\":" + JsonList(cabs);
    }
    return record + "}";
}

// For holding an INI reader of ours against the profile functions: each line of the file is
// "path<TAB>section<TAB>key", and each answer goes out as one JSON string a line, "<default>"
// where the call gave the default back.
int AnswerProbes(const char* probes) {
    FILE* in = std::fopen(probes, "rb");
    if (in == nullptr) return 1;
    char line[1024];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::string fields[3];
        int field = 0;
        for (const char* c = line; *c != '\0' && *c != '\n' && *c != '\r'; ++c) {
            if (*c == '\t' && field < 2) {
                ++field;
            } else {
                fields[field] += *c;
            }
        }
        char value[1024] = "";
        GetPrivateProfileStringA(fields[1].c_str(), fields[2].c_str(), "<default>", value,
                                 sizeof value, fields[0].c_str());
        std::string answer = Json(value) + "\n";
        std::fwrite(answer.data(), 1, answer.size(), stdout);
    }
    std::fclose(in);
    return 0;
}

// The handle table a parent built on the C runtime passes in the start information.
std::string ReservedRecord() {
    STARTUPINFOA start;
    GetStartupInfoA(&start);
    std::string record = "{\"size\":" + std::to_string(start.cbReserved2);
    if (start.cbReserved2 >= 4 && start.lpReserved2 != nullptr) {
        const unsigned char* block = start.lpReserved2;
        unsigned count = block[0] | block[1] << 8 | block[2] << 16 | static_cast<unsigned>(block[3]) << 24;
        std::vector<std::string> flags, handles, kinds, own;
        static const DWORD kStandard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        for (unsigned i = 0; i < count && 4 + 5 * (i + 1) <= start.cbReserved2; ++i) {
            const unsigned char* h = block + 4 + count + 4 * i;
            unsigned value = h[0] | h[1] << 8 | h[2] << 16 | static_cast<unsigned>(h[3]) << 24;
            flags.push_back(std::to_string(block[4 + i]));
            handles.push_back(std::to_string(value));
            // What each handle is (GetFileType: 1 file, 2 device, 3 pipe, 0 none), and what this
            // process's own standard handle of the same slot is.
            HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(static_cast<LONG>(value)));
            kinds.push_back(std::to_string(GetFileType(handle)));
            own.push_back(std::to_string(i < 3 ? GetFileType(GetStdHandle(kStandard[i])) : 0));
        }
        record += ",\"count\":" + std::to_string(count) + ",\"flags\":" + JsonList(flags) +
                  ",\"handles\":" + JsonList(handles) + ",\"kinds\":" + JsonList(kinds) +
                  ",\"own_kinds\":" + JsonList(own);
    }
    return record + "}";
}

}  // namespace

int main(int argc, char** argv) {
    // First of all, for whoever times the launcher: the stand-in is running.
    if (const char* event = std::getenv("STANDIN_EVENT")) {
        HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, event);
        if (ready != nullptr) SetEvent(ready);
        if (std::getenv("STANDIN_LOG") == nullptr) return 0;
    }
    if (const char* delay = std::getenv("STANDIN_DELAY_MS")) Sleep(std::atoi(delay));
    if (const char* probes = std::getenv("STANDIN_PROBES")) return AnswerProbes(probes);

    const char* commandLine = GetCommandLineA();
    std::vector<std::string> args, inis;
    for (int i = 0; i < argc; ++i) args.push_back(Json(argv[i]));
    std::vector<std::string> words = Words(commandLine);
    bool report = !words.empty() && lstrcmpiA(words[0].c_str(), "/report") == 0;
    for (std::size_t i = report ? 1 : 0; i < words.size(); ++i) inis.push_back(IniRecord(words[i]));
    char directory[MAX_PATH * 4] = "", image[MAX_PATH * 4] = "";
    GetCurrentDirectoryA(sizeof directory, directory);
    GetModuleFileNameA(nullptr, image, sizeof image);

    std::string record = "{\"command_line\":" + Json(commandLine) + ",\"argv\":" + JsonList(args) +
                         ",\"cwd\":" + Json(directory) + ",\"image\":" + Json(image) + ",\"report\":" + (report ? "true" : "false") +
                         ",\"inis\":" + JsonList(inis) + ",\"reserved\":" + ReservedRecord() +
                         ",\"time\":" + std::to_string(GetTickCount()) + "}\n";
    const char* log = std::getenv("STANDIN_LOG");
    FILE* out = log != nullptr ? std::fopen(log, "ab") : stdout;
    if (out == nullptr) return 1;
    std::fwrite(record.data(), 1, record.size(), out);
    if (out != stdout) std::fclose(out);
    return 0;
}
