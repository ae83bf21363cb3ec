#pragma once

#include "platform/platform.h"

// The part of the process command line after the launcher's own name and the blanks and control
// bytes that follow it. Points into commandLine; empty when nothing follows the name.
const char* CommandTail(const char* commandLine, platform::LeadByteTest isLeadByte);
