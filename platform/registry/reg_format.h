// A store's text: the platform's registry export format ("Windows Registry
// Editor Version 5.00"), in UTF-8 with line feeds. Every key is a section
// "[root\path]" followed by its values, "@" for the default value:
//   "name"="text"        REG_SZ (a backslash or quotation mark escaped)
//   "name"=dword:0000002a REG_DWORD
//   "name"=hex:01,02     REG_BINARY; hex(N): for other types, and for a
//                        REG_SZ that the quoted form cannot hold exactly
// Long hex data continues on the next line after ",\". Blank lines and
// lines starting with ";" are ignored when reading.
#pragma once

#include <string>
#include <string_view>

#include "platform/registry/key_tree.h"

namespace platform::registry {

constexpr std::string_view kFormatHeader = "Windows Registry Editor Version 5.00";

// rootPath names the store's root in the sections, e.g.
// "HKEY_CURRENT_USER\Software\Classes".
std::string FormatStore(const Key& root, std::string_view rootPath);

// False with a reason (naming the line) for text that is not a store of
// that root.
bool ParseStore(std::string_view text, std::string_view rootPath, Key* root, std::string* error);

}  // namespace platform::registry
