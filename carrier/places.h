#pragma once

#include <cstddef>

#include "platform/platform.h"

// Where a carried package goes: a folder of its own, named at build time, in the folder of the
// registered installer (as the installer's documentation has CABs copied), else in the user's
// application data folder.

// The length of the folder part of `path`: up to its last '\' or '/', two-byte characters
// stepped over whole; 0 when it names no folder (a bare name, or a drive and a name).
std::size_t FolderLength(const char* path, platform::LeadByteTest isLeadByte);

// The package's own folder: the first part of the first name in the index, which every name
// shares (`IndexIsSound` has checked the names themselves), the first file its install.ini. Its
// length, or 0 when a name lies outside it or the first file is another.
std::size_t PackageFolderLength(const unsigned char* index, std::size_t size);
