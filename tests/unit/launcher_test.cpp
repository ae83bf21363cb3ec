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

// Code page 932 for the rows that need it: its lead bytes and the few characters they use.
void Japanese(fake::World& world) {
    for (int byte = 0; byte < 256; ++byte) {
        if (fake::IsCodePage932LeadByte(static_cast<unsigned char>(byte))) world.leadBytes.insert(byte);
    }
    world.codePage = {{u'日', "\x93\xfa"}, {u'本', "\x96\x7b"}, {u'表', "\x95\x5c"}};
}
const std::string kNihon = "\x93\xfa\x96\x7b";  // 日本 in code page 932

// A Western code page: é is in it, 表 and 한 are not.
void Western(fake::World& world) { world.codePage = {{u'é', "\xe9"}}; }

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
    // Installer paths of exactly 260 bytes (3 + 244 + 13): plain, and double-byte (日 repeated).
    const std::string fullPath = "C:\\" + std::string(122 * 2, 'x') + "\\CEAPPMGR.EXE";
    std::string nihon244;
    for (int i = 0; i < 122; ++i) nihon244 += "\x93\xfa";
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
        // Counts of double-byte text in UTF-16 units are no byte counts.
        {"double-byte expansion",
         [&](auto& w) {
             Japanese(w);
             w.value = std::string("%J%\\CEAPPMGR.EXE\0", 17);
             w.valueType = platform::kRegExpandSz;
             w.environment["J"] = "C:\\" + kNihon;
             w.files = {"C:\\" + kNihon + "\\CEAPPMGR.EXE"};
         },
         "a", "C:\\" + kNihon + "\\CEAPPMGR.EXE", "C:\\" + kNihon + "\\CEAPPMGR.EXE a", false},
        {"expansion of exactly 260 bytes",
         [&](auto& w) {
             Japanese(w);
             w.value = "%J%\\CEAPPMGR.EXE";
             w.valueType = platform::kRegExpandSz;
             w.environment["J"] = "C:\\" + nihon244;
             w.files = {"C:\\" + nihon244 + "\\CEAPPMGR.EXE"};
         },
         "a", "C:\\" + nihon244 + "\\CEAPPMGR.EXE", "C:\\" + nihon244 + "\\CEAPPMGR.EXE a", false},
        // The ANSI call may ask for one byte beyond the string and its NUL.
        {"expansion of 260 bytes, counted with a byte to spare",
         [&](auto& w) {
             w.value = "%P%";
             w.valueType = platform::kRegExpandSz;
             w.environment["P"] = fullPath;
             w.expansionSpareByte = true;
             w.files = {fullPath};
         },
         "a", fullPath, fullPath + " a", false},
        {"expansion past 260 bytes, its unit count within",
         [&](auto& w) {
             Japanese(w);
             w.value = "%J%\\CEAPPMGR.EXE";
             w.valueType = platform::kRegExpandSz;
             w.environment["J"] = "C:\\" + nihon244 + "\x93\xfa";
             w.files = {"C:\\" + nihon244 + "\x93\xfa\\CEAPPMGR.EXE"};
         },
         "a", "", "", true},
        {"value counted in units",
         [&](auto& w) {
             Japanese(w);
             w.countsUnits = true;
             w.value = "C:\\" + kNihon + "\\CEAPPMGR.EXE";  // no NUL: the count can't end it
             w.files = {"C:\\" + kNihon + "\\CEAPPMGR.EXE"};
         },
         "a", "C:\\" + kNihon + "\\CEAPPMGR.EXE", "C:\\" + kNihon + "\\CEAPPMGR.EXE a", false},
        {"directory counted in units",
         [](auto& w) { Japanese(w); w.countsUnits = true; w.wideDirectory = u"D:\\日本"; }, "",
         kInstaller, kInstaller + " \"D:\\" + kNihon + "\\install.ini\"", false},
        // A folder whose name the ANSI code page can't hold is named by its short name.
        {"folder outside the code page: its short name",
         [](auto& w) {
             Western(w);
             w.wideDirectory = u"D:\\PKG-表";
             w.shortNames[u"D:\\PKG-表"] = u"D:\\PKG-~1";
         },
         "", kInstaller, kInstaller + " \"D:\\PKG-~1\\install.ini\"", false},
        {"folder in the code page: its ANSI name, short name or not",
         [](auto& w) {
             Western(w);
             w.wideDirectory = u"D:\\PKG-é";
             w.shortNames[u"D:\\PKG-é"] = u"D:\\PKG-~1";
         },
         "", kInstaller, kInstaller + " \"D:\\PKG-\xe9\\install.ini\"", false},
        {"double-byte folder in its code page",
         [](auto& w) {
             Japanese(w);
             w.wideDirectory = u"D:\\PKG-表";
             w.shortNames[u"D:\\PKG-表"] = u"D:\\PKG-~1";
         },
         "", kInstaller, kInstaller + " \"D:\\PKG-\x95\\\\install.ini\"", false},
        {"no short name: the ANSI name",
         [](auto& w) { Western(w); w.wideDirectory = u"D:\\PKG-表"; }, "", kInstaller,
         kInstaller + " \"D:\\PKG-?\\install.ini\"", false},
        {"short name outside the code page too: the ANSI name",
         [](auto& w) {
             Western(w);
             w.wideDirectory = u"D:\\PKG-表";
             w.shortNames[u"D:\\PKG-表"] = u"D:\\表~1";
         },
         "", kInstaller, kInstaller + " \"D:\\PKG-?\\install.ini\"", false},
        {"no wide calls: the ANSI name",
         [](auto& w) {
             Western(w);
             w.wideCalls = false;
             w.wideDirectory = u"D:\\PKG-表";
             w.shortNames[u"D:\\PKG-表"] = u"D:\\PKG-~1";
         },
         "", kInstaller, kInstaller + " \"D:\\PKG-?\\install.ini\"", false},
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
        // Nothing started: the message, as when the registry doesn't say.
        {"installer missing", [](auto& w) { w.files.clear(); }, "", "", "", true},
        {"process not created", [](auto& w) { w.createSucceeds = false; }, "", "", "", true},
        {"no memory for the default argument", [](auto& w) { w.allocationsBeforeFailure = 1; },
         "", "", "", false},
        {"no memory for the resolved name", [](auto& w) { w.allocationsBeforeFailure = 0; }, "a",
         "", "", true},
        {"no memory for the command line", [](auto& w) { w.allocationsBeforeFailure = 1; }, "a",
         "", "", true},
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

