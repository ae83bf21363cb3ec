// The carrying launcher's entry point: setup.exe's, with the carrying flow in place of WinMain.
#include "carrier/carrier.h"
#include "launcher/command_tail.h"
#include "platform/platform.h"

extern "C" [[noreturn]] void CarrierStart() {
    platform::RestrictDllSearch();
    char* tail = const_cast<char*>(
        CommandTail(platform::GetCommandLineA(), platform::IsDBCSLeadByte));
    platform::ExitProcess(static_cast<std::uint32_t>(CarrierMain(tail)));
}
