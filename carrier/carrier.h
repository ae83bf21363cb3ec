#pragma once

#include "platform/platform.h"

inline constexpr char kDamagedText[] =
    "This installation is damaged.  Please download it again.";
inline constexpr char kUnpackText[] = "Cannot unpack this installation into ";

// The carrying launcher: finds the installer as setup.exe does, puts the files it carries in
// their folder (named at build time) in the installer's own folder, else in the user's
// application data folder, each file over an earlier copy whole, then hands off to the
// installer with that folder's install.ini (after the command tail, if any), as setup.exe does:
// the installer keeps using the files, for a device connected later and for a reinstall.
// Returns 0 where it doesn't hand off.
//
// Built without a package (build/win/carrier.exe as it leaves the compiler) it carries no index,
// and says the installation is damaged, as it does when the index is unsound: a package in a
// folder ships with setup.exe, and a carrying launcher that lost its package has nothing to
// install. (Doing setup.exe's job instead would cost the 1.1 KB of setup.exe's default argument
// and put the file past its size limit.)
int CarrierMain(char* commandTail);