// Over an earlier copy: all carried files new, or the folder as it was (`after`: a stopped run
// undone) and the package in the user's; each write or move failing in turn (8: none), on 9x too.
TEST(Carrier, ReplacesAnEarlierCopyWholeOrLeavesItAsItWas) {
    using Disk = std::map<std::string, std::string>;
    const std::string ce = "C:\\CE\\P\\", ini = ce + "install.ini", a = ce + "k\\a.cab";
    const Disk carried = {{"install.ini", "new ini"}, {"j.cab", "new b"}, {"k\\a.cab", "new a"}};
    auto placed = [&](Disk disk, std::string in) {  // the carried files added in a folder
        for (const auto& [name, bytes] : carried) disk[in + name] = bytes;
        return disk;
    };
    const Disk::value_type mine = {ce + "mine", "user's"}, b = {ce + "j.cab", "new b"};
    const Disk earlier = {mine, {ini, "old"}, {a, "old"}};
    Disk stopped = {mine, b, {ini + ".setup-old", "old"}, {ini + ".setup-new", "cut"},
                    {a, "new a"}, {a + ".setup-old", "old"}}, lost = stopped;
    lost.erase(ini + ".setup-new");
    struct Row { std::string what; Disk disk; int step; std::string refused; Disk after; };
    std::vector<Row> rows = {{"stopped moving in", stopped, -1, "", {}},
        {"stopped moving in, undone", stopped, 2, "", {mine, b, {ini, "old"}, {a, "old"}}},
        {"stopped moving in, a copy not put back", stopped, 0, "", lost},
        {"read-only", earlier, -1, a, {}}, {"a folder", earlier, -1, ce + "j.cab", {}}};
    for (int step = 0; step != 18; ++step) rows.push_back({"step", earlier, step, "", {}});
    for (const Row& c : rows) {
        fake::World& w = Installed();
        w.folders = {"C:\\CE", "C:\\CE\\P", "C:\\CE\\P\\k", "C:\\U"}, w.appData = "C:\\U";
        w.disk = c.disk, w.stepsBeforeFailure = c.step % 9, w.moveFileEx = c.step < 9;
        (c.disk.count(c.refused) ? w.readOnly : w.folders).insert(c.refused);
        for (std::uint16_t id = 2; const auto& [name, bytes] : carried) {
            w.resources[id++] = bytes;
            w.resources[1] += std::string{char(bytes.size()), 0, 0, 0} + "P\\" + name + '\0';
        }
        fake::RunWinMain("", true);
        const std::string where =
            c.refused.empty() && (c.step < 0 || c.step % 9 == 8) ? ce : "C:\\U\\P\\";  // replaced
        const Disk kept = where == ce ? Disk{mine} : c.after.empty() ? c.disk : c.after;
        EXPECT_EQ(std::pair(w.disk, w.started ? w.started->commandLine : ""),
                  std::pair(placed(kept, where), kInstaller + " \"" + where + "install.ini\""))
            << c.what << ' ' << c.step;
    }
}

}  // namespace
