// JSON output for the test equipment. Bytes outside printable ASCII are written as \u00XX, so a
// reader gets the exact bytes back by encoding the strings as Latin-1.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

inline std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

inline std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + item;
    return out + "]";
}
