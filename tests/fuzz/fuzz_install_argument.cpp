// Input: the directory (up to its first NUL) and, all of it, the registry value's bytes.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/install_argument.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::string directory(bytes, strnlen(bytes, size));
    std::vector<char> source(directory.begin(), directory.end());  // no NUL to lean on
    std::vector<char> out(IniArgumentSize(directory.size()), '\x7f');  // no NUL for free
    ComposeIniArgument(source.data(), source.size(), out.data());
    const std::string expected =
        directory.empty() ? "\"install.ini\"" : "\"" + directory + "\\install.ini\"";
    CHECK(expected.size() < out.size());
    CHECK(std::memcmp(out.data(), expected.c_str(), expected.size() + 1) == 0);

    // The value's bytes up to their first NUL, within a path, in a buffer that ends in one.
    char path[kInstallerPathBuffer] = {};
    std::copy(bytes, bytes + std::min<std::size_t>(size, kInstallerValueMax), path);
    std::string value(path);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    UnwrapQuotes(path);
    CHECK(value == path);
    return 0;
}
