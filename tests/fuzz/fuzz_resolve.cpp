// Input: a selector byte (odd: code page 932), the probe that finds a file ('0'-'3'; '4': none)
// and the path.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "handoff/resolve.h"
#include "tests/fuzz/fuzz.h"

static std::vector<std::string> probes;
static std::size_t found;  // the index of the probe that succeeds
static bool lastAnswer;

static bool Probe(const char* name) {
    probes.emplace_back(name);
    return lastAnswer = probes.size() - 1 == found;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    auto isLeadByte = data[0] & 1 ? Cp932LeadByte : NoLeadBytes;
    found = static_cast<std::uint8_t>(data[1] - '0') % 5;
    const std::size_t n = strnlen(reinterpret_cast<const char*>(data + 2), size - 2);
    std::vector<char> path(n + 1);
    std::memcpy(path.data(), data + 2, n);
    std::vector<char> out(ResolvedNameSize(n), '\x7f');
    probes.clear();
    const bool result = ResolveProgramFile(path.data(), isLeadByte, Probe, out.data());
    CHECK(result == lastAnswer);
    if (result) CHECK(probes.back() == out.data());

    // The path read character by character: only a one-byte character can be a separator, a
    // colon or a dot. The file name follows the last separator, or else the first colon; with
    // neither, the path is a bare name, looked for in ".\".
    const std::string_view text(path.data(), n);
    const std::vector<Character> characters = Characters(text, isLeadByte);
    auto is = [&](const Character& c, std::string_view set) {
        return c.length == 1 && set.find(text[c.start]) != set.npos;
    };
    auto separator = std::find_if(characters.rbegin(), characters.rend(),
                                  [&](const Character& c) { return is(c, "\\/"); });
    auto colon = std::find_if(characters.begin(), characters.end(),
                              [&](const Character& c) { return is(c, ":"); });
    const bool bare = separator == characters.rend() && colon == characters.end();
    auto nameStart = separator != characters.rend() ? separator.base()
                     : bare                         ? characters.begin()
                                                    : colon + 1;
    const bool dotInName = std::any_of(nameStart, characters.end(),
                                       [&](const Character& c) { return is(c, "."); });
    const std::string name = (bare ? ".\\" : "") + std::string(text);
    // A dot in the file name: the name alone is probed. Otherwise the four extensions in order,
    // up to the first name present.
    std::vector<std::string> expected;
    if (dotInName) {
        expected.push_back(name);
    } else {
        for (const char* extension : {".com", ".exe", ".bat", ".cmd"}) {
            expected.push_back(name + extension);
            if (expected.size() == found + 1) break;
        }
    }
    CHECK(probes == expected);
    return 0;
}
