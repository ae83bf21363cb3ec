// The launcher's whole run against the scripted platform: what it reads, what it starts or
// shows, and that it ends with status 0 and the key closed on every road.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "tests/fake/fake_platform.h"

namespace {

const std::string kInstaller = "C:\\CE\\CEAPPMGR.EXE";
const std::string kOpen = "open " + std::to_string(0x20019);
const std::string kOpen64 = "open " + std::to_string(0x20119);

// A world in which everything is in place.
fake::World& Installed() {
    fake::World& world = fake::Reset();
    world.keyInDefaultView = true;
    world.value = kInstaller + '\0';
    world.files = {kInstaller};
    return world;
}

struct Case {
    const char* what;
    std::function<void(fake::World&)> setUp;
    std::string tail;
    // The child's application and command line; empty when nothing is to be started.
    std::string application, commandLine;
    bool message;
};

TEST(WinMain, EveryRoadEndsWithStatusZeroAndTheKeyClosed) {
    const std::string longDirectory = "E:\\" + std::string(400, 'L');
    const Case cases[] = {
        {"no key in either view", [](auto& w) { w.keyInDefaultView = false; }, "", "", "", true},
        {"key without a default value", [](auto& w) { w.value.reset(); }, "", "", "", true},
        {"value longer than 260 bytes", [](auto& w) { w.value = std::string(261, 'x'); }, "",
         "", "", true},
        {"message even with a tail", [](auto& w) { w.keyInDefaultView = false; }, "x.ini", "",
         "", true},
        {"default argument", [](auto&) {}, "", kInstaller, kInstaller + " \"D:\\PKG\\install.ini\"",
         false},
        {"drive root", [](auto& w) { w.currentDirectory = "D:\\"; }, "", kInstaller,
         kInstaller + " \"D:\\\\install.ini\"", false},
        {"directory longer than 245 bytes", [&](auto& w) { w.currentDirectory = longDirectory; },
         "", kInstaller, kInstaller + " \"" + longDirectory + "\\install.ini\"", false},
        {"no current directory", [](auto& w) { w.currentDirectory.reset(); }, "", kInstaller,
         kInstaller + " \"install.ini\"", false},
        {"tail passed word for word", [](auto&) {}, "\"C:\\a b\\x.ini\"  more ", kInstaller,
         kInstaller + " \"C:\\a b\\x.ini\"  more ", false},
        {"key in the 64-bit view only",
         [](auto& w) { w.keyInDefaultView = false; w.keyIn64BitView = true; }, "", kInstaller,
         kInstaller + " \"D:\\PKG\\install.ini\"", false},
        {"value without NUL, stale bytes after it",
         [](auto& w) { w.value = "C:\\CE\\CEAPPMGR.EXE"; }, "a", kInstaller, kInstaller + " a",
         false},
        {"expandable value",
         [](auto& w) {
             w.value = std::string("%CE%\\CEAPPMGR.EXE\0", 18);
             w.valueType = platform::kRegExpandSz;
             w.environment["CE"] = "C:\\CE";
         },
         "a", kInstaller, kInstaller + " a", false},
        {"expansion longer than a path",
         [](auto& w) {
             w.value = "%LONG%";
             w.valueType = platform::kRegExpandSz;
             w.environment["LONG"] = std::string(300, 'x');
         },
         "a", "", "", true},
        {"quoted value with blanks",
         [](auto& w) {
             w.value = "\"C:\\Program Files\\CE\\CEAPPMGR.EXE\"";
             w.files = {"C:\\Program Files\\CE\\CEAPPMGR.EXE"};
         },
         "a", "C:\\Program Files\\CE\\CEAPPMGR.EXE",
         "\"C:\\Program Files\\CE\\CEAPPMGR.EXE\" a", false},
        {"extension probed: child keeps the stored name",
         [](auto& w) { w.value = "C:\\CE\\CEAPPMGR"; w.files = {"C:\\CE\\CEAPPMGR.exe"}; }, "a",
         "C:\\CE\\CEAPPMGR.exe", "C:\\CE\\CEAPPMGR a", false},
        {"installer missing", [](auto& w) { w.files.clear(); }, "", "", "", false},
        {"process not created", [](auto& w) { w.createSucceeds = false; }, "", "", "", false},
        {"no memory for the default argument", [](auto& w) { w.allocationsBeforeFailure = 1; },
         "", "", "", false},
        {"no memory for the resolved name", [](auto& w) { w.allocationsBeforeFailure = 0; }, "a",
         "", "", false},
        {"no memory for the command line", [](auto& w) { w.allocationsBeforeFailure = 1; }, "a",
         "", "", false},
    };
    for (const Case& c : cases) {
        fake::World& world = Installed();
        c.setUp(world);
        fake::Outcome outcome = fake::RunWinMain(c.tail);

        EXPECT_EQ(outcome.status, 0u) << c.what;
        EXPECT_EQ(outcome.exited, !c.application.empty()) << c.what;
        EXPECT_EQ(world.keysOpen, 0) << c.what;
        ASSERT_EQ(world.started.has_value(), !c.application.empty()) << c.what;
        if (world.started) {
            EXPECT_EQ(world.started->application, c.application) << c.what;
            EXPECT_EQ(world.started->commandLine, c.commandLine) << c.what;
        } else {
            EXPECT_EQ(fake::BlocksLive(), 0u) << c.what;
        }
        ASSERT_EQ(world.messages.size(), c.message ? 1u : 0u) << c.what;
        if (c.message) {
            const fake::MessageBox& box = world.messages[0];
            EXPECT_EQ(box.owner, nullptr);
            EXPECT_EQ(box.text, "Cannot find ActiveSync.  Please reinstall ActiveSync, then run "
                                "this installation again.");
            EXPECT_EQ(box.caption, "Setup");
            EXPECT_EQ(box.style, 0x10u);
        }
    }
}

TEST(WinMain, ClosesTheKeyOnlyAfterOpeningIt) {
    const struct {
        const char* what;
        std::function<void(fake::World&)> setUp;
        std::vector<std::string> registryCalls;
    } cases[] = {
        {"opened at once", [](auto&) {}, {kOpen, "close"}},
        {"absent from both views", [](auto& w) { w.keyInDefaultView = false; }, {kOpen, kOpen64}},
        {"opened in the 64-bit view",
         [](auto& w) { w.keyInDefaultView = false; w.keyIn64BitView = true; },
         {kOpen, kOpen64, "close"}},
        {"value unreadable", [](auto& w) { w.value.reset(); }, {kOpen, "close"}},
    };
    for (const auto& c : cases) {
        fake::World& world = Installed();
        c.setUp(world);
        fake::RunWinMain("x");
        std::vector<std::string> registryCalls;
        for (const std::string& call : world.calls) {
            if (call.rfind("probe", 0) != 0) registryCalls.push_back(call);
        }
        EXPECT_EQ(registryCalls, c.registryCalls) << c.what;
    }
}

TEST(WinMain, PassesTheStandardHandlesToTheChild) {
    fake::World& world = Installed();
    world.standardHandles[1] = {0x44, platform::kSlotOpen | platform::kSlotPipe};
    fake::RunWinMain("x");
    ASSERT_TRUE(world.started);
    EXPECT_EQ(world.started->reserved,
              (std::vector<unsigned char>{2, 0, 0, 0, 0, 0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0x44, 0, 0, 0}));
}

}  // namespace
