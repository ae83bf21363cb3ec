// A scripted stand-in for the platform: the test sets up the world, runs the launcher, and reads
// back what the launcher did to it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct MessageBox {
    platform::Handle owner;
    std::string text, caption;
    std::uint32_t style;
};

struct Started {
    std::string application, commandLine;
    std::vector<unsigned char> reserved;
};

struct World {
    // What the launcher finds.
    bool keyInDefaultView = false, keyIn64BitView = false;
    std::optional<std::string> value;  // the key's default value, bytes as stored
    std::uint32_t valueType = 1;       // REG_SZ
    std::optional<std::string> currentDirectory = "D:\\PKG";
    // The directory's real (wide) name. When set, the ANSI calls see it through the code page
    // below, '?' for what it lacks, as the platform converts; when not, the wide calls see the
    // ANSI name widened.
    std::optional<std::u16string> wideDirectory;
    std::map<std::u16string, std::u16string> shortNames;  // a path missing here has none
    bool wideCalls = true;  // false: Windows 95, 98 and Me, whose wide calls fail
    // The ANSI code page beyond ASCII: each character it holds and its bytes (two for a
    // double-byte character, whose lead byte belongs in leadBytes too).
    std::map<char16_t, std::string> codePage;
    // Whether the ANSI calls count double-byte text in UTF-16 units, as Wine's
    // ExpandEnvironmentStringsA does, instead of bytes. That call always counts so.
    bool countsUnits = false;
    // Whether ExpandEnvironmentStringsA asks for one byte more than the string and its NUL, as
    // the platform's documentation says the ANSI call may.
    bool expansionSpareByte = false;
    std::set<std::string> files;
    std::map<std::string, std::string> environment;
    platform::HandleSlot standardHandles[platform::kStandardSlots] = {};
    bool createSucceeds = true;
    int allocationsBeforeFailure = -1;  // -1: never fail
    std::set<unsigned char> leadBytes;
    // The carrying launcher's: its resources (ID 1 its index), the user's application data
    // folder, folders and files with their bytes, those the system won't delete or replace.
    std::map<std::uint16_t, std::string> resources;
    std::optional<std::string> appData;
    std::set<std::string> folders;
    std::map<std::string, std::string> disk;
    std::set<std::string> readOnly;
    bool moveFileEx = true;       // false: Windows 9x, where a move over a file deletes it first
    int stepsBeforeFailure = -1;  // writes and moves that succeed before one fails; -1: none

    // What the launcher did.
    std::vector<std::string> calls;  // registry opens and closes, probes, in order
    int keysOpen = 0;
    std::vector<MessageBox> messages;
    std::optional<Started> started;
};

World& world();  // reset by Run
World& Reset();
std::size_t BlocksLive();  // heap blocks the launcher still holds

struct Outcome {
    bool exited;          // ended the process through ExitProcess
    std::uint32_t status; // its exit status, or WinMain's result when it returned
};
// Runs the launcher's WinMain, or the carrying launcher's CarrierMain, with the command tail.
Outcome RunWinMain(const std::string& tail, bool carrier = false);

// Code page 932's lead bytes, for the double-byte cases.
bool IsCodePage932LeadByte(unsigned char byte);

}  // namespace fake
