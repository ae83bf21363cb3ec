#pragma once

// Starts the program at `file` in place of the launcher: the child gets the command line built
// from `argv` (ended by a null entry; entry 0 is the child's own name) and the launcher's
// environment, current directory and inheritable handles, and the launcher's process ends at
// once with status 0. Returns -1 only when no program could be started; the platform's last
// error then tells why, if a platform call failed.
int HandOffToProgram(const char* file, const char* const* argv);
