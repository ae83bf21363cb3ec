#include "launcher/command_tail.h"

const char* CommandTail(const char* commandLine, platform::LeadByteTest isLeadByte) {
    auto p = reinterpret_cast<const unsigned char*>(commandLine);
    if (*p == '"') {
        // A quoted name runs to the next quotation mark. A trail byte may equal one, so a lead
        // byte takes its follower along, but never the terminating NUL.
        ++p;
        while (*p != '\0' && *p != '"') {
            if (isLeadByte(*p) && p[1] != '\0') ++p;
            ++p;
        }
        if (*p == '"') ++p;
    } else {
        while (*p > ' ') ++p;
    }
    while (*p != '\0' && *p <= ' ') ++p;
    return reinterpret_cast<const char*>(p);
}
