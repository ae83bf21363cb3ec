#pragma once

#include <cstddef>

#include "platform/platform.h"

// Whether a file is present at a path (a directory counts).
using FileProbe = bool (*)(const char* path);

// Bytes `out` must hold for ResolveProgramFile: a ".\" prefix, the path, a four-byte extension
// and the NUL.
constexpr std::size_t ResolvedNameSize(std::size_t pathLength) { return pathLength + 7; }

// Finds the file a program path names. A bare name is looked for in the current directory
// (".\" in front); a file name without a dot is tried with ".com", ".exe", ".bat" and ".cmd" in
// turn. Returns true with the name found in `out`; false when no name probed is present.
bool ResolveProgramFile(const char* path, platform::LeadByteTest isLeadByte, FileProbe exists,
                        char* out);
