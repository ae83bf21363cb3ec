#pragma once

#include <cstddef>

#include "platform/platform.h"

// The child's command line: the arguments joined by single blanks, in list order, ended by one
// NUL. Entry 0, the child's own name, is put in quotation marks when it holds a blank or a tab
// and has none of its own, so the child reads it as one word. Every later entry goes in
// unchanged: the install argument is the user's own text.
// `argv` ends with a null entry; `out` holds CommandLineSize(argv) bytes.
std::size_t CommandLineSize(const char* const* argv);
void BuildCommandLine(const char* const* argv, char* out);

// The reserved block of the start information through which a child built on the C runtime
// receives its parent's open handles: a 32-bit count N, N flag bytes, N 32-bit handles, where N
// is one past the last slot in use. Returns its length, 4 + 5N, or 0 when no slot is in use and
// there is nothing to attach. `out` holds HandleBlockSize(count) bytes.
constexpr std::size_t HandleBlockSize(std::size_t count) { return 4 + 5 * count; }
std::size_t BuildHandleBlock(const platform::HandleSlot* slots, std::size_t count,
                             unsigned char* out);
