// The text of "trelvane --help".
#pragma once

namespace server {

// Whether the arguments (the program path first) ask for the help text.
bool WantsHelp(int argc, const char* const* argv);
// Writes the help text to standard output, where it was asked for.
void PrintHelp();

}  // namespace server
