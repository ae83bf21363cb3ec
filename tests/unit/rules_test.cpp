// The pure rules, table by table. Double-byte rows use code page 932's lead bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "carrier/index.h"
#include "carrier/places.h"
#include "handoff/command_line.h"
#include "handoff/resolve.h"
#include "launcher/command_tail.h"
#include "launcher/install_argument.h"
#include "tests/fake/fake_platform.h"

namespace {

bool NoLeadBytes(unsigned char) { return false; }

struct TailCase {
    std::string commandLine, tail;
    bool doubleByte;
};

TEST(CommandTail, SkipsTheLaunchersNameAndTheBlanksAfterIt) {
    const TailCase cases[] = {
        {"", "", false},
        {"setup.exe", "", false},
        {"setup.exe a b", "a b", false},
        {"setup.exe \t \x01 a  \"", "a  \"", false},  // trailing blanks and quotes stay
        {"setup.exe \t ", "", false},
        {"setup.exe \"C:\\a b\\x.ini\"", "\"C:\\a b\\x.ini\"", false},
        {"\"C:\\My Files\\setup.exe\" one  two", "one  two", false},
        {"\"C:\\setup.exe\"one", "one", false},
        {"\"C:\\never closed\\setup.exe one", "", false},
        {"\"\" x", "x", false},
        {"set\x01up a", "up a", false},          // control bytes end an unquoted name
        {"se\xe9tup.exe x", "x", false},          // high bytes belong to it
        {"\"\x83\"name\" tail", "tail", true},    // 0x83 0x22 is one character
        {"\"\x83\"name\" tail", "name\" tail", false},
        {"\"ab\x83", "", true},                   // a lead byte before the NUL
    };
    for (const auto& c : cases) {
        auto test = c.doubleByte ? fake::IsCodePage932LeadByte : NoLeadBytes;
        std::vector<char> line(c.commandLine.begin(), c.commandLine.end());
        line.push_back('\0');
        const char* tail = CommandTail(line.data(), test);
        EXPECT_EQ(tail, c.tail) << c.commandLine;
        EXPECT_TRUE(tail >= line.data() && tail < line.data() + line.size()) << c.commandLine;
    }
}

TEST(InstallArgument, QuotesTheIniOfTheDirectoryAsReturned) {
    const std::string longDirectory = "C:\\" + std::string(300, 'd');
    const std::pair<std::string, std::string> cases[] = {
        {"D:\\PKG", "\"D:\\PKG\\install.ini\""},
        {"D:\\", "\"D:\\\\install.ini\""},  // a root keeps its backslash: two in a row
        {"", "\"install.ini\""},            // no directory: the bare name
        {longDirectory, "\"" + longDirectory + "\\install.ini\""},
    };
    for (const auto& [directory, expected] : cases) {
        std::vector<char> out(IniArgumentSize(directory.size()), '\x7f');
        ComposeIniArgument(directory.data(), directory.size(), out.data());
        EXPECT_EQ(out.data(), expected);
        EXPECT_LE(expected.size() + 1, out.size());
    }
}

TEST(InstallerPath, LosesOnePairOfQuotes) {
    const struct {
        std::string value, path;
    } cases[] = {
        {"C:\\CE\\CEAPPMGR.EXE", "C:\\CE\\CEAPPMGR.EXE"},
        {"", ""},
        {"\"C:\\Program Files\\CE\\CEAPPMGR.EXE\"", "C:\\Program Files\\CE\\CEAPPMGR.EXE"},
        {"\"\"", ""},
        {"\"", "\""},
        {"\"C:\\X", "\"C:\\X"},
        {"C:\\X\"", "C:\\X\""},
    };
    for (const auto& c : cases) {
        char buffer[kInstallerPathBuffer];
        std::fill(std::begin(buffer), std::end(buffer), 'x');  // what an earlier read left
        std::copy(c.value.c_str(), c.value.c_str() + c.value.size() + 1, buffer);
        UnwrapQuotes(buffer);
        EXPECT_EQ(buffer, c.path) << c.value;
    }
}

std::vector<std::string> probes;
std::vector<std::string> present;
bool RecordProbe(const char* path) {
    probes.emplace_back(path);
    return std::find(present.begin(), present.end(), path) != present.end();
}

TEST(ResolveProgramFile, ProbesTheNamesInOrder) {
    const struct {
        std::string path;
        std::vector<std::string> present, probes;
        bool found;
        std::string resolved = {};  // the name found, if any
        bool doubleByte = false;
    } cases[] = {
        {"C:\\CE\\CEAPPMGR.EXE", {"C:\\CE\\CEAPPMGR.EXE"}, {"C:\\CE\\CEAPPMGR.EXE"}, true,
         "C:\\CE\\CEAPPMGR.EXE"},
        {"C:\\CE\\GONE.EXE", {}, {"C:\\CE\\GONE.EXE"}, false},
        {"C:\\A.B\\PROG", {}, {"C:\\A.B\\PROG.com", "C:\\A.B\\PROG.exe", "C:\\A.B\\PROG.bat",
                               "C:\\A.B\\PROG.cmd"}, false},
        {"C:\\D\\PROG", {"C:\\D\\PROG.com", "C:\\D\\PROG.exe"}, {"C:\\D\\PROG.com"}, true,
         "C:\\D\\PROG.com"},
        {"C:\\D\\PROG", {"C:\\D\\PROG.bat"}, {"C:\\D\\PROG.com", "C:\\D\\PROG.exe",
                                              "C:\\D\\PROG.bat"}, true, "C:\\D\\PROG.bat"},
        {"PROG", {}, {".\\PROG.com", ".\\PROG.exe", ".\\PROG.bat", ".\\PROG.cmd"}, false},
        {"PROG.EXE", {".\\PROG.EXE"}, {".\\PROG.EXE"}, true, ".\\PROG.EXE"},
        {"D:PROG", {}, {"D:PROG.com", "D:PROG.exe", "D:PROG.bat", "D:PROG.cmd"}, false},
        {"C:\\A.B/PROG", {}, {"C:\\A.B/PROG.com", "C:\\A.B/PROG.exe", "C:\\A.B/PROG.bat",
                              "C:\\A.B/PROG.cmd"}, false},
        {"C:/A\\B.C", {}, {"C:/A\\B.C"}, false},
        {"", {}, {".\\.com", ".\\.exe", ".\\.bat", ".\\.cmd"}, false},
        // 0x83 0x5C is one character: its trail byte is no separator, so the dot counts.
        {"C:\\X.Y\x83\\PROG", {}, {"C:\\X.Y\x83\\PROG"}, false, "", true},
        {"C:\\X.Y\x83\\PROG", {}, {"C:\\X.Y\x83\\PROG.com", "C:\\X.Y\x83\\PROG.exe",
                                   "C:\\X.Y\x83\\PROG.bat", "C:\\X.Y\x83\\PROG.cmd"}, false},
    };
    for (const auto& c : cases) {
        probes.clear();
        present = c.present;
        std::vector<char> out(ResolvedNameSize(c.path.size()));
        bool found = ResolveProgramFile(c.path.c_str(),
                                        c.doubleByte ? fake::IsCodePage932LeadByte : NoLeadBytes,
                                        RecordProbe, out.data());
        EXPECT_EQ(probes, c.probes) << c.path;
        EXPECT_EQ(found, c.found) << c.path;
        if (c.found) {
            EXPECT_EQ(out.data(), c.resolved) << c.path;
        }
    }
}

TEST(BuildCommandLine, JoinsWithBlanksAndQuotesOnlyAnUnquotedNameWithBlanks) {
    const struct {
        std::vector<const char*> argv;
        std::string line;
    } cases[] = {
        {{"A", "B C"}, "A B C"},
        {{"C:\\CE\\CEAPPMGR.EXE", "\"D:\\PKG\\install.ini\""},
         "C:\\CE\\CEAPPMGR.EXE \"D:\\PKG\\install.ini\""},
        {{"C:\\Program Files\\CE\\CEAPPMGR.EXE", "a b"},
         "\"C:\\Program Files\\CE\\CEAPPMGR.EXE\" a b"},
        {{"C:\\Tab\tName\\X.EXE", "a"}, "\"C:\\Tab\tName\\X.EXE\" a"},
        {{"\"C:\\Program Files\\X.EXE\"", "a"}, "\"C:\\Program Files\\X.EXE\" a"},
        {{"C:\\X.EXE", "has blank"}, "C:\\X.EXE has blank"},  // later entries never quoted
        {{"A", ""}, "A "},
        {{"A"}, "A"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = c.argv;
        argv.push_back(nullptr);
        std::size_t size = CommandLineSize(argv.data());
        std::vector<char> out(size, '\x7f');
        BuildCommandLine(argv.data(), out.data());
        EXPECT_EQ(out.data(), c.line);
        EXPECT_EQ(size, c.line.size() + 3) << c.line;  // two bytes to spare, as ever
    }
}

TEST(HandleBlock, DescribesSlotsUpToTheLastInUse) {
    using platform::HandleSlot;
    const std::uint8_t console = platform::kSlotOpen | platform::kSlotDevice | platform::kSlotText;
    const struct {
        std::vector<HandleSlot> slots;
        std::vector<unsigned char> block;
    } cases[] = {
        {{{0, 0}, {0, 0}, {0, 0}}, {}},
        {{{0x10, console}, {0x14, console}, {0x18, console}},
         {3, 0, 0, 0, console, console, console, 0x10, 0, 0, 0, 0x14, 0, 0, 0, 0x18, 0, 0, 0}},
        {{{0, 0}, {0x2C, platform::kSlotOpen}, {0, 0}},
         {2, 0, 0, 0, 0, platform::kSlotOpen, 0xFF, 0xFF, 0xFF, 0xFF, 0x2C, 0, 0, 0}},
        {{{0x10, platform::kSlotOpen | platform::kSlotNoInherit}},
         {1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> out(HandleBlockSize(c.slots.size()));
        std::size_t length = BuildHandleBlock(c.slots.data(), c.slots.size(), out.data());
        out.resize(length);
        EXPECT_EQ(out, c.block);
    }
}

std::string IndexOf(const std::vector<std::pair<std::uint32_t, std::string>>& entries) {
    std::string index;
    for (const auto& [size, name] : entries) {
        for (int i = 0; i < 4; ++i) index += static_cast<char>(size >> (8 * i));
        index += name + '\0';
    }
    return index;
}

// The resources a package row has: ID 2 onwards, each of the size given.
std::vector<std::int64_t> resources;
std::int64_t ResourceSizeOf(std::uint16_t id) {
    return id - 2u < resources.size() ? resources[id - 2u] : -1;
}

TEST(Index, AcceptsPlainRelativeNamesOnlyAndSizesThatMatchTheirResources) {
    const struct {
        std::vector<std::pair<std::uint32_t, std::string>> entries;
        std::vector<std::int64_t> resources;
        bool sound;
    } cases[] = {
        {{{9, "install.ini"}, {70000, "cabs\\arm\\a b.cab"}, {0, "CABS\\b"}}, {9, 70000, 0}, true},
        {{}, {}, false}, {{{9, "..\\x.ini"}}, {9}, false}, {{{9, "a\\..\\..\\x"}}, {9}, false},
        {{{9, "a\\.\\x"}}, {9}, false}, {{{9, "x."}}, {9}, false}, {{{9, "x \\y"}}, {9}, false},
        {{{9, "\\x.ini"}}, {9}, false}, {{{9, "C:x.ini"}}, {9}, false},  // absolute, a drive
        {{{9, "a/../x"}}, {9}, false}, {{{9, "a\\\\x"}}, {9}, false}, {{{9, "a\\"}}, {9}, false},
        {{{9, ""}}, {9}, false}, {{{9, "x\x01y"}}, {9}, false}, {{{9, "x\xe9"}}, {9}, false},
        {{{10, "x"}}, {9}, false}, {{{8, "x"}}, {9}, false}, {{{9, "x"}, {9, "y"}}, {9}, false},
        {{{9, "x"}, {9, "X"}}, {9, 9}, false}, {{{9, "a"}, {9, "A\\b"}}, {9, 9}, false},  // clash
        {{{9, "a\\b"}, {9, "a"}}, {9, 9}, false},
        {{{9, "ab"}, {9, "a\\b"}, {9, "a"}}, {9, 9, 9}, false},
    };
    for (const auto& c : cases) {
        std::string index = IndexOf(c.entries);
        resources = c.resources;
        EXPECT_EQ(IndexIsSound(reinterpret_cast<const unsigned char*>(index.data()), index.size(),
                               ResourceSizeOf), c.sound) << c.entries.size();
    }
}

// Where the package goes: the installer's folder, and the package's own folder in it.
TEST(Places, TheInstallersFolderAndThePackagesOwn) {
    const struct { const char* installer; bool doubleByte; std::size_t folder; } installers[] = {
        {"C:\\ActiveSync\\CEAPPMGR.EXE", false, 13}, {"C:\\a/b\\c/CEAPPMGR", false, 8},
        {"CEAPPMGR.EXE", false, 0}, {"D:CEAPPMGR.EXE", false, 0}, {"\\x", false, 0},
        {"C:\\\x95\\x.exe", true, 2},  // a trail byte '\\' is no separator
    };
    for (const auto& c : installers) {
        auto lead = c.doubleByte ? fake::IsCodePage932LeadByte : NoLeadBytes;
        EXPECT_EQ(FolderLength(c.installer, lead), c.folder) << c.installer;
    }
    const std::pair<std::vector<std::pair<std::uint32_t, std::string>>, std::size_t> packages[] = {
        {{{9, "Sample Co\\install.ini"}, {9, "Sample Co\\cabs\\a.cab"}}, 9},
        {{{9, "install.ini"}}, 0}, {{{9, "Sample Co\\install.ini"}, {9, "Sample\\a.cab"}}, 0},
        {{{9, "Sample Co\\install.ini"}, {9, "Sample Cox\\a.cab"}}, 0}, {{}, 0},
        {{{9, "Sample Co\\INSTALL.INI"}}, 9}, {{{9, "Sample Co\\install.ini2"}}, 0},
        {{{9, "Sample Co\\install.inf"}}, 0}, {{{9, "Sample Co\\a"}, {9, "Sample Co\\install.ini"}}, 0},
    };
    for (const auto& [entries, folder] : packages) {
        std::string index = IndexOf(entries);
        EXPECT_EQ(PackageFolderLength(reinterpret_cast<const unsigned char*>(index.data()),
                                      index.size()), folder) << entries.size();
    }
}

}  // namespace
