#include "handoff/handoff.h"

#include <cstring>

#include "handoff/command_line.h"
#include "handoff/resolve.h"
#include "platform/platform.h"

namespace {

bool FileExists(const char* path) {
    return platform::GetFileAttributesA(path) != platform::kInvalidAttributes;
}

// Starts the program. Then the launcher ends.
int StartProgram(const char* file, const char* const* argv) {
    char* commandLine = static_cast<char*>(platform::Allocate(CommandLineSize(argv)));
    if (commandLine == nullptr) return -1;
    BuildCommandLine(argv, commandLine);

    platform::HandleSlot slots[platform::kStandardSlots];
    platform::StandardHandleSlots(slots);
    unsigned char block[HandleBlockSize(platform::kStandardSlots)];
    std::size_t blockSize = BuildHandleBlock(slots, platform::kStandardSlots, block);

    if (platform::CreateProcessA(file, commandLine, blockSize != 0 ? block : nullptr,
                                 static_cast<std::uint16_t>(blockSize))) {
        // The child runs on alone; its handles close with this process.
        platform::ExitProcess(0);
    }
    platform::Free(commandLine);
    return -1;
}

}  // namespace

int HandOffToProgram(const char* file, const char* const* argv) {
    char* resolved = static_cast<char*>(platform::Allocate(ResolvedNameSize(std::strlen(file))));
    if (resolved == nullptr) return -1;
    int result = -1;
    if (ResolveProgramFile(file, platform::IsDBCSLeadByte, FileExists, resolved)) {
        result = StartProgram(resolved, argv);
    }
    platform::Free(resolved);
    return result;
}
