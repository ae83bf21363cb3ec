// setup.exe's entry point: no C runtime starts before it.
#include "launcher/command_tail.h"
#include "launcher/launcher.h"
#include "platform/platform.h"

extern "C" [[noreturn]] void SetupStart() {
    platform::RestrictDllSearch();
    // The tail is computed here, not by a runtime's start-up, whose rules differ.
    char* tail = const_cast<char*>(
        CommandTail(platform::GetCommandLineA(), platform::IsDBCSLeadByte));
    platform::ExitProcess(static_cast<std::uint32_t>(
        WinMain(platform::GetModuleHandleA(), nullptr, tail, platform::StartupShowState())));
}
