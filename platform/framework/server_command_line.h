// The switches a server takes on its command line: "RegServer" and
// "UnregServer", after "-" or "/", in any case.
#pragma once

#include "platform/framework/system.h"

struct CommandLineOutcome {
    bool run;        // no switch was found: the server is to serve
    HRESULT result;  // the switch's result, or S_OK
};

// Scans the full command line (the program path included) for the first
// token that is one of the two switches, and runs that switch's operation.
// A token starts after each "-" or "/" and ends at the end of the line, at
// a space or at a tab; anything else, a quotation mark too, belongs to it.
CommandLineOutcome HandleCommandLine(LPCWSTR commandLine, HRESULT (*registerServer)(), HRESULT (*unregisterServer)());
