// Input: up to five arguments separated by NULs; the first is the child's name.
#include <cstring>
#include <string>
#include <vector>

#include "handoff/command_line.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> entries;
    for (auto p = reinterpret_cast<const char*>(data), end = p + size; entries.size() < 5; ++p) {
        entries.emplace_back(p, strnlen(p, static_cast<std::size_t>(end - p)));
        if ((p += entries.back().size()) == end) break;
    }
    // Each entry in a block of its own size, so reading past its NUL is caught.
    std::vector<std::vector<char>> blocks;
    std::vector<const char*> argv;
    for (const std::string& entry : entries) {
        argv.push_back(blocks.emplace_back(entry.c_str(), entry.c_str() + entry.size() + 1).data());
    }
    argv.push_back(nullptr);
    const std::size_t lineSize = CommandLineSize(argv.data());
    std::vector<char> out(lineSize, '\x7f');
    BuildCommandLine(argv.data(), out.data());

    const std::string& name = entries[0];
    const bool quoted = name.find_first_of(" \t") != name.npos && name[0] != '"';
    std::string expected = quoted ? '"' + name + '"' : name;
    for (std::size_t i = 1; i < entries.size(); ++i) expected += ' ' + entries[i];
    CHECK(lineSize == expected.size() + 3);  // the NUL and two bytes to spare
    CHECK(std::memcmp(out.data(), expected.c_str(), expected.size() + 1) == 0);
    return 0;
}
