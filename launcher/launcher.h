#pragma once

#include "launcher/install_argument.h"
#include "platform/platform.h"

inline constexpr char kInstallerKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\CEAPPMGR.EXE";
inline constexpr char kFailureText[] =
    "Cannot find ActiveSync.  Please reinstall ActiveSync, then run this installation again.";
inline constexpr char kFailureCaption[] = "Setup";

// Reads where the installer lives from its App Paths key. False when the registry doesn't say.
bool LocateInstaller(char (&path)[kInstallerPathBuffer]);

// Starts the installer with the command tail, or with the quoted install.ini of the current
// directory when the tail is empty. Shows the one failure message when the installer can't be
// located or started. Always returns 0; when the installer starts, it does not return at all.
int WinMain(platform::Handle instance, platform::Handle previous, char* commandTail, int show);
