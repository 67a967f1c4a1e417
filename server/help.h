// The texts of "trelvane --help" and "trelvane --version".
#pragma once

namespace trelvane::server {

enum class InfoAsked { None, Help, Version };

// What the arguments (the program path first) ask for: the help text or the
// version only when "--help" or "--version" is the one argument; with
// others, such as "-RegServer --help", the switch scan decides alone.
InfoAsked AskedForInfo(int argc, const char* const* argv);
// Write the text to standard output, where it was asked for.
void PrintHelp();
void PrintVersion();

}  // namespace trelvane::server
