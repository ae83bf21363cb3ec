// Input: a selector byte (odd: code page 932), the probe that finds a file ('0'-'3'; '4': none)
// and the path.
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
    const bool doubleByte = data[0] & 1;
    auto isLeadByte = doubleByte ? Cp932LeadByte : NoLeadBytes;
    found = static_cast<std::uint8_t>(data[1] - '0') % 5;
    const std::size_t n = strnlen(reinterpret_cast<const char*>(data + 2), size - 2);
    std::vector<char> path(n + 1);
    std::memcpy(path.data(), data + 2, n);
    std::vector<char> out(ResolvedNameSize(n), '\x7f');
    probes.clear();
    const bool result = ResolveProgramFile(path.data(), isLeadByte, Probe, out.data());

    CHECK(probes.size() >= 1 && probes.size() <= 4 && result == lastAnswer);
    if (result) CHECK(probes.back() == out.data());
    // No separator or colon outside two-byte characters: a bare name, looked for in ".\".
    bool bare = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':') bare = false;
        else if (isLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < n) ++i;
    }
    const std::string name = (bare ? ".\\" : "") + std::string(path.data(), n);
    // A dot after the last separator (or else the first colon) is an extension of the path's
    // own, and that name alone is probed. Byte by byte, this holds only in a single-byte table.
    const std::string_view view(path.data(), n);
    std::size_t start = view.find_last_of("\\/");
    if (start == view.npos) start = view.find(':');
    const bool ownExtension = view.find('.', start == view.npos ? 0 : start) != view.npos;
    const bool asIs = probes.size() == 1 && probes[0] == name;
    if (!doubleByte) CHECK(asIs == ownExtension);
    if (view.find('.') == view.npos) CHECK(!asIs);
    if (asIs) return 0;
    // Otherwise the four extensions in order, up to the first name present.
    static const char* const kExtensions[] = {".com", ".exe", ".bat", ".cmd"};
    CHECK(probes.size() == (found < 4 ? found + 1 : 4));
    for (std::size_t i = 0; i < probes.size(); ++i) CHECK(probes[i] == name + kExtensions[i]);
    return 0;
}
