// CreateProcessA as both launchers call it: inherited handles, creation flags 0, the caller's
// environment and current directory, a start information all zero but for its size and the
// handle table in its reserved fields.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>

namespace platform {

inline bool Spawn(const char* application, char* commandLine, const unsigned char* reserved,
                  std::uint16_t reservedSize, PROCESS_INFORMATION* process) {
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.cbReserved2 = reservedSize;
    start.lpReserved2 = const_cast<LPBYTE>(reserved);
    return ::CreateProcessA(application, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &start, process) != FALSE;
}

}  // namespace platform
