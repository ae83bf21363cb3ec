// Times launchers: from just before CreateProcessA starts one to the moment the installer it
// starts is running (the stand-in signals STANDIN_EVENT as its first act). The candidates come
// from a plan file, so their command lines reach CreateProcessA byte for byte:
//   warmup N          untimed runs of each candidate first
//   dir PATH          the launchers' current directory
//   child NAME        the installer's image name: each run waits for it to end before the next
//   run N LINE        a candidate, timed N times, and its whole command line
// The candidates take turns, so a slow spell of the machine falls on all of them alike.
// Prints one line of JSON: per candidate its command line, its samples in microseconds in the
// order of the rounds (null for a run that failed), and what went wrong in those.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wine/json.h"

namespace {

struct Candidate {
    std::string command;
    int runs = 0;
    std::vector<long long> samples;     // -1 for a failed run, so rounds stay aligned
    std::vector<std::string> failures;  // what went wrong in those
};


// Every process of that image name still alive has to end, so its exit costs no later run.
void AwaitChildren(const std::string& name) {
    if (name.empty()) return;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, name.c_str()) != 0) continue;
        if (HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID)) {
            WaitForSingleObject(child, 10000);
            CloseHandle(child);
        }
    }
    CloseHandle(snapshot);
}

// Microseconds from CreateProcessA to the installer's signal; -1 and why, when it never came.
long long TimeOnce(const std::string& command, const std::string& child,
                   const LARGE_INTEGER& frequency, std::string* failure) {
    static unsigned serial = 0;
    char name[64];
    std::snprintf(name, sizeof name, "launcher-bench-%lu-%u", GetCurrentProcessId(), ++serial);
    HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, name);
    if (ready == nullptr) {
        *failure = "event " + std::to_string(GetLastError());
        return -1;
    }
    SetEnvironmentVariableA("STANDIN_EVENT", name);

    std::string line = command;  // CreateProcessA may write to it
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION process;
    LARGE_INTEGER begin, end;
    QueryPerformanceCounter(&begin);
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                        &process)) {
        *failure = "create " + std::to_string(GetLastError());
        CloseHandle(ready);
        return -1;
    }
    DWORD wait = WaitForSingleObject(ready, 10000);
    QueryPerformanceCounter(&end);
    DWORD status = 0;

    if (WaitForSingleObject(process.hProcess, 10000) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1);
    }
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(ready);
    AwaitChildren(child);
    if (wait != WAIT_OBJECT_0) {
        *failure = (wait == WAIT_TIMEOUT ? "no signal" : "wait " + std::to_string(wait)) +
                   ", launcher status " + std::to_string(status);
        return -1;
    }
    return (end.QuadPart - begin.QuadPart) * 1000000 / frequency.QuadPart;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: timer PLAN\n");
        return 2;
    }
    FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "timer: cannot read %s\n", argv[1]);
        return 2;
    }
    int warmup = 0;
    std::string child;
    std::vector<Candidate> candidates;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, in)) {
        std::string text = buffer;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::size_t space = text.find(' ');
        if (space == std::string::npos) continue;
        std::string key = text.substr(0, space), value = text.substr(space + 1);
        if (key == "warmup") {
            warmup = std::atoi(value.c_str());
        } else if (key == "dir") {
            SetCurrentDirectoryA(value.c_str());
        } else if (key == "child") {
            child = value;
        } else if (key == "run") {
            std::size_t next = value.find(' ');
            Candidate candidate;
            candidate.runs = std::atoi(value.substr(0, next).c_str());
            candidate.command = value.substr(next + 1);
            candidates.push_back(candidate);
        }
    }
    std::fclose(in);
    // The stand-in writes no record when it has nowhere to write it: it just signals and ends.
    SetEnvironmentVariableA("STANDIN_LOG", nullptr);

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (int round = 0; round < warmup; ++round) {
        std::string ignored;
        for (Candidate& candidate : candidates) {
            TimeOnce(candidate.command, child, frequency, &ignored);
        }
    }
    int rounds = 0;
    for (const Candidate& candidate : candidates) {
        if (candidate.runs > rounds) rounds = candidate.runs;
    }
    const std::size_t count = candidates.size();
    for (int round = 0; round < rounds; ++round) {
        // Each round starts with the next candidate, so none is always first.
        for (std::size_t i = 0; i < count; ++i) {
            Candidate& candidate = candidates[(round + i) % count];
            if (round >= candidate.runs) continue;
            std::string failure;
            long long sample = TimeOnce(candidate.command, child, frequency, &failure);
            if (sample < 0) candidate.failures.push_back(Json(failure));
            candidate.samples.push_back(sample);
        }
    }

    std::string out = "{\"candidates\":[";
    for (std::size_t i = 0; i < count; ++i) {
        const Candidate& candidate = candidates[i];
        out += std::string(i != 0 ? "," : "") + "{\"command\":" + Json(candidate.command) +
               ",\"samples\":[";
        for (std::size_t s = 0; s < candidate.samples.size(); ++s) {
            long long sample = candidate.samples[s];
            out += (s != 0 ? "," : "") + (sample < 0 ? std::string("null") : std::to_string(sample));
        }
        out += "],\"failures\":[";
        for (std::size_t f = 0; f < candidate.failures.size(); ++f) {
            out += (f != 0 ? "," : "") + candidate.failures[f];
        }
        out += "]}";
    }
    std::printf("%s]}\n", out.c_str());
    return 0;
}
